"""The Agents SDK session in real Runner.run turns with a scripted model, and what it
stores underneath."""

import asyncio

import pytest

pytest.importorskip("agents")

from agents import SQLiteSession  # noqa: E402

import agent_support  # noqa: E402
from morvex_summarize.agents_session import CondensingSession  # noqa: E402
from morvex_summarize.condense.clearing import is_placeholder  # noqa: E402
from morvex_summarize.formats import CONTEXT_HEADER  # noqa: E402


@pytest.fixture(scope="module")
def baseline():
    return asyncio.run(agent_support.run_agents())


@pytest.mark.parametrize("budget, within_runs", [
    ({"max_tokens": 1200}, True),
    ({"max_tokens": 1200}, False),
    ({"max_messages": 14, "keep_last": 4}, True),
])
def test_runner_sees_a_condensed_history_and_storage_is_untouched(baseline, budget,
                                                                  within_runs):
    sessions = []

    def wrap(stored):
        sessions.append(CondensingSession(stored, **budget))
        return sessions[-1]

    run = asyncio.run(agent_support.run_agents(wrap, within_runs=within_runs))
    session = sessions[0]
    assert run.answers == baseline.answers
    assert run.stored == baseline.stored
    assert all(call.unpaired == [] for call in run.calls)
    counter = session.condenser
    over = [n for n, seen in enumerate(run.extra["seen"])
            if not counter.within_budget(counter.count_tokens(seen, "responses"), len(seen))]
    if within_runs:
        assert over == []
    else:  # the history is condensed once per run: the first call of each run is in budget
        starts = [n for n, seen in enumerate(run.extra["seen"])
                  if seen[-1].get("role") == "user"]
        assert over and not set(over) & set(starts)
    # The view: one summary message, then stored items; the summary stands for the rest.
    view = asyncio.run(session.get_items())
    summarized = asyncio.run(session.summarized_items())
    assert _text(view[0]).startswith(CONTEXT_HEADER)
    assert summarized == run.stored[:len(summarized)]
    assert view[1:] == run.stored[len(summarized):]


def test_a_clearing_strategy_clears_the_view_not_the_stored_items(baseline):
    sessions = []

    def wrap(stored):
        sessions.append(CondensingSession(stored, max_tokens=1200,
                                          strategy="clear-tool-results"))
        return sessions[-1]

    run = asyncio.run(agent_support.run_agents(wrap))
    assert run.answers == baseline.answers and run.stored == baseline.stored
    assert all(call.unpaired == [] for call in run.calls)
    view = asyncio.run(sessions[0].get_items())
    outputs = [i["output"] for i in view if i.get("type") == "function_call_output"]
    assert len(view) == len(run.stored) and any(map(is_placeholder, outputs))
    assert not any(map(is_placeholder, outputs[-3:]))
    assert [i for i in view if i.get("type") != "function_call_output"] == \
        [i for i in run.stored if i.get("type") != "function_call_output"]


def _text(item):
    content = item["content"]
    return content if isinstance(content, str) else content[0]["text"]


def _items(start, count):
    out = []
    for n in range(start, start + count):
        out += [{"role": "user", "content": f"request {n}: " + "details " * 40},
                {"type": "function_call", "call_id": f"c{n}", "name": "look",
                 "arguments": '{"n": %d}' % n},
                {"type": "function_call_output", "call_id": f"c{n}",
                 "output": "result " * 60}]
    return out


def test_view_follows_the_stored_items():
    """Appends extend the view and build on its summary; a limited read is the stored tail;
    popping a kept item keeps the summary; a history changed underneath, or cleared, is
    condensed anew."""
    async def scenario():
        stored = SQLiteSession("s")
        session = CondensingSession(stored, max_tokens=900, keep_last=3)
        await session.add_items(_items(0, 6))
        first = await session.get_items()
        summarized = await session.summarized_items()
        assert summarized and len(first) < 18
        assert await session.get_items(2) == (await stored.get_items())[-2:]

        await session.add_items(_items(6, 4))
        second = await session.get_items()
        assert session.state.total_summarized > len(summarized)
        assert (await session.summarized_items())[:len(summarized)] == summarized
        assert second[-3:] == (await stored.get_items())[-3:]

        popped = await session.pop_item()
        assert popped == second[-1]
        assert await session.get_items() == second[:-1]  # the same summary, one item less
        assert session.state.summarized == 0 and session.summary is not None
        assert await session.summarized_items() != []

        await stored.clear_session()
        await stored.add_items(_items(20, 2))
        assert await session.get_items() == await stored.get_items()
        assert await session.summarized_items() == []

        await session.clear_session()
        assert await session.get_items() == [] and session.summary is None

    asyncio.run(scenario())
