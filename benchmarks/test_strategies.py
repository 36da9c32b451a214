"""What the strategies benchmark counts: a grown run's prompts, the summary requests the
loopback server is sent, and the shapes of the synthetic sessions.

    python -m pytest benchmarks/test_strategies.py
"""
import asyncio

import pytest

from benchmarks import strategies as st
from benchmarks.sessions import make_session, marker_pattern
from benchmarks.traps import make_trap_session


def _run():
    roles = "system user assistant tool assistant user user assistant".split()
    return [{"role": role, "content": f"{role} {i}"} for i, role in enumerate(roles)]


async def _drop_first(doc, state):
    return (doc[1:] if len(doc) > 3 else doc), state


@pytest.mark.parametrize("condense, prompts, final", [
    # nothing condensed: each prompt is everything before the reply
    (st.unchanged, [2, 4, 7], 8),
    # the condensed list is what the next request starts from, not the original run
    (_drop_first, [2, 3, 5], 5),
], ids=["unchanged", "fed back"])
def test_a_prompt_per_reply_from_the_list_condensed_so_far(condense, prompts, final):
    grown = asyncio.run(st.grow(_run(), condense, len))
    assert grown.prompts == prompts
    assert len(grown.final) == final
    assert grown.over(3) == sum(p > 3 for p in prompts)


def test_the_loopback_server_counts_what_the_summarizer_sends():
    session = make_session(11, 0)
    messages = session.messages[:60]

    async def summarize(client):
        condenser = st.make_condenser(client, 1500, "summarize")
        result, state = await condenser.condense(messages)
        await st.close_client(client)
        return state.summary_text

    local = st.CountingClient()
    offline_text = asyncio.run(summarize(local))
    with st.Loopback() as loopback:
        wire_text = asyncio.run(summarize(st.OpenAIClient("m", base_url=loopback.url,
                                                          api_key="k")))
        sent = loopback.take()
        assert loopback.take() == st.Sent()
    assert local.sent.calls >= 1
    assert sent == local.sent
    assert wire_text == offline_text


@pytest.mark.parametrize("shape", st.SHAPES)
@pytest.mark.parametrize("index", range(3))
def test_a_shape_keeps_every_planted_fact_and_its_own_parts(shape, index):
    session = make_session(11, index)
    messages = st.shaped(session, shape)
    assert st.retained(session, messages) == list(session.facts)
    replies = [m for m in messages if st.is_reply(m)]
    assert len(replies) == sum(st.is_reply(m) for m in session.messages)
    if shape == "chat":
        assert not any(m.get("tool_calls") or m["role"] == "tool" for m in messages)
    if shape == "thinking":
        assert all(m["content"][0]["type"] == "thinking" for m in replies)
        assert not any(marker_pattern(f.marker).search(block["thinking"])
                       for m in replies for block in m["content"][:1] for f in session.facts)


def _judged(**figures):
    base = {"false_blockers": 0, "end_ok": 12, "changed_recall": 94.0, "goal": 13}
    return {**base, **figures}


@pytest.mark.parametrize("hybrid, verdict", [
    (_judged(), "figures are no worse."),
    (_judged(false_blockers=2), "worse on false blockers (2 against 0)."),
    (_judged(end_ok=11), "worse on end status right (11 against 12)."),
    (_judged(end_ok=13, changed_recall=90.0),
     "worse on changed recall (90.0 against 94.0), better on end status right (13 against 12)."),
], ids=["same", "more false blockers", "fewer right", "mixed"])
def test_the_claim_reads_each_judge_figure_the_right_way_round(hybrid, verdict):
    def figures(judged, prompts, summary):
        return st.Figures(prompt_tokens=prompts, summary=st.Sent(10, summary), judged=judged)

    results = st.Results(
        [4000], 1, 1, 0, {}, {},
        {("summarize", 4000): figures(_judged(), 0, 0), ("hybrid", 4000): figures(hybrid, 0, 0)},
        {("summarize", 4000): figures({}, 900, 100), ("hybrid", 4000): figures({}, 850, 50)},
        1, 0.0)
    line, = st.claim(results)
    assert "900 tokens against summarize's 1,000 (-10%)" in line
    assert line.endswith(verdict)


def test_goal_traps_count_only_where_a_summary_was_made():
    session = make_trap_session(11, 0)
    whole, condensed = (asyncio.run(st.measure_truth([session], st.STRATEGIES["summarize"], b))
                        for b in (10**6, 1500))
    assert condensed.planted == len(session.traps)
    assert whole.planted == len(session.traps) - len(st.GOAL_TRAPS & {t.kind for t in session.traps})
