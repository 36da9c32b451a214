"""Clearing in the proxy: its own strategy, and a Messages request's own context edits (the
Anthropic API's context_management) carried out in front of an upstream that is not
Anthropic's, through the anthropic SDK: the field never reaches the upstream, and the
answer reports what was cleared as the platform does. Without the flag the field goes on
untouched."""

import json

import httpx
import pytest

anthropic = pytest.importorskip("anthropic")

from agent_loop import AGENTS, sdk_client  # noqa: E402
from loopback import Answer, unpaired  # noqa: E402

from morvex_summarize.condense.clearing import PLACEHOLDER, is_placeholder  # noqa: E402

OUTPUT = "".join(f"build line {n}: compiled\n" for n in range(80)) + "ok"
EDITS = {"edits": [
    {"type": "clear_thinking_20251015", "keep": {"type": "thinking_turns", "value": 2}},
    {"type": "clear_tool_uses_20250919", "trigger": {"type": "input_tokens", "value": 2000}},
]}


def messages(uses=6, output=OUTPUT):
    """A tool loop of ``uses`` rounds, each assistant turn thinking first."""
    out = [{"role": "user", "content": "Build the service."}]
    for n in range(uses):
        out.append({"role": "assistant", "content": [
            {"type": "thinking", "thinking": f"Step {n} next.", "signature": "c2ln"},
            {"type": "tool_use", "id": f"toolu_{n}", "name": "bash",
             "input": {"command": f"make step{n}"}}]})
        out.append({"role": "user", "content": [
            {"type": "tool_result", "tool_use_id": f"toolu_{n}", "content": output}]})
    return out


def sent(upstream):
    """(the results the upstream was sent as placeholders, the thinking blocks it got)."""
    body = upstream.calls[-1].body
    blocks = [b for m in body["messages"] if isinstance(m["content"], list)
              for b in m["content"]]
    return ([b["tool_use_id"] for b in blocks if b["type"] == "tool_result"
             and is_placeholder(b["content"])], sum(b["type"] == "thinking" for b in blocks))


@pytest.mark.parametrize("repeat", [1, 120])  # a body of 2 MB is read in a process of its own
def test_the_sdk_gets_applied_edits_from_a_plain_upstream(upstream, start_proxy, repeat):
    proxy, _ = start_proxy(10**7, upstream_format="anthropic", carry_out_edits=True)
    client = anthropic.Anthropic(base_url=proxy.url, api_key="sk-loopback-key")
    raw = client.beta.messages.with_raw_response.create(
        model="claude-x", max_tokens=100, messages=messages(output=OUTPUT * repeat),
        context_management=EDITS, betas=["context-management-2025-06-27"])
    answer = raw.parse()
    thinking, tools = answer.context_management.applied_edits
    assert (thinking.type, thinking.cleared_thinking_turns) == ("clear_thinking_20251015", 4)
    assert (tools.type, tools.cleared_tool_uses) == ("clear_tool_uses_20250919", 3)
    assert tools.cleared_input_tokens > 3 * 400 * repeat and thinking.cleared_input_tokens > 0
    assert json.loads(raw.headers["x-morvex-applied-edits"]) == \
        [e.model_dump() for e in answer.context_management.applied_edits]
    assert answer.content[0].text == "answer to Build the service."
    assert "context_management" not in upstream.calls[-1].body
    assert sent(upstream) == (["toolu_0", "toolu_1", "toolu_2"], 2)


def test_a_streamed_answer_is_relayed_with_the_edits_in_a_header(upstream, start_proxy):
    proxy, _ = start_proxy(100_000, upstream_format="anthropic", carry_out_edits=True)
    pieces = [b'event: message_start\ndata: {"type": "message_start"}\n\n',
              b'event: message_stop\ndata: {"type": "message_stop"}\n\n']
    upstream.push(Answer(pieces=pieces))
    body = {"model": "claude-x", "max_tokens": 100, "stream": True, "messages": messages(),
            "context_management": {"edits": [{"type": "clear_tool_uses_20250919",
                                              "trigger": {"type": "tool_uses", "value": 5}}]}}
    answer = httpx.post(proxy.url + "/v1/messages", json=body, timeout=30)
    assert answer.status_code == 200 and answer.content == b"".join(pieces)
    (applied,) = json.loads(answer.headers["x-morvex-applied-edits"])
    assert applied["cleared_tool_uses"] == 3 and sent(upstream)[0] == ["toolu_0", "toolu_1",
                                                                       "toolu_2"]


def test_without_the_flag_the_field_goes_on_untouched(upstream, start_proxy):
    proxy, _ = start_proxy(100_000, upstream_format="anthropic")
    body = {"model": "claude-x", "max_tokens": 100, "messages": messages(),
            "context_management": EDITS}
    raw = json.dumps(body).encode()
    answer = httpx.post(proxy.url + "/v1/messages", content=raw, timeout=30)
    assert answer.status_code == 200 and "x-morvex-applied-edits" not in answer.headers
    assert upstream.calls[-1].raw == raw and "context_management" not in answer.json()


@pytest.mark.parametrize("management", [{"edits": [{"type": "compact_20260112"}]},
                                        {"edits": "clear"}])
def test_edits_that_cannot_be_carried_out_are_refused_as_the_api_would(upstream, start_proxy,
                                                                       management):
    proxy, _ = start_proxy(100_000, upstream_format="anthropic", carry_out_edits=True)
    client = anthropic.Anthropic(base_url=proxy.url, api_key="sk-loopback-key", max_retries=0)
    with pytest.raises(anthropic.BadRequestError, match="context_management"):
        client.beta.messages.create(model="claude-x", max_tokens=100, messages=messages(),
                                    context_management=management)
    assert upstream.calls == []


@pytest.mark.parametrize("path", ["/chat/completions", "/responses", "/messages"])
def test_the_proxy_clears_with_its_own_strategy(upstream, start_proxy, path):
    """serve --strategy clear-tool-results: old results go as placeholders, each beside
    its call, and no summary is asked for."""
    api = "anthropic" if path == "/messages" else "openai"
    proxy, _ = start_proxy(1500, upstream_format=api, strategy="clear-tool-results")
    AGENTS[path](sdk_client(path, proxy.url + "/v1"), 12)
    calls = upstream.calls
    assert upstream.summaries == [] and all(unpaired(path, c.body) == [] for c in calls)
    cleared = [c.raw.decode().count(PLACEHOLDER) for c in calls]
    assert cleared[0] == 0 and max(cleared) >= 5 and cleared == sorted(cleared)
