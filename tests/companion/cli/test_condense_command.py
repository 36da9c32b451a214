"""`morvex-summarize condense`, run as users run it: in a subprocess."""
import json
import os
import pathlib
import re
import socket

import pytest
from cli_support import run_tool, stderr_lines, tool_env
from llm_server import LLMServer

HEADER = "## Conversation History Summary"
REPORT = re.compile(r"morvex-summarize: (\d+) messages summarized: (\d+) \u2192 (\d+) tokens, "
                    r"(\d+) \u2192 (\d+) messages")


@pytest.fixture(scope="module")
def env(mod):
    """The environment of the tool: the module and the package as this test run sees them."""
    import morvex_summarize

    # The package first: the module's directory may hold an installed copy of it too.
    paths = [str(pathlib.Path(morvex_summarize.__file__).resolve().parents[1]),
             str(pathlib.Path(mod.__file__).resolve().parents[2])]
    extra = os.environ.get("PYTHONPATH")
    return tool_env(PYTHONPATH=os.pathsep.join(paths + ([extra] if extra else [])),
                    PYTHONIOENCODING="utf-8")


def tool(env, *args, stdin=None, cwd=None):
    return run_tool("condense", *args, input=stdin, env=env, cwd=cwd)


def conversation(turns):
    msgs = [{"role": "system", "content": "You are a build agent."}]
    for i in range(turns):
        msgs += [
            {"role": "user", "content": f"Step {i}: please check module {i} of the build."},
            {"role": "assistant", "content": "", "tool_calls": [
                {"id": f"c{i}", "type": "function",
                 "function": {"name": "run", "arguments": json.dumps({"cmd": f"make m{i}"})}}]},
            {"role": "tool", "tool_call_id": f"c{i}", "content": f"module {i}: ok " * 5},
            {"role": "assistant", "content": f"Module {i} builds."},
        ]
    return msgs


def write(tmp_path, doc, name="conv.json"):
    path = tmp_path / name
    path.write_text(doc if isinstance(doc, str) else json.dumps(doc), encoding="utf-8")
    return str(path)


@pytest.mark.parametrize("keep", [1, 3, None])  # None: the default, 6 as the Condenser's
def test_condenses_and_reports(env, tmp_path, keep):
    msgs = conversation(20)
    done = tool(env, write(tmp_path, msgs), "--budget", "1000", "--target", "500",
                *(["--keep-last", str(keep)] if keep else []), "--llm", "extractive")
    keep = keep or 6
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    report = REPORT.fullmatch(done.stderr.strip())
    assert report, done.stderr
    summarized, before, after, n_before, n_after = map(int, report.groups())
    assert out[0] == msgs[0] and out[1]["role"] == "system"
    assert out[1]["content"].startswith(HEADER)
    tail = out[2:]
    assert len(tail) >= keep and tail == msgs[len(msgs) - len(tail):]
    assert tail[0]["role"] != "tool"  # a result never loses its call
    assert summarized == len(msgs) - 1 - len(tail) and (n_before, n_after) == (len(msgs), len(out))
    assert after < before


def test_keep_first_keeps_the_users_turns_in_front_of_the_summary(env, tmp_path):
    msgs = conversation(20)
    done = tool(env, write(tmp_path, msgs), "--budget", "1000", "--target", "500",
                "--keep-first", "--llm", "extractive")
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out[:2] == msgs[:2] and out[2]["content"].startswith(HEADER)  # the first request
    # after the summary: the user's older requests, then the tail, all in their order
    tail = 3
    while out[tail]["role"] == "user":
        tail += 1
    assert tail > 3 and out[tail:] == msgs[len(msgs) - len(out) + tail:]
    kept = [msgs.index(m) for m in out[3:tail]]
    assert kept == sorted(kept)
    summarized = int(REPORT.fullmatch(done.stderr.strip()).group(1))
    assert summarized == len(msgs) - (len(out) - 1)
    assert "Step 0: please check module 0" in out[2]["content"]


def test_within_budget_prints_the_list_unchanged(env, tmp_path):
    msgs = conversation(1)
    done = tool(env, write(tmp_path, msgs), "--budget", "100000", "--llm", "extractive")
    assert done.returncode == 0 and json.loads(done.stdout) == msgs
    assert done.stderr.startswith("morvex-summarize: within budget, nothing summarized")


def test_condensing_its_own_output_builds_on_the_earlier_summary(env, tmp_path):
    budget = ["--budget", "1000", "--target", "500", "--llm", "extractive"]
    first = tool(env, write(tmp_path, conversation(20)), *budget)
    grown = json.loads(first.stdout) + conversation(20)[1:]
    second = tool(env, "-", *budget, stdin=json.dumps(grown))
    assert second.returncode == 0, second.stderr
    out = json.loads(second.stdout)
    contexts = [m for m in out if (m.get("content") or "").startswith(HEADER)]
    assert len(contexts) == 1 and "Continues an earlier summary" in contexts[0]["content"]
    assert REPORT.fullmatch(second.stderr.strip())


@pytest.mark.parametrize("turns", [2, 3])
def test_a_conversation_condensing_would_make_larger_is_written_unchanged(env, tmp_path,
                                                                          turns):
    msgs = [{"role": "user", "content": "Fix the build. Do not touch the tests."}]
    for n in range(turns):
        msgs += [{"role": "assistant", "content": f"step {n} done"},
                 {"role": "user", "content": "ok"}]
    done = tool(env, write(tmp_path, msgs), "--budget", "20", "--keep-last", "1", "--llm",
                "extractive")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == msgs
    (line,) = stderr_lines(done)
    assert re.fullmatch(r"morvex-summarize: cannot make it smaller: (\d+) tokens, and (\d+) "
                        r"with \d+ messages summarized \(budget 20\); written unchanged", line)


def test_a_summary_larger_than_the_budget_is_reported(env, tmp_path):
    done = tool(env, write(tmp_path, conversation(3)), "--budget", "20", "--keep-last", "1",
                "--llm", "extractive")
    assert done.returncode == 0
    assert "still over budget" in done.stderr and len(done.stderr.splitlines()) == 1
    # the reason is the state's budget note: what takes the tokens, against what budget
    assert re.search(r"; still over budget: the (kept messages alone take \d+ tokens of the "
                     r"20 budget|summary takes \d+ tokens at its smallest)", done.stderr)


@pytest.mark.parametrize("strategy, keep, model", [("clear-tool-results", 2, []),
                                                   ("hybrid", 3, ["--llm", "extractive"])])
def test_a_clearing_strategy_reports_what_it_cleared(env, tmp_path, strategy, keep, model):
    """Clearing alone brings this conversation within budget: hybrid summarizes nothing,
    and clear-tool-results needs no model at all."""
    msgs = conversation(20)
    done = tool(env, write(tmp_path, msgs), "--budget", "1000", "--strategy", strategy,
                "--keep-tool-uses", str(keep), *model)
    assert done.returncode == 0 and len(stderr_lines(done)) == 1, done.stderr
    out = json.loads(done.stdout)
    results = [m["content"] for m in out if m["role"] == "tool"]
    assert all(re.fullmatch(r"\[cleared tool result: run, 6\d B\]", r) for r in results[:10])
    assert results[-keep:] == [m["content"] for m in msgs if m["role"] == "tool"][-keep:]
    found = re.fullmatch(r"morvex-summarize: (\d+) tool results cleared \((\d+) tokens\): "
                         r"(\d+) \u2192 (\d+) tokens, (\d+) \u2192 (\d+) messages",
                         done.stderr.strip())
    assert found, done.stderr
    uses, freed, before, after, n_before, n_after = map(int, found.groups())
    assert (uses, n_before, n_after) == (20 - keep, len(msgs), len(out))
    assert before - after == freed > 0 and after <= 1000


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("args, doc, code, message", [
    (["missing.json", "--budget", "10"], None, 3, "no such file"),
    (["conv.json", "--budget", "10"], "[{", 4, "invalid JSON at line 1"),
    (["conv.json", "--budget", "10"], {"role": "user"}, 5, "expected a list of message objects"),
    (["conv.json", "--budget", "10"], [{"role": "user"}, 3], 5, "message 1 is int"),
    (["conv.json", "--budget", "10", "--llm", "extractive"],
     [{"role": "assistant", "tool_calls": 5}] + [{"role": "user", "content": "x"}] * 9, 5,
     "message 0: tool_calls is int, not a list"),
    (["conv.json", "--budget", "0"], [], 2, "--budget: must be at least 1"),
    (["conv.json", "--budget", "ten"], [], 2, "--budget: expected a whole number"),
    (["conv.json"], [], 2, "--budget"),
    (["conv.json", "--budget", "10", "--keep-last", "-1"], [], 2, "--keep-last"),
    (["conv.json", "--budget", "10", "--target", "11"], [], 2, "exceeds --budget"),
    (["conv.json", "--budget", "10", "--strategy", "mask"], [], 2, "--strategy"),
    (["conv.json", "--budget", "10", "--strategy", "clear-tool-results", "--keep-thinking",
      "2"], [], 2, "--keep-thinking applies to the clear-thinking, hybrid and "
      "clear-thinking-then-summarize strategies"),
    (["conv.json", "--budget", "10", "--llm", "nothing"], conversation(2), 2, "unknown --llm"),
    (["conv.json", "--budget", "10", "--llm", "openai", "--model", "m", "--retries", "0",
      "--base-url", "http://127.0.0.1:{port}/v1"], conversation(2), 6, "cannot reach"),
])
def test_bad_input_gets_one_line_and_a_status(env, tmp_path, args, doc, code, message):
    if doc is not None:
        write(tmp_path, doc)
    args = [a.format(port=closed_port()) for a in args]
    done = tool(env, *args, cwd=tmp_path)
    assert done.returncode == code, done.stderr
    assert done.stdout == "" and "Traceback" not in done.stderr
    assert message in stderr_lines(done)[-1]
    if code != 2:  # argparse shows its usage above the error line
        assert len(stderr_lines(done)) == 1


def test_condenses_through_an_openai_compatible_server(env, tmp_path):
    msgs = conversation(20)
    with LLMServer() as server:
        done = tool(env, write(tmp_path, msgs), "--budget", "1000", "--llm", "openai",
                    "--model", "m", "--base-url", server.url)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert "answered by the loopback server" in out[1]["content"] and len(server.requests) == 1
    assert REPORT.fullmatch(done.stderr.strip())


@pytest.mark.parametrize("command", ["condense", "serve"])
def test_the_newest_six_are_kept_by_default_as_the_condenser_keeps_them(env, command):
    from morvex_summarize.clients.extractive import ExtractiveClient
    from morvex_summarize.condense import Condenser

    done = run_tool(command, "--help", env=env)
    assert "kept verbatim (default: 6)" in " ".join(done.stdout.split())
    assert Condenser(ExtractiveClient(), max_tokens=1000).keep_last == 6
