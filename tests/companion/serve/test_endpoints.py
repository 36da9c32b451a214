"""What each API's endpoint does for the proxy: a Responses request whose history the
upstream holds is left alone wherever its body is condensed."""

import json

import httpx
import pytest


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
