"""Agents' session logs given to the tool as they lie on disk, run as users run it: in a
subprocess."""
import json
import pathlib
import shutil

import pytest

from cli_support import read_results, run_tool, stderr_lines

LOGS = pathlib.Path(__file__).resolve().parents[1] / "formats" / "logs"

# Each log, with its request and a file the run changed.
RUNS = [
    ("claude_code.jsonl", "The date parser in src/dates.py", "src/dates.py"),
    ("codex.jsonl", "Add a --verbose flag to cli.py.", "cli.py"),
    ("run.traj", "<pr_description> slugify() keeps trailing dashes", "src/slug.py"),
    ("run.traj.json", "<pr_description> calc.ops.div(1, 0)", "calc/ops.py"),
    (".aider.chat.history.md", "Make greet() take an optional name", "docs/greet.md"),
    ("cline_api_conversation_history.json", "slugify() in src/text.py", "src/text.py"),
    ("gemini_cli.jsonl", "The CSV export in report.py", "report.py"),
    ("openhands_v0.json", "tests/test_units.py fails", "units.py"),
]


@pytest.mark.parametrize("name, goal, changed", RUNS)
def test_summarize_reads_each_log(name, goal, changed):
    done = run_tool(LOGS / name, "--format", "json", "--llm", "extractive")
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    assert record["goals"][0].startswith(goal)
    assert any(changed in item for item in record["progress"]), record["progress"]


def test_condense_writes_a_log_back_as_chat_messages(tmp_path):
    log = tmp_path / "session.jsonl"
    shutil.copy(LOGS / "claude_code.jsonl", log)
    done = run_tool("condense", log, "--budget", "120", "--keep-last", "2", "--llm",
                    "extractive")
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out[0]["role"] == "system" and out[0]["content"].startswith("## Conversation")
    assert out[-2:] == [{"role": "tool", "tool_call_id": "tu_4", "content": "3 passed in 0.02s"},
                        {"role": "assistant", "content": "The week-date tests pass."}]
    before = log.read_bytes()
    refused = run_tool("condense", log, "--budget", "120", "--output", log, "--llm",
                       "extractive")
    assert refused.returncode == 2 and log.read_bytes() == before
    assert f"--output {log}: is the input {log} itself" in stderr_lines(refused)[-1]


@pytest.mark.parametrize("name, named, found", [
    ("codex.jsonl", "openai", "a codex log"), ("run.traj", "codex", "a swe-agent log"),
    (".aider.chat.history.md", "claude-code", "an aider log")])
def test_a_log_named_as_another_format_is_refused_in_one_line(name, named, found):
    done = run_tool(LOGS / name, "--input-format", named, "--llm", "extractive")
    assert done.returncode == 5
    (line,) = stderr_lines(done)
    assert f"is {found}, which --input-format {named} cannot read; use --input-format" \
        in line


@pytest.mark.parametrize("engine", [
    [], pytest.param(["--engine", "ray", "--actors", "1"],
                     marks=pytest.mark.xdist_group("ray"), id="ray")])
def test_batch_summarizes_a_folder_of_logs(tmp_path, engine):
    if engine:
        pytest.importorskip("ray")
    folder = tmp_path / "logs"
    shutil.copytree(LOGS, folder)
    (folder / "nested").mkdir()
    shutil.move(folder / "codex.jsonl", folder / "nested" / "codex.jsonl")
    (folder / "notes.txt").write_text("no conversation here\n")
    # Inside the folder the local engine never reads it as input; Ray reads every file.
    out = (tmp_path if engine else folder) / "results.jsonl"
    done = run_tool("batch", folder, "--output", out, "--llm", "extractive", *engine,
                    timeout=300)
    assert done.returncode == 11, done.stderr  # the notes are a bad line
    results = {r["id"]: r for r in read_results(out)}
    assert sorted(results) == sorted([name for name, _, _ in RUNS if name != "codex.jsonl"]
                                     + ["nested/codex.jsonl"])
    assert {r["status"] for r in results.values()} == {"ok"}
    assert results["run.traj"]["summary"]["goals"][0].startswith(RUNS[2][1])
    assert any("notes.txt" in line for line in stderr_lines(done))
    again = run_tool("batch", folder, "--output", out, "--llm", "extractive", *engine,
                     timeout=300)
    assert "0 written" in stderr_lines(again)[-1] and len(read_results(out)) == len(RUNS)


@pytest.mark.parametrize("verbose", [False, True])
def test_what_a_log_holds_that_its_reader_does_not_know_is_skipped(tmp_path, verbose):
    log = tmp_path / "session.jsonl"
    lines = (LOGS / "claude_code.jsonl").read_text().splitlines()
    log.write_text("\n".join([json.dumps({"type": "new-kind", "sessionId": "s1"}), *lines])
                   + "\n")
    done = run_tool(log, "--format", "json", "--llm", "extractive", *(["-v"] * verbose))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["goals"][0].startswith(RUNS[0][1])
    told = [line for line in stderr_lines(done) if "skipped" in line]
    assert told == ([f"morvex-summarize: INFO: {log}: skipped what its reader does not know: "
                     "record new-kind"] if verbose else [])
