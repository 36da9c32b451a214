"""A proxy shared by several clients: nothing of one reaches another, no path reaches above
the upstream's base, and no body, however large or odd, holds the others up."""

import gzip
import json
import logging
import os
import re
import socket
import stat
import threading
import time
import zlib

import httpx
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from loopback import Answer, Upstream

TALK = [{"role": "user" if n % 2 == 0 else "assistant", "content": f"message {n} " * 40}
        for n in range(9)]
CHAT = "/v1/chat/completions"


def raw_request(port, target, body=b"", method="POST", headers=()):
    """Sends one request as written (no client library tidies its path): (status, the
    head's lines)."""
    lines = [f"{method} {target} HTTP/1.1", f"Host: 127.0.0.1:{port}",
             "Content-Type: application/json", f"Content-Length: {len(body)}",
             "Connection: close", *headers]
    with socket.create_connection(("127.0.0.1", port), timeout=20) as sock:
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head = answer.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    return int(head[0].split(" ")[1]), head[1:]


def post(proxy, body, key="sk-a", path=CHAT, **options):
    return httpx.post(proxy.url + path, json=body, timeout=30,
                      headers={"authorization": f"Bearer {key}"}, **options)


def test_no_cookie_goes_from_one_client_to_another(upstream, start_proxy):
    proxy, _ = start_proxy(300, keep_last=2)
    upstream.push(Answer(body={"choices": []}, headers={"set-cookie": "sid=client-a; Path=/"}))
    first = post(proxy, {"model": "m", "messages": TALK[:1]})
    assert first.headers["set-cookie"] == "sid=client-a; Path=/"  # the client's own
    post(proxy, {"model": "m", "messages": TALK}, key="sk-b")  # a summary request, a call
    later = upstream.requests[1:]
    assert len(later) == 2 and upstream.summaries
    assert all("cookie" not in r.headers for r in later)


@pytest.mark.parametrize("target", [
    "/v1/../admin", "/v1/%2e%2e/admin", "/v1/%2E%2E/admin", "/v1/chat/../../secret",
    "/v1/chat/./completions", "/v1/chat/%2e/completions", "/v1/x%3Fa=1", "/v1/x%23y",
    "/v1/chat%2Fcompletions", "/v1/..%5Cadmin", "/v1/a\\..\\admin", "/v1/a%00b"])
def test_paths_that_could_leave_the_base_are_refused(upstream, start_proxy, target):
    proxy, _ = start_proxy(300)
    body = json.dumps({"model": "m", "messages": TALK}).encode()
    status, _ = raw_request(proxy.port, target, body)
    assert status == 400
    assert upstream.requests == []


@pytest.mark.parametrize("target", ["/v1//chat/completions", "/v1/chat/%63ompletions",
                                    "/%761/chat/completions", "/v1/chat//completions"])
def test_every_spelling_of_an_endpoint_is_condensed(upstream, start_proxy, target):
    proxy, _ = start_proxy(300, keep_last=2)
    body = json.dumps({"model": "m", "messages": TALK}).encode()
    status, head = raw_request(proxy.port, target, body)
    assert status == 200
    assert any(line.lower().startswith("x-morvex-condensed:") for line in head)
    assert upstream.calls[-1].path == "/chat/completions"
    assert len(upstream.calls[-1].body["messages"]) < len(TALK)


def test_one_date_and_one_server_header_and_no_hop_by_hop_header(upstream, start_proxy):
    proxy, _ = start_proxy(100_000)
    upstream.push(Answer(body={"choices": []}, headers={
        "connection": "x-upstream-hop", "x-upstream-hop": "1", "x-kept": "1"}))
    status, head = raw_request(proxy.port, CHAT, json.dumps(
        {"model": "m", "messages": TALK[:1]}).encode(),
        headers=["Connection: close, X-Client-Hop", "X-Client-Hop: secret", "X-Other: 1"])
    names = [line.split(":", 1)[0].lower() for line in head]
    assert status == 200
    assert names.count("date") == 1 and names.count("server") <= 1
    assert "x-upstream-hop" not in names and "x-kept" in names
    sent = upstream.requests[-1].headers
    assert "x-client-hop" not in sent and sent["x-other"] == "1"


def test_a_client_that_leaves_gets_a_quiet_end(upstream, start_proxy, caplog):
    proxy, _ = start_proxy(100_000)
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    errors = logging.getLogger("uvicorn.error")
    errors.addHandler(handler)
    try:
        for _ in range(5):
            upstream.push(Answer(delay=5))
        with caplog.at_level(logging.WARNING):
            for _ in range(5):
                with pytest.raises(httpx.ReadTimeout):
                    httpx.post(proxy.url + CHAT, json={"model": "m", "messages": TALK[:1]},
                               timeout=0.3)
            deadline = time.monotonic() + 5
            while len(upstream.gone) < 5 and time.monotonic() < deadline:
                time.sleep(0.05)
    finally:
        errors.removeHandler(handler)
    assert len(upstream.gone) == 5
    assert [r.getMessage() for r in records + caplog.records if r.levelno >= logging.ERROR
            or r.exc_info] == []


@pytest.mark.parametrize("over_budget", [False, True])
def test_numbers_python_cannot_hold_stay_json(upstream, start_proxy, over_budget):
    upstream.checked = False  # the loopback's own reader refuses such numbers
    proxy, _ = start_proxy(100_000 if not over_budget else 300, keep_last=2)
    big = "9" * 5000
    raw = (b'{"model":"m","seed":' + big.encode() + b',"logit_bias":{"1":-' + big.encode()
           + b'},"top_p":1e400,"messages":' + json.dumps(TALK).encode() + b"}")
    answer = httpx.post(proxy.url + CHAT, content=raw, timeout=30)
    assert answer.status_code == 200
    sent = upstream.requests[-1].raw
    if not over_budget:
        assert sent == raw
    else:
        assert b'"seed":' + big.encode() + b"," in sent
        assert b'"logit_bias":{"1":-' + big.encode() + b"}" in sent
        assert b'"top_p":1e400' in sent and len(sent) < len(raw)


JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=20)


@settings(max_examples=300, deadline=None)
@given(value=JSON, spaces=st.sampled_from(["", " ", "\n\t "]), cut=st.integers(0, 400))
def test_bodies_are_read_as_json_reads_them(value, spaces, cut):
    """Read a member at a time, a body gives what json.loads gives, and refuses what it
    refuses (the same text cut short, or with a stray character)."""
    from morvex_summarize.serve.body import loads

    text = json.dumps(value, indent=spaces or None).replace("\n", "\n" + spaces)
    assert loads(text.encode()) == json.loads(text)
    for broken in (text[:cut % max(len(text), 1)], text + ",", text[:cut % max(len(text), 1)]
                   + "]" + text[cut % max(len(text), 1):]):
        try:
            expected = json.loads(broken)
        except ValueError:
            with pytest.raises(ValueError):
                loads(broken.encode())
        else:
            assert loads(broken.encode()) == expected


@pytest.mark.parametrize("encoding, pack", [
    ("gzip", gzip.compress), ("deflate", zlib.compress)])
def test_compressed_bodies_are_read(upstream, start_proxy, encoding, pack):
    upstream.checked = False  # the loopback does not open a compressed body
    proxy, _ = start_proxy(300, keep_last=2)
    body = json.dumps({"model": "m", "messages": TALK}).encode()
    answer = httpx.post(proxy.url + CHAT, content=pack(body),
                        headers={"content-encoding": encoding})
    assert answer.status_code == 200 and "x-morvex-condensed" in answer.headers
    sent = upstream.calls[-1]
    assert "content-encoding" not in sent.headers
    assert len(sent.body["messages"]) < len(TALK)
    # within budget the body goes on as it came, compressed
    small = pack(json.dumps({"model": "m", "messages": TALK[:1]}).encode())
    httpx.post(proxy.url + CHAT, content=small, headers={"content-encoding": encoding})
    assert upstream.requests[-1].headers["content-encoding"] == encoding


@pytest.mark.parametrize("encoding, content, status", [
    ("br", b"\x1b\x00", 415), ("gzip", b"not gzip at all", 400),
    ("gzip", gzip.compress(b" " * 2_000_000), 413)])
def test_bodies_that_cannot_be_opened_are_refused(upstream, start_proxy, encoding, content,
                                                  status):
    proxy, _ = start_proxy(300, max_body=1_000_000)
    answer = httpx.post(proxy.url + CHAT, content=content,
                        headers={"content-encoding": encoding})
    assert answer.status_code == status and "error" in answer.json()
    assert upstream.requests == []


def test_the_budget_counts_tools_and_schemas(upstream, start_proxy):
    tools = [{"type": "function", "function": {
        "name": f"tool_{n}", "description": "Does one thing well. " * 20,
        "parameters": {"type": "object", "properties": {"x": {"type": "string"}}}}}
        for n in range(8)]
    proxy, _ = start_proxy(2400, keep_last=2)
    talk = [{"role": m["role"], "content": m["content"] * 3} for m in TALK]
    answer = post(proxy, {"model": "m", "messages": talk, "tools": tools})
    before, after = map(int, answer.headers["x-morvex-condensed"].split("/"))
    sent = upstream.calls[-1].raw
    assert after <= 2400 < before
    assert len(sent) / 4 <= 2400 * 1.1  # the estimate against the length actually sent


def test_bodies_held_at_once_are_bounded(upstream, start_proxy):
    proxy, state = start_proxy(100_000, max_held=300_000)
    piece = b" " * 100_000
    release = threading.Event()

    def slow():
        yield b'{"model": "m", "messages": ' + json.dumps(TALK[:1]).encode()
        for _ in range(2):
            yield piece
        release.wait(10)
        yield b"}"

    first = threading.Thread(target=httpx.post, args=(proxy.url + CHAT,),
                             kwargs={"content": slow(), "timeout": 30})
    first.start()
    deadline = time.monotonic() + 10
    while state.held < 200_000 and time.monotonic() < deadline:
        time.sleep(0.02)
    body = {"model": "m", "messages": TALK[:1], "pad": " " * 150_000}
    busy = httpx.post(proxy.url + CHAT, json=body)
    assert busy.status_code == 503 and busy.headers["retry-after"].isdigit()
    assert httpx.post(proxy.url + CHAT, json=dict(body, pad="")).status_code == 200
    release.set()
    first.join(20)
    assert state.held == 0
    assert httpx.post(proxy.url + CHAT, json=body).status_code == 200


def test_a_client_that_stops_sending_gets_408(upstream, start_proxy):
    proxy, _ = start_proxy(100_000, client_timeout=0.5)
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", proxy.port)) as sock:
        sock.sendall(f"POST {CHAT} HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n"
                     "{".encode())
        sock.settimeout(10)
        head = sock.recv(65536)
    assert head.startswith(b"HTTP/1.1 408") and time.monotonic() - started < 5
    assert upstream.requests == []


def test_a_large_body_holds_no_one_else_up(upstream, start_proxy):
    """While a large body is read and condensed, the other clients' requests go on: the
    event loop never waits for it."""
    proxy, state = start_proxy(2000, keep_last=2, max_body=64 * 1024 * 1024)
    messages = [{"role": "user" if n % 2 == 0 else "assistant", "content": f"m{n} " * 3}
                for n in range(150_000)]
    large = json.dumps({"model": "large", "messages": messages}).encode()
    sent = threading.Thread(target=httpx.post, args=(proxy.url + CHAT,),
                            kwargs={"content": large, "timeout": 120})
    sent.start()
    deadline = time.monotonic() + 60
    while state.held < len(large) and time.monotonic() < deadline:
        time.sleep(0.005)
    done_during = 0
    while sent.is_alive() and not any(r.body.get("model") == "large" for r in upstream.calls
                                      if isinstance(r.body, dict)):
        answer = httpx.post(proxy.url + CHAT, json={"model": "small", "messages": TALK[:1]})
        if not any(isinstance(r.body, dict) and r.body.get("model") == "large"
                   for r in upstream.calls):
            done_during += answer.status_code == 200
    sent.join(120)
    assert done_during >= 3


def test_large_bodies_condense_alike_in_their_process_and_in_a_thread(upstream, start_proxy):
    """A body large enough for the condensing process gives the upstream the same body,
    and builds on its stored summary the same way, as in a worker thread."""
    messages = [{"role": "user" if n % 2 == 0 else "assistant", "content": f"m{n} " * 40}
                for n in range(9000)]
    sent, asked = {}, []
    for isolate in (False, True):
        proxy, _ = start_proxy(2000, keep_last=2, isolate=isolate)
        for rounds in (len(messages) - 2, len(messages)):  # the second builds on the first
            answer = post(proxy, {"model": "m", "messages": messages[:rounds]})
            assert answer.status_code == 200
            sent[isolate, rounds] = (upstream.calls[-1].raw,
                                     answer.headers["x-morvex-condensed"])
            asked.append(len(upstream.summaries))
    assert len(json.dumps(messages)) > 1024 * 1024
    assert all(sent[False, r] == sent[True, r] for r in (len(messages) - 2, len(messages)))
    # Round one is summarized in windows within the model's context, alike in both; round
    # two builds on round one's stored summary with one request.
    windows = asked[0]
    assert windows > 1 and asked == [windows, windows + 1, 2 * windows + 1, 2 * windows + 2]
    assert all(len(json.dumps(r.body)) < 4 * 32_768 for r in upstream.summaries)


def test_the_state_file_is_its_owner_s_alone(tmp_path):
    from morvex_summarize.serve.state import StateStore

    path = tmp_path / "state.db"
    StateStore(path=str(path)).close()
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600


@pytest.mark.parametrize("asked", [False, True])
def test_the_environment_s_proxy_only_when_asked(upstream, start_proxy, monkeypatch, asked):
    other = Upstream()
    try:
        monkeypatch.setenv("HTTP_PROXY", other.server.url)
        monkeypatch.delenv("NO_PROXY", raising=False)
        monkeypatch.delenv("no_proxy", raising=False)
        proxy, _ = start_proxy(100_000, env_proxy=asked)
        answer = post(proxy, {"model": "m", "messages": TALK[:1]}, trust_env=False)
        # asked, the request goes to the environment's proxy (which the loopback is not)
        assert (answer.status_code == 200) is not asked
        assert len(upstream.requests) == (0 if asked else 1)
    finally:
        other.close()


# ---- summaries never cross callers ---------------------------------------------------

OPENING = [{"role": "system", "content": "You are terse."}] + [
    {"role": "user" if n % 2 == 0 else "assistant", "content": f"shared step {n} " * 30}
    for n in range(8)]


@pytest.fixture(scope="module")
def shared():
    upstream = Upstream()
    from loopback import serve_proxy
    proxy, _ = serve_proxy(upstream.url, 600, keep_last=2)
    yield upstream, proxy
    proxy.close()
    upstream.close()


@settings(max_examples=12, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(order=st.lists(st.sampled_from("ab"), min_size=2, max_size=8),
       keys=st.sampled_from([("sk-one", "sk-two"), ("sk-one", "sk-one")]),
       models=st.sampled_from([("m", "m"), ("m", "other")]))
def test_summaries_never_cross_callers(shared, order, keys, models):
    """Two callers that open alike, in any interleaving: each is sent, and each summary
    request is given, only summaries written for its own key by its own model."""
    upstream, proxy = shared
    start = len(upstream.requests)
    histories = {c: list(OPENING) for c in "ab"}
    for caller in order:
        history = histories[caller]
        history.append({"role": "user", "content": f"{caller} asks {len(history)} " * 20})
        key, model = keys["ab".index(caller)], models["ab".index(caller)]
        answer = post(proxy, {"model": model, "messages": history}, key=key)
        assert answer.status_code == 200
        history.append({"role": "assistant", "content": answer.json()["choices"][0]
                        ["message"]["content"]})
    for recorded in upstream.requests[start:]:
        mine = (recorded.headers["authorization"].removeprefix("Bearer "),
                recorded.body["model"])
        written = set(re.findall(r"written for caller Bearer ([\w-]+) by model ([\w-]+)",
                                 recorded.raw.decode()))
        assert written <= {mine}, (mine, written)
        assert written or recorded.summary  # every call was over budget: a summary went
