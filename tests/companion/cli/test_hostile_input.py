"""Hostile input through the tool as a user runs it: one line and its status, never a
traceback, and a batch goes on past what it cannot read."""

import json
import os

import pytest

from cli_support import run_tool, stderr_lines

DEEP = 100_000


def record(uuid, parent, kind, content):
    return {"type": kind, "uuid": uuid, "parentUuid": parent, "sessionId": "s1",
            "message": {"role": kind, "content": content}}


CLAUDE = [record("u1", None, "user", "Fix the parser. Do not touch the tests."),
          record("a1", "u1", "assistant", "The parser is fixed.")]


def lines(*records):
    return "".join(json.dumps(r) + "\n" for r in records)


def deep_line():
    """A first record of a Claude Code log, its marks in it, nested too deeply to read."""
    return '{"parentUuid": null, "sessionId": "s1", "x": ' + "[" * DEEP + "]" * DEEP + "}\n"


ODD = {
    "deep first line": (deep_line() + lines(*CLAUDE), 5, "line 1: nested too deeply"),
    "deep later line": (lines(CLAUDE[0]) + "[" * DEEP + "]" * DEEP + "\n"
                        + lines(CLAUDE[1]), 5, "line 2"),
    "role an array": (json.dumps([{"role": ["user"], "content": "hi"}]), 5,
                      "message 0: its role is an array, not a string"),
    "type an object": (json.dumps([{"role": "user", "content": "hi"},
                                   {"type": {"a": 1}, "role": "user", "content": "x"}]), 5,
                       "message 1: its type is an object, not a string"),
    "empty file": ("", 5, "empty"),
    "blanks only": ("\n  \n", 5, "empty"),
}


@pytest.mark.parametrize("command", ["summarize", "condense"])
@pytest.mark.parametrize("name", list(ODD))
def test_odd_input_gets_one_line_and_its_status(tmp_path, command, name):
    text, status, says = ODD[name]
    path = tmp_path / "log.jsonl"
    path.write_text(text)
    extra = ["--budget", "100"] if command == "condense" else []
    result = run_tool(command, path, "--llm", "extractive", *extra)
    assert result.returncode == status, result.stderr
    told = stderr_lines(result)
    assert len(told) == 1 and told[0].startswith(f"morvex-summarize: error: {path}: ")
    assert says in result.stderr and "Traceback" not in result.stderr


def test_a_part_of_no_readable_type_is_left_out_with_a_warning(tmp_path):
    path = tmp_path / "c.json"
    path.write_text(json.dumps([
        {"role": "user", "content": [{"type": ["text"], "text": "lost"},
                                     {"type": "text", "text": "Fix the parser"}]},
        {"role": "assistant", "content": "Fixed."}]))
    result = run_tool(path, "--llm", "extractive", "--format", "json")
    assert result.returncode == 0, result.stderr
    assert "message 0: part 0 left out: its type is an array, not a string" in result.stderr
    assert json.loads(result.stdout)["goals"] == ["Fix the parser"]


def test_a_batch_goes_on_past_what_it_cannot_read(tmp_path):
    """Bad lines of every kind in a JSON-lines batch: each one line naming its place, the
    good lines around them summarized."""
    good = [{"role": "user", "content": "Fix the parser"}]
    rows = [{"id": 1, "messages": good},
            {"id": 2, "messages": [{"role": {"a": 1}, "content": "x"}]},
            {"id": 3, "messages": [{"role": "user", "content": [{"type": [1]}]},
                                   *good]},
            {"id": 4, "messages": good}]
    source = tmp_path / "in.jsonl"
    source.write_text(lines(*rows) + "[" * DEEP + "]" * DEEP + "\n")
    out = tmp_path / "out.jsonl"
    result = run_tool("batch", source, "--output", out, "--llm", "extractive")
    assert result.returncode == 11, result.stderr
    assert "Traceback" not in result.stderr
    assert f"{source}:2: skipped: \"messages\": message 0: its role is an object" \
        in result.stderr
    assert f"{source}:5: skipped: invalid JSON: nested too deeply" in result.stderr
    assert sorted(json.loads(line)["id"] for line in out.read_text().splitlines()) == [1, 3, 4]


def test_a_batch_folder_reads_regular_files_only(tmp_path):
    """A FIFO (never opened: opening one waits for a writer) and a log too deep to read
    are each reported with the file; the files before and after them are summarized."""
    folder = tmp_path / "logs"
    folder.mkdir()
    (folder / "a.jsonl").write_text(lines(*CLAUDE))
    os.mkfifo(folder / "b.fifo")
    (folder / "c.jsonl").write_text(deep_line() + lines(*CLAUDE))
    (folder / "d.jsonl").write_text(lines(*CLAUDE))
    out = tmp_path / "out.jsonl"
    result = run_tool("batch", folder, "--output", out, "--llm", "extractive", timeout=60)
    assert result.returncode == 11, result.stderr
    assert f"{folder / 'b.fifo'}: skipped: not a regular file (a FIFO)" in result.stderr
    assert f"{folder / 'c.jsonl'}: line 1: nested too deeply" in result.stderr
    assert sorted(json.loads(line)["id"] for line in out.read_text().splitlines()) \
        == ["a.jsonl", "d.jsonl"]
