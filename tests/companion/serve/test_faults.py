"""What the proxy withstands: bad input, upstream faults, clients that go away, a request
that names another server, and a summarizer that fails."""

import json
import logging
import socket
import time

import anthropic
import httpx
import openai
import pytest

from loopback import Answer, Served, Upstream, default_answer

TALK = [{"role": "user" if n % 2 == 0 else "assistant", "content": f"message {n} " * 40}
        for n in range(9)]


def chat(base_url, timeout=20.0, **call):
    client = openai.OpenAI(base_url=base_url, api_key="sk-x", max_retries=0, timeout=timeout)
    return client.chat.completions.create(**{"model": "m", "messages": TALK, **call})


@pytest.mark.parametrize("declared", [True, False])
def test_body_over_the_limit_is_refused_with_413(upstream, start_proxy, declared):
    proxy, _ = start_proxy(100_000, max_body=4000)
    body = json.dumps({"model": "m", "messages": TALK + TALK}).encode()
    content = body if declared else iter([body[:1000], body[1000:]])  # chunked: no length
    answer = httpx.post(proxy.url + "/v1/chat/completions", content=content)
    assert answer.status_code == 413
    assert answer.json()["error"]["type"] == "request_too_large"
    assert upstream.requests == []
    # one byte under the limit passes
    small = json.dumps({"model": "m", "messages": TALK[:1]}).encode()
    assert httpx.post(proxy.url + "/v1/chat/completions", content=small).status_code == 200


@pytest.mark.parametrize("api", ["openai", "anthropic"])
@pytest.mark.parametrize("body", [b'{"model": "m", "messages": [', b"\xff\xfe{}", b"",
                                  b"[" * 100_000 + b"]" * 100_000, b'{"a": 1} x'])
def test_malformed_json_gets_400_in_the_api_s_error_shape(upstream, start_proxy, api, body):
    proxy, _ = start_proxy(100_000, upstream_format=api)
    path = "/v1/messages" if api == "anthropic" else "/v1/chat/completions"
    answer = httpx.post(proxy.url + path, content=body,
                        headers={"content-type": "application/json"})
    assert answer.status_code == 400
    error = answer.json()
    if api == "openai":
        assert set(error) == {"error"} and error["error"]["type"] == "invalid_request_error"
        assert {"message", "type", "param", "code"} <= set(error["error"])
    else:
        assert error["type"] == "error" and error["error"]["type"] == "invalid_request_error"
    assert "not valid JSON" in error["error"]["message"]
    assert upstream.requests == []


@pytest.mark.parametrize("body", [
    {"model": "m", "messages": [{"nothing": "here"}] * 30},
    {"model": "m", "messages": "a text, not a list " * 300},
    {"model": "m", "messages": [42, "x" * 5000]},
    {"model": "m", "messages": [{"role": "user", "content": "x" * 5000},
                                {"type": "function_call_output", "call_id": "c", "output": "y"}]},
    ["not", "an", "object"],
])
def test_unreadable_conversation_goes_on_unchanged_with_a_warning(upstream, start_proxy,
                                                                  caplog, body):
    upstream.checked = False  # these bodies are not valid requests; the upstream decides
    proxy, _ = start_proxy(100)
    raw = json.dumps(body).encode()
    with caplog.at_level(logging.WARNING, logger="morvex_summarize.serve"):
        answer = httpx.post(proxy.url + "/v1/chat/completions", content=raw)
    assert upstream.requests[-1].raw == raw
    assert answer.status_code == 200
    assert any("passed on unchanged" in r.getMessage() for r in caplog.records)


@pytest.mark.parametrize("status, headers, error", [
    (401, {}, openai.AuthenticationError),
    (429, {"retry-after": "17", "x-ratelimit-remaining-requests": "0"}, openai.RateLimitError),
    (500, {}, openai.InternalServerError),
    (503, {"retry-after": "3"}, openai.InternalServerError),
])
@pytest.mark.parametrize("stream", [False, True])
def test_upstream_errors_are_relayed_as_they_came(upstream, start_proxy, status, headers,
                                                  error, stream):
    proxy, _ = start_proxy(100_000)
    body = {"error": {"message": f"upstream says {status}", "type": "upstream", "code": None}}
    upstream.push(Answer(status=status, body=body, headers=headers))
    with pytest.raises(error) as caught:
        chat(proxy.url + "/v1", stream=stream)
    assert caught.value.status_code == status
    assert caught.value.body == body["error"]
    for name, value in headers.items():
        assert caught.value.response.headers[name] == value


def test_per_request_timeout_gives_504(upstream, start_proxy):
    proxy, _ = start_proxy(100_000, timeout=0.5)
    upstream.push(Answer(delay=5))
    started = time.monotonic()
    with pytest.raises(openai.APIStatusError) as caught:
        chat(proxy.url + "/v1")
    assert caught.value.status_code == 504
    assert time.monotonic() - started < 3
    # the next request has its own time: a quick answer is not affected
    assert chat(proxy.url + "/v1").choices[0].message.content.startswith("answer")


@pytest.mark.parametrize("stream", [False, True])
def test_a_client_that_goes_away_cancels_the_upstream_request(upstream, start_proxy, stream):
    proxy, _ = start_proxy(100_000)
    if stream:
        pieces = [f'data: {{"n": {n}}}\n\n'.encode() for n in range(400)]
        upstream.push(Answer(pieces=pieces, pause=0.025))
        with httpx.stream("POST", proxy.url + "/v1/chat/completions", json={
                "model": "m", "stream": True, "messages": TALK[:1]}) as answer:
            next(answer.iter_raw())
    else:
        upstream.push(Answer(delay=10))
        with pytest.raises(openai.APITimeoutError):
            chat(proxy.url + "/v1", timeout=0.5)
    deadline = time.monotonic() + 5
    while not upstream.gone and time.monotonic() < deadline:
        time.sleep(0.05)
    assert upstream.gone == ["/chat/completions"]
    assert upstream.streams_done == 0


def test_the_upstream_is_fixed_by_configuration(upstream, start_proxy):
    """A request that names another server, in its target or its Host header, still goes
    to the configured upstream and nowhere else."""
    other = Upstream()
    try:
        proxy, _ = start_proxy(100_000)
        body = json.dumps({"model": "m", "messages": TALK[:1]}).encode()
        host = f"127.0.0.1:{other.server.port}"
        statuses = []
        for target in (f"http://{host}/v1/chat/completions", "/v1/chat/completions"):
            with socket.create_connection(("127.0.0.1", proxy.port)) as sock:
                sock.sendall(f"POST {target} HTTP/1.1\r\nHost: {host}\r\nContent-Type: "
                             f"application/json\r\nContent-Length: {len(body)}\r\n"
                             f"Connection: close\r\n\r\n".encode() + body)
                reply = b""
                while chunk := sock.recv(65536):
                    reply += chunk
            # a target naming a server is refused, or goes to the upstream like any other
            status = reply.split(b" ", 2)[1]
            assert status == b"200" or (status == b"404" and target.startswith("http"))
            statuses.append(status)
        assert other.requests == []
        assert [r.raw for r in upstream.requests] == [body] * statuses.count(b"200")
        assert all(r.headers["host"] == f"127.0.0.1:{upstream.server.port}"
                   for r in upstream.requests)
    finally:
        other.close()


def test_other_paths_pass_through(upstream, start_proxy):
    proxy, _ = start_proxy(100)
    client = openai.OpenAI(base_url=proxy.url + "/v1", api_key="sk-x", max_retries=0)
    assert [m.id for m in client.models.list()] == ["loopback"]
    raw = json.dumps({"model": "e", "input": "x " * 4000}).encode()
    httpx.post(proxy.url + "/v1/embeddings?dimensions=3", content=raw)
    assert upstream.requests[-1].raw == raw and upstream.requests[-1].path == "/embeddings"
    outside = httpx.get(proxy.url + "/health")
    assert outside.status_code == 404 and "error" in outside.json()
    assert len(upstream.requests) == 2


@pytest.mark.parametrize("status", [401, 500, 200])
def test_summarizer_failure_never_fails_the_request(upstream, start_proxy, caplog, status):
    """A summary request the upstream refuses gives a fallback summary, logged; the
    user's request goes on, condensed within budget."""
    upstream.summary_status = status
    if status == 200:  # an answer that is no summary: the upstream sends no text
        upstream.push(Answer(body={"choices": []}))
    proxy, _ = start_proxy(300, keep_last=2, keep_first=False)
    with caplog.at_level(logging.WARNING):
        client = openai.OpenAI(base_url=proxy.url + "/v1", api_key="sk-x", max_retries=0)
        raw = client.chat.completions.with_raw_response.create(model="m", messages=TALK)
    assert raw.parse().choices[0].message.content.startswith("answer")
    before, after = map(int, raw.headers["x-morvex-condensed"].split("/"))
    assert after <= 300 < before
    sent = upstream.calls[-1].body["messages"]
    assert sent[0]["content"].startswith("## Conversation History Summary")
    assert "message 0" in sent[0]["content"]  # the fallback keeps the first request
    assert any("the summarizer failed" in r.getMessage() for r in caplog.records)


@pytest.mark.parametrize("option, expected", [
    ({}, "m"), ({"summarizer_model": "cheap-model"}, "cheap-model")])
def test_summaries_come_from_the_upstream_model(upstream, start_proxy, option, expected):
    proxy, _ = start_proxy(300, keep_last=2, **option)
    chat(proxy.url + "/v1")
    assert [s.body["model"] for s in upstream.summaries] == [expected]
    assert upstream.summaries[0].headers["authorization"] == "Bearer sk-x"


def test_extractive_summarizer_makes_no_model_call(upstream, start_proxy):
    from morvex_summarize.clients.extractive import ExtractiveClient

    proxy, _ = start_proxy(300, keep_last=2, keep_first=False, summarizer=ExtractiveClient())
    chat(proxy.url + "/v1")
    assert upstream.summaries == [] and len(upstream.calls) == 1
    assert upstream.calls[0].body["messages"][0]["content"].startswith(
        "## Conversation History Summary")
