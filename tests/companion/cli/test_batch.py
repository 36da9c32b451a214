"""Batch mode in a child process: results, bad lines, failures, and interrupted runs resumed."""

import collections
import json
import os
import signal
import subprocess
import time

import pytest

from cli_support import (conversation, read_results, run_tool, stderr_lines, tool_command,
                         tool_env, write_jsonl)
from llm_server import Answer, LLMServer


@pytest.fixture
def server():
    with LLMServer() as s:
        yield s


def openai_args(server, *more):
    return ["--llm", "openai", "--model", "m", "--base-url", server.url, "--retries", "0", *more]


def jobs(ids, **extra):
    return [{"id": i, "messages": conversation(i), **extra} for i in ids]


def assert_each_once(results, ids):
    counts = collections.Counter(json.dumps(r["id"]) for r in results)
    assert counts == collections.Counter(json.dumps(i) for i in ids)


def test_results_one_line_each_and_rerun_skips_them(tmp_path, server):
    ids = ["a", 2, "c", 4.5, "e"]
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(ids))
    first = run_tool("batch", inp, "--output", out, *openai_args(server, "--concurrency", "3"))
    assert first.returncode == 0, first.stderr
    results = read_results(out)
    assert_each_once(results, ids)
    for r in results:
        # each result belongs to its own conversation
        assert r["summary"]["goals"] == [f"conversation {r['id']}"]
        assert r["status"] == "ok"
        assert r["context"].startswith("## Conversation History Summary")
    assert "5 written (5 ok, 0 unparsed, 0 fallback, 0 failed), 0 already done" in first.stderr
    before = out.read_bytes()
    again = run_tool("batch", inp, "--output", out, *openai_args(server))
    assert again.returncode == 0 and "0 written (0 ok, 0 unparsed, 0 fallback, 0 failed), 5 already done" in again.stderr
    assert out.read_bytes() == before and len(server.requests) == 5


def test_previous_summary_reaches_the_model(tmp_path, server):
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(["x"], previous="EARLIER SUMMARY TEXT"))
    assert run_tool("batch", inp, "--output", out, *openai_args(server)).returncode == 0
    system = server.requests[0]["messages"][0]["content"]
    assert "## Previous Summary (build on this):\nEARLIER SUMMARY TEXT" in system


@pytest.mark.parametrize("line,reason", [
    ("{not json", "invalid JSON at column 2"),
    ('["a list"]', "expected an object, got list"),
    ('{"messages": []}', 'missing or unusable "id"'),
    ('{"id": [1], "messages": []}', 'missing or unusable "id"'),
    ('{"id": "m", "messages": {"role": "user"}}', "expected a list of message objects"),
    ('{"id": "m", "messages": [1]}', "message 0 is int"),
    ('{"id": "m", "messages": [], "previous": 3}', '"previous" must be a string'),
    ('{"id": "a", "messages": []}', "duplicate id \"a\""),
])
def test_a_bad_line_is_reported_with_its_number_and_skipped(tmp_path, line, reason):
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    good = jobs(["a", "b"])
    write_jsonl(inp, [good[0], "", line, good[1]])
    result = run_tool("batch", inp, "--output", out, "--llm", "extractive")
    assert result.returncode == 11, result.stderr
    assert_each_once(read_results(out), ["a", "b"])
    bad = [ln for ln in stderr_lines(result) if "skipped" in ln]
    assert len(bad) == 1 and bad[0].startswith(f"morvex-summarize: {inp}:3: skipped: ")
    assert reason in bad[0], bad[0]
    assert "Traceback" not in result.stderr


def test_passing_failures_are_left_for_a_rerun(tmp_path, server):
    ids = list(range(6))
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(ids))
    server.push(Answer(503, {"error": {"message": "busy"}}),
                Answer(429, {"error": {"message": "slow down"}}))
    first = run_tool("batch", inp, "--output", out, *openai_args(server, "--concurrency", "1"))
    assert first.returncode == 11, first.stderr
    assert ("4 written (4 ok, 0 unparsed, 0 fallback, 0 failed), 0 already done, 0 bad lines, "
            "2 not written") in first.stderr
    assert len(read_results(out)) == 4
    second = run_tool("batch", inp, "--output", out, *openai_args(server))
    assert second.returncode == 0, second.stderr
    assert_each_once(read_results(out), ids)


def test_a_conversation_the_model_rejects_keeps_its_fallback(tmp_path, server):
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(["long"]))
    server.push(Answer(400, {"error": {"message": "context length exceeded"}}))
    result = run_tool("batch", inp, "--output", out, *openai_args(server))
    assert result.returncode == 11
    (r,) = read_results(out)
    assert r["status"] == "fallback" and "context length exceeded" in r["error"]
    assert r["summary"]["goals"] == ["conversation long"]  # built from the messages


@pytest.mark.parametrize("status,code,text", [(401, 7, "refused the key"),
                                              (None, 6, "cannot reach the model server")])
def test_a_failure_every_request_shares_stops_the_batch(tmp_path, server, status, code, text):
    ids = list(range(40))
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(ids))
    if status is None:
        server.stop()
    else:
        server.push(*[Answer(status, {"error": {"message": "bad key"}})] * 40)
    result = run_tool("batch", inp, "--output", out, *openai_args(server, "--concurrency", "2"))
    assert result.returncode == code, result.stderr
    last = stderr_lines(result)[-1]
    assert last.startswith("morvex-summarize: error: batch stopped: ") and text in last, last
    assert len(server.requests) < 10  # it did not go on through all forty
    assert read_results(out) == []


@pytest.mark.parametrize("how", ["kill", "interrupt"])
def test_an_interrupted_run_resumes_without_loss_or_repeats(tmp_path, how):
    ids = [f"conv-{n}" for n in range(120)]
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(ids))
    with LLMServer(delay=0.05) as server:
        args = ["batch", inp, "--output", out, *openai_args(server, "--concurrency", "4")]
        # the tool hears an interrupt as it would at a terminal, also when this suite runs
        # where SIGINT is ignored (started in the background), which a child inherits
        child = subprocess.Popen(tool_command(*args), env=tool_env(), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if out.exists() and out.read_bytes().count(b"\n") >= 12:
                break
            time.sleep(0.02)
        child.send_signal(signal.SIGKILL if how == "kill" else signal.SIGINT)
        _, err = child.communicate(timeout=60)
        partial = read_results(out)
        assert 12 <= len(partial) < len(ids)
        if how == "interrupt":
            assert child.returncode == 130
            assert "rerun the same command to continue" in err and "Traceback" not in err
        # a half-written line, as a power cut could leave it, is cut off and its id redone
        with open(out, "a", encoding="utf-8") as f:
            f.write('{"id": "conv-119", "summ')
        rerun = run_tool(*args)
        assert rerun.returncode == 0, rerun.stderr
        assert f"{len(partial)} already done" in rerun.stderr
    assert_each_once(read_results(out), ids)


@pytest.mark.parametrize("args,status,text", [
    (["missing.jsonl", "--output", "o.jsonl"], 3, "missing.jsonl: no such file"),
    (["in.jsonl", "--output", "o.jsonl", "--concurrency", "0"], 2, "--concurrency: must be at least 1"),
    (["in.jsonl", "--output", "in.jsonl"], 2, "--output in.jsonl: is the input in.jsonl"),
    (["in.jsonl", "--output", "nodir/o.jsonl"], 9, "nodir/o.jsonl: no such folder: nodir"),
])
def test_bad_batch_arguments(tmp_path, args, status, text):
    write_jsonl(tmp_path / "in.jsonl", jobs(["a"]))
    result = run_tool("batch", *args, "--llm", "extractive", cwd=tmp_path)
    assert result.returncode == status, result.stderr
    lines = stderr_lines(result)
    assert len(lines) == 1 and text in lines[0], result.stderr


def test_stdin_input_with_the_offline_default(tmp_path):
    out = tmp_path / "out.jsonl"
    text = "\n".join(json.dumps(j) for j in jobs(["s1", "s2"])) + "\n"
    result = run_tool("batch", "-", "--output", out, input=text)
    assert result.returncode == 0, result.stderr
    assert "offline extractive summarizer" in result.stderr
    results = read_results(out)
    assert_each_once(results, ["s1", "s2"])
    assert all(r["summary"]["goals"] == [f"conversation {r['id']}"] for r in results)
    assert os.path.getsize(out) > 0
