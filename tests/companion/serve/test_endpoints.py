"""What each API's endpoint does for the proxy: the summary request it puts to the
upstream's model and the reply it reads, and a Responses request whose history the
upstream holds, left alone wherever its body is condensed."""

import json

import httpx
import pytest

from loopback import Answer

TALK = [{"role": "user" if n % 2 == 0 else "assistant", "content": f"message {n} " * 40}
        for n in range(9)]
FORMATS = {"/chat/completions": "openai", "/responses": "openai", "/messages": "anthropic"}
WRITTEN = "summarized by the loopback upstream"  # in the summaries the upstream writes
REFUSED = {"error": {"message": "Unsupported parameter: 'max_tokens' is not supported with "
                                "this model. Use 'max_completion_tokens' instead.",
                     "type": "invalid_request_error"}}


def body_for(path, items):
    body = {"model": "m", "input" if path == "/responses" else "messages": items}
    if path == "/messages":
        body["max_tokens"] = 10
    return body


@pytest.mark.parametrize("path", FORMATS)
def test_the_upstream_writes_summaries_in_the_request_s_api(upstream, start_proxy, path):
    """The summary the upstream's model writes is read from its reply in the API's own
    shape; a Chat model that refuses max_tokens is asked again with
    max_completion_tokens, while in the other APIs the refusal gives a fallback summary."""
    proxy, _ = start_proxy(300, upstream_format=FORMATS[path], keep_last=2)
    written = []
    for refused in (False, True):
        if refused:
            upstream.push(Answer(status=400, body=REFUSED))
        talk = [{"role": "user", "content": f"start {refused} " * 40}] + TALK[1:]
        answer = httpx.post(proxy.url + "/v1" + path, json=body_for(path, talk), timeout=30)
        assert answer.status_code == 200
        written.append(WRITTEN in upstream.calls[-1].raw.decode())
    asked = upstream.summaries
    retried = path == "/chat/completions"
    assert written == [True, retried]
    assert len(asked) == 2 + retried and all(r.path == path for r in asked)
    if retried:
        assert "max_tokens" not in asked[2].body
        assert asked[2].body["max_completion_tokens"] == asked[1].body["max_tokens"]


@pytest.mark.parametrize("isolate", [False, True])
def test_a_history_the_upstream_holds_is_not_condensed(upstream, start_proxy, isolate):
    """A request that continues a stored response carries only its newest part: it goes
    on as it came, however far over budget, in a worker thread as in the process that
    large bodies go to."""
    proxy, _ = start_proxy(2000, keep_last=2, isolate=isolate)
    items = [{"role": "user" if n % 2 == 0 else "assistant", "content": f"m{n} " * 40}
             for n in range(9000)]
    raw = json.dumps({"model": "m", "previous_response_id": "resp_1", "input": items}).encode()
    assert len(raw) > 1024 * 1024
    answer = httpx.post(proxy.url + "/v1/responses", content=raw, timeout=120)
    assert answer.status_code == 200
    assert upstream.requests[-1].raw == raw and upstream.summaries == []
