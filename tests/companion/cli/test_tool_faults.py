"""The tool under faults: full disks and devices, closed pipes, bad bytes and values,
inputs json refuses, results that are not ok and reruns. Each run is a child process
that must end at once with one line and its status, never a traceback or a hang."""
import json
import os
import re
import shutil
import subprocess

import pytest

from cli_support import (ROOT, conversation, read_results, run_tool, stderr_lines,
                         tool_command, tool_env, write_jsonl)
from llm_server import Answer, LLMServer, completion


def jobs(ids):
    return [{"id": i, "messages": conversation(i)} for i in ids]


def no_traceback(result):
    assert "Traceback" not in result.stderr, result.stderr


def one_error(result, status, text):
    assert result.returncode == status, result.stderr
    no_traceback(result)
    lines = [ln for ln in stderr_lines(result) if "error" in ln]
    assert len(lines) == 1 and text in lines[0], result.stderr


@pytest.fixture
def small_disk(tmp_path):
    """A 64 KB tmpfs, where the machine lets a test mount one."""
    where = tmp_path / "disk"
    where.mkdir()
    if shutil.which("mount") is None or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(where)],
            capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here (needs root and mount rights)")
    yield where
    subprocess.run(["umount", "-l", str(where)], capture_output=True)


def test_a_full_disk_stops_the_batch_at_once_and_a_rerun_finishes(tmp_path, small_disk):
    ids = list(range(60))
    inp, out = tmp_path / "in.jsonl", small_disk / "out.jsonl"
    write_jsonl(inp, jobs(ids))
    filler = small_disk / "filler"
    filler.write_bytes(b"\0" * 40_000)
    full = run_tool("batch", inp, "--output", out, "--llm", "extractive", timeout=60)
    one_error(full, 9, "No space left on device")
    text = out.read_bytes()
    assert text.endswith(b"\n") and all(json.loads(ln) for ln in text.splitlines())
    filler.unlink()
    again = run_tool("batch", inp, "--output", out, "--llm", "extractive", timeout=60)
    assert again.returncode in (0, 9), again.stderr
    if again.returncode == 0:
        assert sorted(r["id"] for r in read_results(out)) == ids


@pytest.mark.parametrize("output", ["-", "/dev/stdout"])
def test_batch_to_standard_output_through_a_pipe(tmp_path, output):
    inp = tmp_path / "in.jsonl"
    write_jsonl(inp, jobs(["a", "b"]))
    done = run_tool("batch", inp, "--output", output, "--llm", "extractive", timeout=60)
    assert done.returncode == 0, done.stderr
    assert sorted(json.loads(ln)["id"] for ln in done.stdout.splitlines()) == ["a", "b"]


@pytest.mark.parametrize("command", [["batch", "IN", "--output", "/dev/full"],
                                     ["IN.json", "--output", "/dev/full"],
                                     ["IN.json"]])
def test_a_full_device_is_an_output_error(tmp_path, command):
    write_jsonl(tmp_path / "IN", jobs(["a"]))
    (tmp_path / "IN.json").write_text(json.dumps(conversation("a")), encoding="utf-8")
    with open("/dev/full", "wb") as full:
        done = subprocess.run(tool_command(*command, "--llm", "extractive"), cwd=tmp_path,
                              stdout=full if command == ["IN.json"] else subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=tool_env(), timeout=60)
    one_error(done, 9, "No space left on device")


def test_a_reader_that_stops_early_ends_the_tool_quietly(tmp_path):
    path = tmp_path / "c.json"
    path.write_text(json.dumps(conversation("x", turns=40)), encoding="utf-8")
    child = subprocess.Popen(tool_command(path, "--llm", "extractive"), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=tool_env())
    child.stdout.read(10)
    child.stdout.close()
    assert child.wait(timeout=60) == 0
    assert b"Traceback" not in child.stderr.read()


@pytest.mark.parametrize("args, text", [
    (["--retries", "-5"], "argument --retries: must be at least 0"),
    (["--timeout", "-1"], "argument --timeout: must be a positive number of seconds"),
    (["--timeout", "nan"], "argument --timeout: must be a positive number of seconds"),
    (["--deadline", "0"], "argument --deadline: must be a positive number of seconds"),
    (["--retry", "ok"], "argument --retry: expected statuses among"),
])
def test_option_values_are_usage_errors_naming_the_option(tmp_path, args, text):
    (tmp_path / "c.json").write_text("[]", encoding="utf-8")
    command = ["batch", "c.json", "--output", "o"] if "--retry" in args else ["c.json"]
    done = run_tool(*command, *args, "--llm", "openai", "--model", "m", cwd=tmp_path)
    one_error(done, 2, text)


@pytest.mark.parametrize("command", [["c.json"], ["condense", "c.json", "--budget", "100"],
                                     ["batch", "c.jsonl", "--output", "o.jsonl"]])
@pytest.mark.parametrize("args, text", [
    (["--llm", "extractive", "--base-url", "http://127.0.0.1:9/v1"],
     "--base-url: not for --llm extractive (it applies to --llm openai or "
     "langchain:PROVIDER:MODEL)"),
    (["--llm", "extractive", "--retries", "0"], "--retries: not for --llm extractive"),
    (["--llm", "gguf:m.gguf", "--model", "m"], "--model: not for --llm gguf:m.gguf"),
    (["--llm", "gguf:m.gguf", "--timeout", "5"], "--timeout: not for --llm gguf:m.gguf"),
    (["--llm", "langchain:openai:gpt-4o", "--json-mode"],
     "--json-mode: not for --llm langchain:openai:gpt-4o (it applies to --llm openai)"),
    (["--base-url", "http://127.0.0.1:9/v1"],
     "--base-url: no model is configured, so no server is asked"),
])
def test_an_option_the_client_would_ignore_is_a_usage_error(tmp_path, command, args, text):
    # Nothing is read first: the input does not even exist.
    done = run_tool(*command, *args, cwd=tmp_path)
    one_error(done, 2, text)


def test_non_utf8_standard_input_is_refused_as_a_file_is(tmp_path):
    data = json.dumps(conversation("x")).encode().replace(b"conversation", b"conv\xff")
    (tmp_path / "c.json").write_bytes(data)
    for args, stdin in ((["c.json"], None), (["-"], data)):
        done = subprocess.run(tool_command(*args, "--llm", "extractive"), input=stdin,
                              capture_output=True, env=tool_env(), cwd=tmp_path, timeout=60)
        assert done.returncode == 4 and b"not UTF-8 text" in done.stderr
        assert done.stdout == b""


DEEP = "[" * 100_000 + "]" * 100_000
HUGE = '[{"role": "user", "content": "x", "n": ' + "9" * 5000 + "}]"


@pytest.mark.parametrize("text, reason", [(DEEP, "nested too deeply"),
                                          (HUGE, "invalid JSON: Exceeds the limit")])
def test_inputs_json_refuses_otherwise(tmp_path, text, reason):
    (tmp_path / "c.json").write_text(text, encoding="utf-8")
    for command in (["c.json"], ["condense", "c.json", "--budget", "10"]):
        one_error(run_tool(*command, "--llm", "extractive", cwd=tmp_path), 4, reason)
    lines = [json.dumps(j) for j in jobs(["a"])] + [
        '{"id": "b", "messages": ' + text + "}", '{"id": "c", "messages": [',
        json.dumps(jobs(["d"])[0])]
    (tmp_path / "in.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    done = run_tool("batch", "in.jsonl", "--output", "o.jsonl", "--llm", "extractive",
                    cwd=tmp_path)
    assert done.returncode == 11 and sorted(r["id"] for r in
                                            read_results(tmp_path / "o.jsonl")) == ["a", "d"]
    no_traceback(done)
    skipped = [ln for ln in stderr_lines(done) if "skipped" in ln]
    assert reason in skipped[0] and skipped[1].endswith(
        f":3: skipped: invalid JSON at column {len(lines[2]) + 1}: Expecting value")


REFUSED = [{"role": "assistant", "content": "x", "tool_calls": [{"function": None}]}]


def test_conversations_the_tool_cannot_read_do_not_stall_the_batch(tmp_path):
    lines = jobs(range(12))
    lines[3]["messages"] = [{"role": "tool", "content": 42}]
    lines[6]["messages"] = [{"role": "assistant", "tool_calls": 5}]
    lines[9]["messages"] = REFUSED  # read, then refused before the summarizer is called
    write_jsonl(tmp_path / "in.jsonl", lines)
    for concurrency in ("1", "4"):
        out = tmp_path / f"o{concurrency}.jsonl"
        done = run_tool("batch", tmp_path / "in.jsonl", "--output", out, "--concurrency",
                        concurrency, "--llm", "extractive", timeout=60)
        no_traceback(done)
        results = {r["id"]: r for r in read_results(out)}
        assert done.returncode == 11 and len(results) == 11
        assert results[9]["status"] == "failed" and results[9]["summary"] is None
        assert results[9]["error"] == "message 0: tool call 0 has no function"
        assert "in.jsonl:7: skipped: \"messages\": message 0: tool_calls is int" in done.stderr


def test_a_conversation_the_summarizer_refuses_is_one_line_and_status_5(tmp_path):
    doc = REFUSED + [{"role": "user", "content": "go on"}]
    (tmp_path / "c.json").write_text(json.dumps(doc), encoding="utf-8")
    for command in (["c.json"], ["condense", "c.json", "--budget", "1", "--keep-last", "1"]):
        done = run_tool(*command, "--llm", "extractive", cwd=tmp_path)
        one_error(done, 5, "c.json: message 0: tool call 0 has no function")


def test_statuses_say_what_each_result_is_and_a_retry_replaces_them(tmp_path):
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(range(6)))
    with LLMServer() as server:
        args = ["batch", inp, "--output", out, "--llm", "openai", "--model", "m",
                "--base-url", server.url, "--retries", "0", "--concurrency", "1"]
        server.push(Answer(body=completion("The conversation was about a build.")),
                    Answer(400, {"error": {"message": "context length exceeded"}}))
        first = run_tool(*args)
        assert first.returncode == 11, first.stderr
        assert "6 written (4 ok, 1 unparsed, 1 fallback, 0 failed)" in first.stderr
        assert "--retry unparsed,fallback" in first.stderr
        again = run_tool(*args)
        assert "0 written" in again.stderr and "6 already done" in again.stderr
        retried = run_tool(*args, "--retry", "fallback,unparsed")
        assert retried.returncode == 0, retried.stderr
        assert "2 written (2 ok, 0 unparsed, 0 fallback, 0 failed), 4 already done" \
            in retried.stderr
    results = read_results(out)
    assert sorted(r["id"] for r in results) == list(range(6))
    assert {r["status"] for r in results} == {"ok"}


@pytest.mark.parametrize("tail", [b"", b'{"id": 4, "summ'])
def test_a_rerun_keeps_a_complete_last_line_without_its_line_break(tmp_path, tail):
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(range(5)))
    assert run_tool("batch", inp, "--output", out, "--llm", "extractive").returncode == 0
    data = out.read_bytes()
    if tail:  # a line cut short: dropped and redone
        data = data[:data.rstrip(b"\n").rfind(b"\n") + 1] + tail
    out.write_bytes(data.rstrip(b"\n") if not tail else data)
    rerun = run_tool("batch", inp, "--output", out, "--llm", "extractive")
    assert rerun.returncode == 0, rerun.stderr
    assert ("5 already done" if not tail else "4 already done") in rerun.stderr
    assert sorted(r["id"] for r in read_results(out)) == list(range(5))
    assert out.read_bytes().endswith(b"\n")


def test_help_command_and_the_format_option_help():
    done = run_tool("help")
    assert done.returncode == 0 and "--format {json,markdown,both}" in done.stdout
    assert "print the summary record as JSON" in done.stdout
    batch = run_tool("help", "batch")
    assert batch.returncode == 0 and "--retry STATUSES" in batch.stdout


def test_outputs_of_the_summarizer_stay_valid_utf8(tmp_path):
    doc = [{"role": "user", "content": "half a pair: \ud83d end"}]
    (tmp_path / "c.json").write_text(json.dumps(doc), encoding="ascii")
    done = run_tool("c.json", "--format", "json", "--llm", "extractive", "--output", "o.json",
                    cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    record = json.loads((tmp_path / "o.json").read_bytes().decode("utf-8"))
    assert record["goals"] == ["half a pair: \ud83d end"]
    assert os.path.getsize(tmp_path / "o.json") > 0


@pytest.mark.parametrize("blocked, args", [("rich", []), ("openai", ["--llm", "openai",
                                                                      "--model", "m"])])
def test_a_missing_extra_is_named(tmp_path, blocked, args):
    """The module needs nothing; the tool says which extra brings what it lacks."""
    (tmp_path / blocked).mkdir()
    (tmp_path / blocked / "__init__.py").write_text("raise ImportError('not installed')\n")
    (tmp_path / "c.json").write_text(json.dumps(conversation("x")), encoding="utf-8")
    env = tool_env(PYTHONPATH=os.pathsep.join(
        [str(tmp_path)] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    done = subprocess.run(tool_command("c.json", *args), capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=60)
    one_error(done, 10, f"needs the {blocked} package: pip install '.[cli]' in the "
                        "project's folder")


def test_a_resumed_batch_counts_only_what_is_left_on_its_progress_bar(tmp_path):
    pty = pytest.importorskip("pty")
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    write_jsonl(inp, jobs(range(12)))
    write_jsonl(out, [])
    assert run_tool("batch", inp, "--output", out, "--llm", "extractive").returncode == 0
    out.write_text("".join(out.read_text().splitlines(keepends=True)[:5]))
    leader, follower = pty.openpty()
    child = subprocess.Popen(tool_command("batch", inp, "--output", out, "--llm", "extractive"),
                             stdout=follower, stderr=follower,
                             env=tool_env(COLUMNS="120", TERM="xterm"))
    os.close(follower)
    screen = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        screen += chunk
    assert child.wait(timeout=60) == 0
    os.close(leader)
    last_frame = screen.rsplit(b"summarizing", 1)[-1]
    assert b" 7/7 " in last_frame, screen


# ---- the second round ---------------------------------------------------------------------

def job_line(ident):
    return json.dumps({"id": ident, "messages": [{"role": "user", "content": f"Fix {ident}"}]})


@pytest.mark.parametrize("good_before", [0, 2, 3000])
@pytest.mark.parametrize("bad", [b"\xff", b'{"id": "x", "messages": "caf\xe9"}'])
def test_a_line_that_is_not_utf8_is_one_bad_line_with_its_true_number(tmp_path, good_before,
                                                                       bad):
    lines = [job_line(i).encode() for i in range(good_before)] + [bad] + [
        job_line(i).encode() for i in range(good_before, good_before + 2)]
    inp, out = tmp_path / "nu.jsonl", tmp_path / "out.jsonl"
    inp.write_bytes(b"\n".join(lines) + b"\n")
    for run in range(2):  # a rerun finds the same line, and nothing else to do
        done = run_tool("batch", inp, "--output", out, "--llm", "extractive", timeout=300)
        assert done.returncode == 11, done.stderr
        no_traceback(done)
        skipped = [ln for ln in stderr_lines(done) if "skipped" in ln]
        assert len(skipped) == 1 and f"nu.jsonl:{good_before + 1}: skipped: not UTF-8 text" \
            in skipped[0], done.stderr
        assert sorted(r["id"] for r in read_results(out)) == list(range(good_before + 2))
        assert f"{0 if run else good_before + 2} written" in done.stderr


def test_the_ray_engine_reports_a_line_that_is_not_utf8_and_goes_on(tmp_path):
    pytest.importorskip("ray.data", reason="Ray Data is not installed: pip install '.[ray]'")
    inp, out = tmp_path / "nu.jsonl", tmp_path / "out.jsonl"
    inp.write_bytes(b"\n".join([job_line(1).encode(), job_line(2).encode(), b"\xff",
                                job_line(3).encode()]) + b"\n")
    done = run_tool("batch", inp, "--output", out, "--engine", "ray", "--actors", "1",
                    "--llm", "extractive", timeout=300)
    assert done.returncode == 11, done.stderr
    no_traceback(done)
    assert "nu.jsonl:3: skipped: not UTF-8 text" in done.stderr
    assert sorted(r["id"] for r in read_results(out)) == [1, 2, 3]


RESPONSES_ITEMS = [  # a request long enough that its summary is smaller
    {"role": "user", "content": [{"type": "input_text",
                                  "text": "Fix the parser in src/dates.py. " * 60}]},
    {"type": "message", "role": "assistant", "id": "msg_1", "status": "completed",
     "content": [{"type": "refusal", "refusal": "no way"}]},
]


def test_responses_items_with_a_refusal_are_read_as_responses(tmp_path):
    (tmp_path / "r.json").write_text(json.dumps(RESPONSES_ITEMS), encoding="utf-8")
    done = run_tool("r.json", "--format", "markdown", "--llm", "extractive", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "no way" in done.stdout
    condensed = run_tool("condense", "r.json", "--budget", "1", "--keep-last", "1",
                         "--llm", "extractive", cwd=tmp_path)
    assert condensed.returncode == 0, condensed.stderr
    assert json.loads(condensed.stdout)[0]["type"] == "message"  # a Responses input item


OPENAI_DOC = [
    {"role": "user", "content": "run ls"},
    {"role": "assistant", "content": None, "tool_calls": [
        {"id": "c1", "type": "function", "function": {"name": "shell",
                                                     "arguments": '{"cmd": "ls"}'}}]},
    {"role": "tool", "tool_call_id": "c1", "content": "a.txt"},
    {"role": "assistant", "content": None, "refusal": "I cannot"},
]
ANTHROPIC_DOC = [
    {"role": "user", "content": "run ls"},
    {"role": "assistant", "content": [{"type": "tool_use", "id": "t1", "name": "shell",
                                       "input": {"cmd": "ls"}}]},
    {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "t1",
                                  "content": "a.txt"}]},
]
RESPONSES_DOC = [
    {"role": "user", "content": "run ls"},
    {"type": "function_call", "call_id": "f1", "name": "shell", "arguments": "{}"},
    {"type": "function_call_output", "call_id": "f1", "output": "a.txt"},
]


@pytest.mark.parametrize("doc, actual, named, first", [
    (OPENAI_DOC, "openai", "anthropic", 1),
    (OPENAI_DOC, "openai", "responses", 1),
    (ANTHROPIC_DOC, "anthropic", "openai", 1),
    (ANTHROPIC_DOC, "anthropic", "responses", 1),
    (ANTHROPIC_DOC, "anthropic", "langchain", 1),
    (RESPONSES_DOC, "responses", "openai", 1),
    (RESPONSES_DOC, "responses", "anthropic", 1),
    (RESPONSES_ITEMS, "responses", "openai", 0),
])
def test_a_named_format_that_cannot_read_a_message_stops_naming_the_one_that_would(
        tmp_path, doc, actual, named, first):
    (tmp_path / "c.json").write_text(json.dumps(doc), encoding="utf-8")
    for command in (["c.json"], ["condense", "c.json", "--budget", "1"]):
        done = run_tool(*command, "--input-format", named, "--llm", "extractive", cwd=tmp_path)
        one_error(done, 5, f"message {first}")
        assert f"--input-format {actual}" in done.stderr and named in done.stderr
        assert done.stdout == ""
    write_jsonl(tmp_path / "in.jsonl", [{"id": 1, "messages": doc}])
    done = run_tool("batch", "in.jsonl", "--output", "o.jsonl", "--input-format", named,
                    "--llm", "extractive", cwd=tmp_path)
    assert done.returncode == 11 and f"message {first}" in done.stderr, done.stderr
    assert f"--input-format {actual}" in done.stderr
    right = run_tool("c.json", "--input-format", actual, "--llm", "extractive", cwd=tmp_path)
    assert right.returncode == 0, right.stderr


def test_batch_to_a_reader_that_stops_early_ends_quietly(tmp_path):
    inp = tmp_path / "big.jsonl"
    inp.write_text("".join(job_line(i) + "\n" for i in range(400)), encoding="utf-8")
    for _ in range(3):
        child = subprocess.Popen(tool_command("batch", inp, "--output", "-", "--llm",
                                              "extractive"),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=tool_env())
        assert json.loads(child.stdout.readline())["status"] == "ok"
        child.stdout.close()
        assert child.wait(timeout=120) == 0
        assert child.stderr.read() == b""


@pytest.mark.parametrize("doc", ["[]", '{"messages": []}', '{"input": []}',
                                 '{"system": "be brief", "messages": []}'])
def test_an_empty_conversation_is_status_5_and_a_failed_row_in_batch(tmp_path, doc):
    (tmp_path / "c.json").write_text(doc, encoding="utf-8")
    for command in (["c.json"], ["-"], ["condense", "c.json", "--budget", "10"]):
        done = run_tool(*command, "--llm", "extractive", cwd=tmp_path, input=doc)
        one_error(done, 5, "no user, assistant or tool message")
        assert done.stdout == ""
    body = json.loads(doc)
    line = {"id": "e", **(body if isinstance(body, dict) else {"messages": body})}
    line["messages"] = line.pop("input", line.get("messages"))
    write_jsonl(tmp_path / "in.jsonl", [line, {"id": "f", "messages": conversation("f")}])
    done = run_tool("batch", "in.jsonl", "--output", "o.jsonl", "--llm", "extractive",
                    cwd=tmp_path)
    assert done.returncode == 11, done.stderr
    results = {r["id"]: r for r in read_results(tmp_path / "o.jsonl")}
    assert results["e"]["status"] == "failed" and results["e"]["summary"] is None
    assert "no user, assistant or tool message" in results["e"]["error"]
    assert results["f"]["status"] == "ok"


def readme_exit_statuses():
    """The exit statuses the README lists, as {status: text}."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    start = text.index("its own exit status, never a traceback:")
    found = re.findall(r"(\d+) ([a-z][^,.;]*)", text[start:text.index("interrupted", start)
                                                     + len("interrupted")])
    return {int(n): words for n, words in found}


@pytest.mark.parametrize("command", [[], ["batch"], ["condense"]])
def test_the_help_lists_the_exit_statuses_as_the_readme_does(command):
    done = run_tool("help", *command)
    assert done.returncode == 0, done.stderr
    epilog = done.stdout[done.stdout.index("exit statuses:"):]
    listed = {int(n) for n in re.findall(r"^\s+(\d+)\s", epilog, re.M)}
    readme = readme_exit_statuses()
    assert listed == set(readme) | {0} and len(readme) >= 11
    for status, words in readme.items():
        line = next(ln for ln in epilog.splitlines() if ln.split()[:1] == [str(status)])
        assert words.split(" (")[0].strip() in line, (status, words, line)


@pytest.mark.parametrize("args, status, text", [
    (["help", "nosuch"], 2, "unknown command 'nosuch'"),
    (["condens", "x.json"], 2, "did you mean 'condense'?"),
    (["bach", "in.jsonl", "--output", "o"], 2, "did you mean 'batch'?"),
    (["help", "batch", "extra"], 2, "help takes one command"),
])
def test_unknown_and_mistyped_commands(tmp_path, args, status, text):
    done = run_tool(*args, cwd=tmp_path)
    one_error(done, status, text)
    assert done.stdout == ""


def test_a_file_named_like_a_command_is_still_a_conversation(tmp_path):
    (tmp_path / "condens").write_text(json.dumps(conversation("x")), encoding="utf-8")
    done = run_tool("condens", "--llm", "extractive", "--format", "json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("reply, text", [
    ('"a plain string"', "a JSON string instead of a completion"),
    ('[1, 2]', "a JSON list instead of a completion"),
    ('{"choices": []}', "no choices"),
    ('{"error": {"message": "quota gone"}}', "quota gone"),
])
def test_a_malformed_reply_says_what_the_server_sent(tmp_path, reply, text):
    (tmp_path / "c.json").write_text(json.dumps(conversation("x")), encoding="utf-8")
    with LLMServer() as server:
        server.push(Answer(body=json.loads(reply)))
        done = run_tool("c.json", "--llm", "openai", "--model", "m", "--base-url", server.url,
                        "--retries", "0", cwd=tmp_path)
    one_error(done, 8, text)
    assert "object has no attribute" not in done.stderr and "'str'" not in done.stderr


def fake_interpreter(folder):
    """A stand-in interpreter for scripts/test.sh: makes a "virtual environment" whose
    python records each command it is given."""
    script = folder / "python3.12"
    script.write_text(f"""#!/bin/sh
echo "$@" >> {folder}/calls
case "$1" in
-c) echo 312 ;;
-m) if [ "$2" = venv ]; then mkdir -p "$4/bin" && cp "$0" "$4/bin/python"; fi ;;
esac
""")
    script.chmod(0o755)
    return script


@pytest.mark.parametrize("args, interpreter", [(["-q", "-x"], None),
                                               (["PY", "-q", "-k", "batch"], "PY"),
                                               (["PY"], "PY"), ([], None)])
def test_the_test_script_takes_pytest_options_after_an_optional_interpreter(tmp_path, args,
                                                                            interpreter):
    root = tmp_path / "root"
    (root / "scripts").mkdir(parents=True)
    for name in ("test.sh", "common.sh"):
        shutil.copy(ROOT / "scripts" / name, root / "scripts" / name)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake = fake_interpreter(bin_dir)
    args = [str(fake) if a == "PY" else a for a in args]
    env = tool_env(PATH=f"{bin_dir}:/usr/bin:/bin")
    done = subprocess.run(["bash", str(root / "scripts" / "test.sh"), *args], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    calls = (bin_dir / "calls").read_text().splitlines()
    options = [a for a in args if a != str(fake)]
    cores = str(len(os.sched_getaffinity(0)))  # what nproc counts
    assert calls[-1] == " ".join(["-m", "pytest", "-n", cores, "--dist", "loadgroup", *options,
                                  "tests"])
    assert any(c.startswith("-m venv --clear") for c in calls)


def test_the_test_script_says_how_it_is_used():
    done = subprocess.run(["bash", str(ROOT / "scripts" / "test.sh"), "--help"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert "scripts/test.sh [PYTHON] [PYTEST OPTIONS...]" in done.stdout
