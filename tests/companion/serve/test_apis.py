"""A tool-using agent on the plain SDK of each API, through the proxy: every call the
upstream sees is within budget, valid for the SDK's request types (checked by the
upstream), with each tool call beside its output, and the summaries are reused."""

import pytest

from agent_loop import AGENTS, request, sdk_client
from loopback import unpaired

BUDGET = 1000


@pytest.mark.parametrize("path", ["/chat/completions", "/responses", "/messages"])
def test_agent_loop_through_the_proxy(upstream, start_proxy, path):
    api = "anthropic" if path == "/messages" else "openai"
    proxy, _ = start_proxy(BUDGET, upstream_format=api, target=BUDGET // 2)
    seen = []
    history = AGENTS[path](sdk_client(path, proxy.url + "/v1"), 16,
                           lambda raw: seen.append(raw.headers["x-morvex-condensed"]))
    calls = upstream.calls
    assert len(calls) == len(seen) and all(c.path == path for c in calls)
    before = [int(s.split("/")[0]) for s in seen]
    after = [int(s.split("/")[1]) for s in seen]
    assert max(before) > 1.5 * BUDGET and max(after) <= BUDGET
    for call in calls:
        assert unpaired(path, call.body) == []
    over = sum(1 for b in before if b > BUDGET)
    # the tool definitions count against the budget, which leaves the history less room
    assert 1 <= len(upstream.summaries) <= over / 3
    assert all(s.path == path for s in upstream.summaries)
    # the first request is in every condensed call, in the summary's goals
    last = calls[-1].raw.decode()
    assert "## Conversation History Summary" in last
    assert request(0).split(" Turn")[0] in last
    # the agent's own history is what the SDK built: nothing of the proxy in it
    assert "Conversation History Summary" not in str(history)


@pytest.mark.parametrize("path", ["/responses", "/messages"])
def test_under_budget_goes_byte_for_byte(upstream, start_proxy, path):
    api = "anthropic" if path == "/messages" else "openai"
    proxy, _ = start_proxy(100_000, upstream_format=api)
    AGENTS[path](sdk_client(path, upstream.url), 2)
    direct = [r.raw for r in upstream.requests]
    AGENTS[path](sdk_client(path, proxy.url + "/v1"), 2)
    assert [r.raw for r in upstream.requests[len(direct):]] == direct
