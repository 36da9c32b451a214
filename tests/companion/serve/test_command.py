"""``morvex-summarize serve`` as a process: where it listens, how it stops, bad options."""

import json
import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import httpx
import pytest

from loopback import Answer, chat_pieces

PYTHON_DIR = str(pathlib.Path(__file__).resolve().parents[3] / "python")


def command(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [PYTHON_DIR, os.environ.get("PYTHONPATH", "")]))
    return subprocess.Popen([sys.executable, "-m", "morvex_summarize", "serve", *args],
                            stderr=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            env=env)


def started(proc):
    """The address the command says it serves, from its first line, once it answers."""
    line = proc.stderr.readline()
    found = re.search(r"serving http://([\d.]+):(\d+)/v1 -> ", line)
    assert found, line + proc.stderr.read()
    host, port = found.group(1), int(found.group(2))
    # connections wait in the backlog until the application has started
    assert httpx.get(f"http://{host}:{port}/v1/models", timeout=120).status_code == 200
    return host, port


def test_listens_on_loopback_only_by_default(upstream):
    proc = command("--upstream", upstream.url, "--budget", "1000", "--port", "0")
    try:
        host, port = started(proc)
        assert host == "127.0.0.1"
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.2", port), timeout=5).close()
    finally:
        proc.terminate()
        proc.wait(20)


def test_sigterm_finishes_the_requests_in_flight(upstream):
    def answer(req):
        if req.body.get("stream"):
            return Answer(pieces=chat_pieces("m", [f"w{n} " for n in range(10)]), pause=0.15)
        return Answer(delay=1.5, body={"id": "slow", "choices": [], "object": "x"})

    upstream.responder = answer
    proc = command("--upstream", upstream.url, "--budget", "1000", "--port", "0")
    _, port = started(proc)
    base = f"http://127.0.0.1:{port}/v1/chat/completions"
    body = {"model": "m", "messages": [{"role": "user", "content": "hi"}]}
    results = {}

    def slow():
        results["slow"] = httpx.post(base, json=body, timeout=120)

    def streamed():
        with httpx.stream("POST", base, json={**body, "stream": True}, timeout=120) as answer:
            results["stream"] = b"".join(answer.iter_raw())

    threads = [threading.Thread(target=slow), threading.Thread(target=streamed)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 10
    while len(upstream.requests) < 3 and time.monotonic() < deadline:  # with /models
        time.sleep(0.02)
    proc.send_signal(signal.SIGTERM)
    for t in threads:
        t.join(120)
    assert proc.wait(60) == 0
    assert results["slow"].status_code == 200 and results["slow"].json()["id"] == "slow"
    events = [e for e in results["stream"].decode().split("\n\n") if e]
    assert len(events) == 12 and events[-1] == "data: [DONE]"
    assert "stopped" in proc.stderr.read()
    with pytest.raises(httpx.ConnectError):
        httpx.post(base, json=body)


@pytest.mark.parametrize("args, status, says", [
    (["--upstream", "ftp://example.com", "--budget", "10"], 2, "--upstream must be"),
    (["--upstream", "http://127.0.0.1:9/v1"], 2, "--budget"),
    (["--upstream", "http://127.0.0.1:9/v1", "--budget", "10", "--target", "20"], 2,
     "exceeds --budget"),
    (["--upstream", "http://127.0.0.1:9/v1", "--budget", "10", "--state-file",
      "/nonexistent/dir/state.db"], 10, "--state-file"),
    (["--upstream", "http://127.0.0.1:9/v1", "--budget", "10", "--summarizer-llm", "nope"],
     2, "unknown --llm"),
    (["--upstream", "http://127.0.0.1:9/v1", "--budget", "10", "--carry-out-compaction",
      "--upstream-format", "anthropic"], 2, "--carry-out-compaction is for"),
    (["--upstream", "http://127.0.0.1:9/v1", "--budget", "10", "--carry-out-compaction",
      "--compaction-key", "short"], 2, "--compaction-key must have"),
])
def test_bad_options_get_one_line_and_their_status(args, status, says):
    proc = command(*args)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == status
    assert says in err and "Traceback" not in err and len(err.strip().splitlines()) == 1
