"""What --output writes: never an input, never a file that is not the command's own kind,
and a file kept as it was (its mode, its links) but for its new content."""

import json
import os
import stat

import pytest

from cli_support import run_tool, stderr_lines

CONVERSATION = [{"role": "user", "content": "Fix the parser"},
                {"role": "assistant", "content": "The parser is fixed."}]
RESULT = {"id": "a", "summary": {"summary": "done"}, "context": "c", "status": "ok"}


def command(kind, tmp_path, output):
    """The command line of ``kind`` writing to ``output``, its input made in tmp_path."""
    source = tmp_path / "c.json"
    source.write_text(json.dumps(CONVERSATION))
    if kind == "batch":
        source = tmp_path / "in.jsonl"
        source.write_text(json.dumps({"id": "a", "messages": CONVERSATION}) + "\n")
        return ["batch", source, "--output", output, "--llm", "extractive", "--retry",
                "failed"]
    extra = ["--budget", "10"] if kind == "condense" else []
    return [kind, source, *extra, "--output", output, "--llm", "extractive"]


def inputs(tmp_path):
    previous = tmp_path / "previous.txt"
    previous.write_text("Earlier: the parser was read.")
    return previous


@pytest.mark.parametrize("kind, named", [
    ("summarize", "c.json"), ("condense", "c.json"), ("batch", "in.jsonl"),
    ("summarize --previous", "previous.txt")])
def test_the_output_is_never_an_input(tmp_path, kind, named):
    previous = inputs(tmp_path)
    args = command(kind.split()[0], tmp_path, tmp_path / named)
    if "--previous" in kind:
        args += ["--previous", previous]
    before = (tmp_path / named).read_bytes()
    done = run_tool(*args)
    assert done.returncode == 2, done.stderr
    assert "is the input" in stderr_lines(done)[-1] and "Traceback" not in done.stderr
    assert (tmp_path / named).read_bytes() == before


@pytest.mark.parametrize("held", [
    b"notes of mine, the last line without a break",
    b"".join(json.dumps(r).encode() + b"\n" for r in [
        {"type": "user", "uuid": "u1", "parentUuid": None, "sessionId": "s",
         "message": {"role": "user", "content": "hi"}}]),
    json.dumps(RESULT).encode() + b"\n" + b"a line of mine\n",
])
def test_a_batch_output_must_be_a_results_file(tmp_path, held):
    out = tmp_path / "out.jsonl"
    out.write_bytes(held)
    done = run_tool(*command("batch", tmp_path, out))
    assert done.returncode == 2, done.stderr
    assert "not a results file" in stderr_lines(done)[-1]
    assert out.read_bytes() == held


@pytest.mark.parametrize("kind", ["summarize", "condense", "batch"])
def test_an_output_keeps_its_mode_and_its_symbolic_link(tmp_path, kind):
    target = tmp_path / "kept.out"
    # a batch output with a line of the same id: compacted, the file is written anew
    target.write_text(json.dumps({**RESULT, "status": "failed"}) + "\n" if kind == "batch"
                      else "old")
    os.chmod(target, 0o600)
    link = tmp_path / "link.out"
    link.symlink_to(target)
    done = run_tool(*command(kind, tmp_path, link))
    assert done.returncode == 0, done.stderr
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    assert target.read_text() not in ("old", "")
    if kind == "batch":
        assert [json.loads(line)["status"] for line in target.read_text().splitlines()] \
            == ["ok"]


@pytest.mark.parametrize("kind", ["summarize", "condense", "batch"])
def test_a_hard_linked_output_is_refused(tmp_path, kind):
    out = tmp_path / "out.json"
    out.write_text(json.dumps(RESULT) + "\n")
    other = tmp_path / "other-name.json"
    os.link(out, other)
    done = run_tool(*command(kind, tmp_path, out))
    assert done.returncode == 2, done.stderr
    assert "2 names (hard links)" in stderr_lines(done)[-1]
    assert os.path.samefile(out, other) and other.read_text() == json.dumps(RESULT) + "\n"
