"""Invariants of the retention benchmark's sessions, and of its drop-oldest baseline.

    python -m pytest benchmarks/test_retention_generator.py
"""
import functools
import json
from collections import Counter

import pytest

from benchmarks.retention import drop_oldest
from benchmarks.sessions import (MAX_TURNS, MIN_TURNS, make_session, marker_pattern,
                                 message_text)
from morvex_summarize.condense import estimate_tokens

# The default run's sessions, and a few other seeds.
CASES = [(11, i) for i in range(30)] + [(seed, i) for seed in (0, 1, 7) for i in range(12)]


@functools.lru_cache(maxsize=None)
def session(seed, index):
    return make_session(seed, index)


def test_a_seed_gives_one_session():
    assert make_session(5, 2) == make_session(5, 2)
    assert make_session(5, 2).messages != make_session(6, 2).messages
    assert make_session(5, 2).messages != make_session(5, 3).messages


@pytest.mark.parametrize("seed,index", CASES)
def test_turns_and_tool_results(seed, index):
    s = session(seed, index)
    assert MIN_TURNS <= len(s.turns) <= MAX_TURNS
    assert s.system["role"] == "system"
    ids = []
    for turn in s.turns:
        head, rest = turn[0], turn[1:]
        assert head["role"] in ("user", "assistant") and isinstance(head["content"], str)
        calls = head.get("tool_calls") or []
        assert head["role"] == "assistant" or not calls
        # Each result follows its call, in the same turn, in the order of the calls.
        assert [m["role"] for m in rest] == ["tool"] * len(calls)
        assert [m["tool_call_id"] for m in rest] == [c["id"] for c in calls]
        for call in calls:
            assert isinstance(json.loads(call["function"]["arguments"]), dict)
        ids += [c["id"] for c in calls]
    assert len(ids) == len(set(ids))


@pytest.mark.parametrize("seed,index", CASES)
def test_each_marker_is_where_it_was_planted_and_nowhere_else(seed, index):
    s = session(seed, index)
    messages = s.messages
    texts = [message_text(m) for m in messages]
    assert Counter(f.category for f in s.facts) == {
        "goal": 1, "constraint": 2, "decision": 3, "tool_fact": 5, "blocker": 1,
        "final_state": 1}
    kinds = [f.kind for f in s.facts if f.category == "tool_fact"]
    assert "error" in kinds and len(set(kinds)) == 5
    assert len({f.marker.lower() for f in s.facts}) == 13
    for fact in s.facts:
        pattern = marker_pattern(fact.marker)
        assert fact.marker.strip() == fact.marker and not any(c.isspace() for c in fact.marker)
        assert [i for i, text in enumerate(texts) if pattern.search(text)] == [fact.message]
        message = messages[fact.message]
        assert len(pattern.findall(message["content"])) == 1
        assert any(m is message for m in s.turns[fact.turn])
        expected = {"goal": {"user"}, "constraint": {"user"}, "decision": {"assistant"},
                    "tool_fact": {"tool"}, "blocker": {"user", "assistant"},
                    "final_state": {"assistant"}}[fact.category]
        assert message["role"] in expected, fact


@pytest.mark.parametrize("seed,index", CASES)
def test_facts_sit_where_the_story_needs_them(seed, index):
    s = session(seed, index)
    messages = s.messages
    facts = {f.category: f for f in s.facts}
    users = [i for i, m in enumerate(messages) if m["role"] == "user"]
    assert facts["goal"].message in users[:2]
    assert all(f.turn < 16 for f in s.facts if f.category == "constraint")
    assistants = [i for i, m in enumerate(messages) if m["role"] == "assistant"]
    assert facts["final_state"].message == assistants[-1]
    assert facts["final_state"].turn >= len(s.turns) - 2
    # Everything else comes before the last turns, so the summaries must carry it.
    assert all(f.turn < len(s.turns) - 4 for f in s.facts if f.category != "final_state")
    error = next(f for f in s.facts if f.kind == "error")
    output = messages[error.message]["content"]
    assert len(output) >= 1200
    tail = "\n".join(output.splitlines()[-3:])
    assert marker_pattern(error.marker).search(tail)


def test_markers_match_whole_tokens_in_any_casing_and_when_cut_after():
    assert marker_pattern("brinquor").search("Going with BRINQUOR for the retries...")
    assert marker_pattern("src/brin/x.py").search('cache_dir = "src/brin/x.py"...')
    assert marker_pattern("4821").search("UPDATE 4821\n")
    assert not marker_pattern("4821").search("UPDATE 14821")
    assert not marker_pattern("brinquor").search("brinquorthal is different")
    assert not marker_pattern("brinquor").search("Going with brinq...")


@pytest.mark.parametrize("budget", [300, 2000, 6000])
@pytest.mark.parametrize("seed,index", CASES[:4])
def test_drop_oldest_fits_and_keeps_calls_with_results(seed, index, budget):
    messages = session(seed, index).messages
    kept = drop_oldest(messages, budget)
    assert kept[0] is messages[0]
    # The newest messages, as a whole suffix, as many as fit.
    tail = kept[1:]
    assert all(a is b for a, b in zip(tail, messages[len(messages) - len(tail):]))
    assert sum(map(estimate_tokens, kept)) <= budget or not tail
    longer = messages[len(messages) - len(tail) - 1]
    if len(tail) < len(messages) - 1 and longer["role"] != "tool":
        assert sum(map(estimate_tokens, kept)) + estimate_tokens(longer) > budget
    for position, message in enumerate(tail):
        if message["role"] == "tool":
            callers = [m for m in tail[:position] if m.get("tool_calls")]
            assert callers and message["tool_call_id"] in {
                c["id"] for c in callers[-1]["tool_calls"]}
