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
    (["--upstream", "http://127.0.0.1:9/v1", "--budget", "10", "--host", "0.0.0.0",
      "--port", "0"], 2, "--host 0.0.0.0 listens beyond this machine: give --access-token"),
    (["--upstream", "http://127.0.0.1:9/v1", "--budget", "10", "--host", "0.0.0.0",
      "--port", "0", "--insecure-no-access-token", "--summarizer-llm", "openai"], 2,
     "writes summaries with the operator's keys"),
    (["--upstream", "http://127.0.0.1:9/v1", "--budget", "10", "--access-token-file",
      "/nonexistent/token"], 3, "--access-token-file /nonexistent/token"),
])
def test_bad_options_get_one_line_and_their_status(args, status, says):
    proc = command(*args)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == status
    assert says in err and "Traceback" not in err and len(err.strip().splitlines()) == 1


def test_a_token_beyond_loopback_is_asked_of_every_caller(upstream, tmp_path):
    """Listening on every address with a token file: a caller without the token (or with
    another) gets 401 in the API's shape and nothing goes upstream; with it, the request
    goes on without the token."""
    token = "t" * 24
    (tmp_path / "token").write_text(token + "\n")
    proc = command("--upstream", upstream.url, "--budget", "1000", "--port", "0",
                   "--host", "0.0.0.0", "--access-token-file", str(tmp_path / "token"))
    try:
        line = proc.stderr.readline()
        port = int(re.search(r"serving http://0\.0\.0\.0:(\d+)/v1", line).group(1))
        url = f"http://127.0.0.1:{port}/v1/chat/completions"
        body = {"model": "m", "messages": [{"role": "user", "content": "hi"}]}
        for headers in ({}, {"x-morvex-access-token": "x" * 24},
                        {"authorization": "Bearer " + token}):
            refused = httpx.post(url, json=body, headers=headers, timeout=120)
            assert refused.status_code == 401
            assert "x-morvex-access-token" in refused.json()["error"]["message"]
        assert upstream.requests == []
        done = httpx.post(url, json=body, headers={"x-morvex-access-token": token},
                          timeout=120)
        assert done.status_code == 200
        assert [r.headers.get("x-morvex-access-token") for r in upstream.requests] == [None]
    finally:
        proc.terminate()
        proc.wait(20)


def test_no_token_beyond_loopback_is_said_at_start(upstream):
    proc = command("--upstream", upstream.url, "--budget", "1000", "--port", "0",
                   "--host", "0.0.0.0", "--insecure-no-access-token")
    try:
        assert "without an access token: anyone who reaches the port" in \
            proc.stderr.readline()
        assert "serving http://0.0.0.0:" in proc.stderr.readline()
    finally:
        proc.terminate()
        proc.wait(20)


@pytest.mark.parametrize("upstream_format, path, shape", [
    ("openai", "/v1/responses", lambda body: body["error"]["type"]),
    ("anthropic", "/v1/messages", lambda body: body["type"] == "error"
     and body["error"]["type"])])
def test_the_401_is_in_the_api_s_shape(upstream, start_proxy, upstream_format, path, shape):
    proxy, _ = start_proxy(1000, upstream_format=upstream_format, access_token=b"t" * 24)
    refused = httpx.post(proxy.url + path, json={"model": "m", "input": "hi"}, timeout=60)
    assert refused.status_code == 401
    assert shape(refused.json()) == "authentication_error"
    assert upstream.requests == []
