"""The LangChain agent middleware inside a real create_agent run with a scripted chat model."""

import asyncio

import pytest

pytest.importorskip("langchain.agents")

from langchain_core.messages import AIMessage, HumanMessage, RemoveMessage, ToolMessage  # noqa: E402
from langgraph.graph.message import REMOVE_ALL_MESSAGES  # noqa: E402

import agent_support  # noqa: E402
from morvex_summarize.clients.extractive import PREVIOUS_HEADING, ExtractiveClient  # noqa: E402
from morvex_summarize.condense.clearing import is_placeholder  # noqa: E402
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


@pytest.mark.parametrize("strategy", ["clear-tool-results", "hybrid"])
def test_a_clearing_strategy_rewrites_old_results_under_their_ids(baseline, strategy):
    """The agent's old tool results become placeholders in its state, each message still
    under its id and beside its call, and the answers (which quote the newest result) do
    not change."""
    middleware = CondensingMiddleware(max_tokens=1200, strategy=strategy)
    run = asyncio.run(agent_support.run_langchain(middleware))
    assert run.answers == baseline.answers
    assert all(call.unpaired == [] for call in run.calls)
    results = [m for m in run.stored if isinstance(m, ToolMessage)]
    assert any(is_placeholder(m.content) for m in results)
    assert not any(is_placeholder(m.content) for m in results[-3:])
    assert len({m.id for m in run.stored}) == len(run.stored)
    if strategy == "clear-tool-results":  # nothing summarized: every message is there
        assert [(m.type, getattr(m, "tool_call_id", None)) for m in run.stored] == \
            [(m.type, getattr(m, "tool_call_id", None)) for m in baseline.stored]


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


# ---- triggers, keep, counting and the summary's marker ----------------------------------

from langchain_core.messages.utils import count_tokens_approximately  # noqa: E402

from morvex_summarize.integrations import Settings  # noqa: E402
from morvex_summarize.integrations.langchain import SUMMARY_MARKER  # noqa: E402


def _profiled(max_input_tokens):
    model = agent_support.langchain_model([])
    model.profile = {"max_input_tokens": max_input_tokens}
    return model


# (trigger, the model whose profile fractions are of, the token and message thresholds)
TRIGGERS = [
    (("tokens", 1200), None, 1200, None),
    (("messages", 14), None, None, 14),
    (("fraction", 0.3), 4000, 1200, None),
    ([("tokens", 100_000), ("messages", 14)], None, 100_000, 14),
    ([("fraction", 0.9), ("tokens", 1200)], 100_000, 1200, None),
]


@pytest.mark.parametrize("trigger, profile, tokens, messages", TRIGGERS)
def test_each_trigger_kind_in_a_create_agent_run(baseline, trigger, profile, tokens, messages):
    """Each model call's state stays below every threshold (a threshold is reached at its
    amount), the answers are the baseline's, and the summary message carries the marker."""
    model = _profiled(profile) if profile else None
    middleware = CondensingMiddleware(trigger=trigger, model=model, keep_last=4)
    run = asyncio.run(agent_support.run_langchain(middleware))
    assert run.answers == baseline.answers
    counter = middleware.counting()
    sizes = [(counter.count_tokens(seen[1:], "langchain"), len(seen) - 1)
             for seen in run.extra["seen"]]
    if tokens is not None:
        assert max(t for t, _ in sizes) < tokens
    if messages is not None:
        assert max(n for _, n in sizes) < messages
    assert all(call.unpaired == [] for call in run.calls)
    summary = run.stored[0]
    assert summary.id == run.extra["state"][STATE_KEY]["message_id"]
    assert {k: summary.additional_kwargs.get(k) for k in SUMMARY_MARKER} == dict(SUMMARY_MARKER)


@pytest.mark.parametrize("keep, limit, kept_tokens, kept_messages", [
    (("messages", 4), None, None, 4),
    (("tokens", 300), None, 300, None),
    (("fraction", 0.1), 3000, 300, None),
])
def test_keep_by_messages_tokens_or_fraction(keep, limit, kept_tokens, kept_messages):
    middleware = CondensingMiddleware(trigger=("tokens", 700), keep=keep,
                                      max_input_tokens=limit)
    messages = _rounds(0, 8)
    update = asyncio.run(middleware.abefore_model({"messages": messages}, None))
    _, summary, *kept = update["messages"]
    assert kept and [m.id for m in kept] == [m.id for m in messages[-len(kept):]]
    counter = middleware.counting()
    if kept_messages is not None:
        assert len(kept) >= kept_messages
    if kept_tokens is not None:
        assert counter.count_tokens(kept, "langchain") <= kept_tokens
        # As few as bring the rest within: one more round would not fit.
        assert counter.count_tokens(messages[-len(kept) - 3:], "langchain") > kept_tokens
    assert counter.count_tokens([summary, *kept], "langchain") < 700


@pytest.mark.parametrize("kind", ["tokens", "messages"])
@pytest.mark.parametrize("offset, summarized", [(-1, True), (0, True), (1, False)])
def test_a_trigger_is_reached_at_its_amount(kind, offset, summarized):
    """Inclusive: messages counting exactly the threshold are summarized."""
    messages = _rounds(0, 5)
    count = len(messages) if kind == "messages" else \
        CondensingMiddleware(max_tokens=10).counting().count_tokens(messages, "langchain")
    middleware = CondensingMiddleware(trigger=(kind, count + offset), keep_last=3)
    update = asyncio.run(middleware.abefore_model({"messages": messages}, None))
    assert (update is not None) == summarized


@pytest.mark.parametrize("offset, summarized", [(-1, True), (0, False)])
def test_a_budget_is_exceeded_past_its_amount(offset, summarized):
    """max_tokens is a budget the messages may fill: summarized only past it."""
    messages = _rounds(0, 5)
    count = CondensingMiddleware(max_tokens=10).counting().count_tokens(messages, "langchain")
    middleware = CondensingMiddleware(max_tokens=count + offset, keep_last=3)
    update = asyncio.run(middleware.abefore_model({"messages": messages}, None))
    assert (update is not None) == summarized


def _with_usage(where, total):
    messages = _rounds(0, 3)
    usage = {"input_tokens": total - 50, "output_tokens": 50, "total_tokens": total}
    replies = [AIMessage("first answer", id="r1"), HumanMessage("and then?", id="h-next"),
               AIMessage("second answer", id="r2")]
    if where == "newest":
        replies[2].usage_metadata = usage
    elif where == "older":
        replies[0].usage_metadata = usage
    return messages + replies


@pytest.mark.parametrize("where, use, summarized", [
    ("newest", True, True),      # the provider counted more than the threshold
    ("newest", False, False),    # turned off: the counter's count is below it
    ("older", True, False),      # only the newest reply's usage counts
    (None, True, False),
])
def test_the_newest_replys_reported_usage_is_the_count(where, use, summarized):
    messages = _with_usage(where, total=8_000)
    middleware = CondensingMiddleware(trigger=("tokens", 5000), keep_last=2,
                                      use_usage_metadata=use)
    assert middleware.counting().count_tokens(messages, "langchain") < 5000
    update = asyncio.run(middleware.abefore_model({"messages": messages}, None))
    assert (update is not None) == summarized
    if summarized:  # the scaled count of what was kept, with the summary, is below it
        assert middleware.last_state.within_budget
        scaled = middleware.counting(messages)
        assert scaled.count_tokens(update["messages"][1:], "langchain") < 5000


def test_count_tokens_approximately_budget_holds_on_every_call(baseline):
    middleware = CondensingMiddleware(trigger=("tokens", 1200), keep_last=4,
                                      token_counter=count_tokens_approximately)
    run = asyncio.run(agent_support.run_langchain(middleware))
    assert run.answers == baseline.answers
    counts = [count_tokens_approximately(seen[1:]) for seen in run.extra["seen"]]
    assert max(counts) < 1200
    assert max(count_tokens_approximately(seen[1:]) for seen in baseline.extra["seen"]) > 1200


class LoopRecording(Recording):
    def __init__(self):
        super().__init__()
        self.where = []

    async def complete(self, messages, max_tokens):
        import threading
        self.where.append((threading.get_ident(), id(asyncio.get_running_loop())))
        return await super().complete(messages, max_tokens)


def test_sync_calls_share_one_event_loop():
    """Called without a loop and from inside a running one, the synchronous hook runs the
    summarizer on the same loop and thread every time; close() ends that thread."""
    import threading

    client = LoopRecording()
    middleware = CondensingMiddleware(client, max_tokens=600, keep_last=3)
    before = threading.active_count()
    for n in range(3):
        assert middleware.before_model({"messages": _rounds(10 * n, 6)}, None) is not None

    async def inside_a_loop():
        return middleware.before_model({"messages": _rounds(100, 6)}, None)

    assert asyncio.run(inside_a_loop()) is not None
    assert len(client.where) == 4 and len(set(client.where)) == 1
    assert client.where[0][0] != threading.get_ident()
    assert threading.active_count() == before + 1
    middleware.close()
    assert threading.active_count() == before


@pytest.mark.parametrize("kwargs, error", [
    ({"trigger": ("fraction", 0.5)}, "input limit"),
    ({"trigger": ("fraction", 1.5), "max_input_tokens": 1000}, "fraction"),
    ({"trigger": ("words", 10)}, "kind"),
    ({"trigger": ("tokens", 0)}, "at least 1"),
    ({"trigger": ("messages", 10), "keep": ("tokens", 100)}, "token budget"),
    ({"trigger": ("tokens", 100), "keep": ("tokens", 500)}, "more than the budget"),
])
def test_settings_that_cannot_work_are_refused(kwargs, error):
    with pytest.raises(ValueError, match=error):
        CondensingMiddleware(**kwargs)


@pytest.mark.parametrize("settings, trigger, keep, expected", [
    (Settings(max_tokens=5000, keep_last=3), ("messages", 10), None,
     {"max_tokens": 5000, "max_messages": 9, "keep_last": 3}),
    (Settings(max_tokens=5000), ("tokens", 800), ("tokens", 300),
     {"max_tokens": 799, "target_tokens": 300, "keep_last": 1}),
    (Settings(max_messages=40, context_role="system"), [("messages", 30), ("tokens", 900)],
     ("messages", 5), {"max_messages": 29, "max_tokens": 899, "keep_last": 5,
                       "context_role": "system"}),
])
def test_trigger_and_keep_apply_on_top_of_shared_settings(settings, trigger, keep, expected):
    middleware = CondensingMiddleware(settings=settings, trigger=trigger, keep=keep)
    assert {k: getattr(middleware.settings, k) for k in expected} == expected
    condenser = middleware.condenser
    assert (condenser.max_tokens, condenser.max_messages, condenser.keep_last) == (
        middleware.settings.max_tokens, middleware.settings.max_messages,
        middleware.settings.keep_last)
    with pytest.raises(TypeError, match="not both"):
        CondensingMiddleware(settings=settings, max_tokens=10)
