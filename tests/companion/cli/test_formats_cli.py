"""The tool on conversation files in each format, run as users run it: in a subprocess."""
import json

import pytest

for _sdk in ("openai", "anthropic", "langchain_core"):
    pytest.importorskip(_sdk)

from cli_support import read_results, run_tool, stderr_lines, write_jsonl  # noqa: E402
from formats_support import BUILDERS, items_of, session, validate  # noqa: E402

# The formats a JSON file can hold (SDK objects are Python-only).
FILES = ["openai", "responses", "anthropic", "anthropic-list", "langchain-dicts"]


def write(tmp_path, doc, name="conv.json"):
    path = tmp_path / name
    path.write_text(json.dumps(doc), encoding="utf-8")
    return path


@pytest.mark.parametrize("name", FILES)
def test_summarize_and_condense_each_format(tmp_path, name):
    doc = BUILDERS[name](session(12, image_size=200_000))
    path = write(tmp_path, doc)
    done = run_tool(path, "--format", "json", "--llm", "extractive")
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    assert record["goals"][0].startswith("Fix the failing build of the payments service.")
    assert "18 tool call(s), 18 tool result(s)" in record["summary"]
    assert "base64" not in done.stdout and len(done.stdout) < 20_000

    done = run_tool("condense", path, "--budget", "300", "--keep-last", "3", "--llm",
                    "extractive")
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    validate(name, out)
    assert items_of(out)[-3:] == items_of(doc)[-3:]
    assert "messages summarized" in stderr_lines(done)[-1]


def test_batch_lines_in_different_formats(tmp_path):
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    events = session(3)
    anthropic = BUILDERS["anthropic"](events)
    write_jsonl(inp, [{"id": "o", "messages": BUILDERS["openai"](events)},
                      {"id": "r", "messages": BUILDERS["responses"](events)},
                      {"id": "a", "messages": anthropic["messages"],
                       "system": anthropic["system"]},
                      {"id": "l", "messages": BUILDERS["langchain-dicts"](events)},
                      {"id": "x", "messages": [{"type": "ai", "data": {"content": "hi"}},
                                               {"role": "tool", "content": "r"}]}])
    done = run_tool("batch", inp, "--output", out, "--llm", "extractive")
    assert done.returncode == 11, done.stderr
    results = {r["id"]: r for r in read_results(out)}
    assert sorted(results) == ["a", "l", "o", "r"]
    assert all("4 tool call(s), 4 tool result(s)" in r["summary"]["summary"]
               for r in results.values())
    assert any(f"{inp}:5: skipped: " in line and "more than one format" in line
               for line in stderr_lines(done))


@pytest.mark.parametrize("doc, args, text", [
    ([{"type": "system", "data": {"content": "rules"}}], [],
     "no user, assistant or tool message among 1 langchain item(s) (found: system)"),
    (BUILDERS["responses"](session(1)), ["--input-format", "anthropic"],
     "message 1 is responses, which --input-format anthropic cannot read; use --input-format "
     "responses"),
    ([{"author": "me", "text": "hi"}], [], "message 0 is an object with keys author, text"),
])
def test_what_no_format_reads_gets_one_line_and_status_5(tmp_path, doc, args, text):
    for command in ([], ["condense", "--budget", "10"]):
        done = run_tool(*command, write(tmp_path, doc), *args, "--llm", "extractive")
        assert done.returncode == 5, done.stderr
        assert text in stderr_lines(done)[-1] and "Traceback" not in done.stderr
