"""The LangChain agent middleware inside a real create_agent run with a scripted chat model."""

import asyncio

import pytest

pytest.importorskip("langchain.agents")

from langchain_core.messages import AIMessage, HumanMessage, RemoveMessage, ToolMessage  # noqa: E402
from langgraph.graph.message import REMOVE_ALL_MESSAGES  # noqa: E402

import agent_support  # noqa: E402
from morvex_summarize.clients.extractive import PREVIOUS_HEADING, ExtractiveClient  # noqa: E402
from morvex_summarize.langchain_middleware import STATE_KEY, CondensingMiddleware  # noqa: E402


@pytest.fixture(scope="module")
def baseline():
    return asyncio.run(agent_support.run_langchain())


@pytest.mark.parametrize("budget, sync", [
    ({"max_tokens": 1200}, False),
    ({"max_tokens": 1200}, True),
    ({"max_messages": 12, "keep_last": 4}, False),
])
def test_agent_sees_a_condensed_history_and_answers_the_same(baseline, budget, sync):
    middleware = CondensingMiddleware(**budget)
    run = asyncio.run(agent_support.run_langchain(middleware, sync=sync))
    assert run.answers == baseline.answers
    assert len(run.calls) == len(baseline.calls)
    counter = middleware.condenser
    for call, seen in zip(run.calls, run.extra["seen"]):
        assert call.unpaired == []
        state = seen[1:]  # after the agent's system prompt
        assert counter.within_budget(counter.count_tokens(state, "langchain"), len(state))
    assert max(c.tokens for c in run.calls) < max(c.tokens for c in baseline.calls)
    # Every message the agent produced is kept or went into exactly one summary.
    kept = run.extra["state"][STATE_KEY]
    final = run.stored
    assert final[0].id == kept["message_id"] and kept["text"] in final[0].content
    assert kept["total_summarized"] + len(final) - 1 == len(baseline.stored)
    assert [_key(m) for m in final[1:]] == [_key(m) for m in baseline.stored[1 - len(final):]]


def _key(message):  # ids differ from run to run
    return (message.type, message.content, getattr(message, "tool_call_id", None),
            [c["id"] for c in getattr(message, "tool_calls", ())])


class Recording:
    def __init__(self):
        self.inner, self.requests = ExtractiveClient(), []

    async def complete(self, messages, max_tokens):
        self.requests.append(messages)
        return await self.inner.complete(messages, max_tokens)


def _rounds(start, count):
    out = []
    for n in range(start, start + count):
        out += [HumanMessage(f"request {n}: " + "details " * 30, id=f"h{n}"),
                AIMessage("", tool_calls=[{"name": "look", "args": {"n": n}, "id": f"c{n}"}],
                          id=f"a{n}"),
                ToolMessage("result " * 40, tool_call_id=f"c{n}", id=f"t{n}")]
    return out


def test_state_update_replaces_all_messages_and_chains_the_summaries():
    """The update removes every message and re-adds the kept ones under their ids behind
    the summary; the next round hands the summarizer the last summary to build on and
    replaces the summary message instead of summarizing it."""
    client = Recording()
    middleware = CondensingMiddleware(client, max_tokens=600, keep_last=3)
    messages = _rounds(0, 6)
    update = asyncio.run(middleware.abefore_model({"messages": messages}, None))
    remove, summary, *kept = update["messages"]
    assert isinstance(remove, RemoveMessage) and remove.id == REMOVE_ALL_MESSAGES
    assert [m.id for m in kept] == [m.id for m in messages[-len(kept):]]
    assert update[STATE_KEY]["message_id"] == summary.id
    assert PREVIOUS_HEADING not in client.requests[0][0]["content"]

    state = {"messages": [summary, *kept, *_rounds(6, 6)], STATE_KEY: update[STATE_KEY]}
    second = asyncio.run(middleware.abefore_model(state, None))
    _, new_summary, *_ = second["messages"]
    assert PREVIOUS_HEADING in client.requests[1][0]["content"]
    assert summary not in middleware.last_state.summarized_messages
    assert second[STATE_KEY]["total_summarized"] == \
        update[STATE_KEY]["total_summarized"] + middleware.last_state.summarized
    assert new_summary.id != summary.id


def test_within_budget_leaves_the_state_alone():
    middleware = CondensingMiddleware(max_tokens=100_000)
    assert asyncio.run(middleware.abefore_model({"messages": _rounds(0, 3)}, None)) is None
