"""Condensing in an agent loop: a call given the last state back reads and counts only
the messages appended since, and returns what a call that reads everything returns."""
import asyncio
import dataclasses
import json

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from morvex_summarize.condense import STRATEGIES, Condenser, estimate_tokens  # noqa: E402

SETTINGS = settings(deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Reply:
    def __init__(self, content):
        self.content = content


class Client:
    async def complete(self, messages, max_tokens):
        return Reply(json.dumps({"goals": ["g"], "summary": "n"}))


class Counting:
    """A token counter that counts its own calls."""

    def __init__(self):
        self.calls = 0

    def __call__(self, message):
        self.calls += 1
        return estimate_tokens(message)


words = st.text(alphabet="abc xyz.", max_size=40)
output = st.one_of(words, st.text(alphabet="abc xyz.\n", min_size=60, max_size=300))


@st.composite
def round_of(draw, number, shape):
    """One round of an agent loop in the OpenAI or Responses shape: a user remark, or a
    tool call with its result, or an answer."""
    kind = draw(st.sampled_from(["user", "call", "answer"]))
    if kind == "user":
        return [{"role": "user", "content": draw(words)}]
    if kind == "answer":
        return [{"role": "assistant", "content": draw(words)}]
    call_id = f"c{number}"
    if shape == "openai":
        return [{"role": "assistant", "content": None, "tool_calls": [
                    {"id": call_id, "type": "function",
                     "function": {"name": "shell", "arguments": json.dumps({"cmd": draw(words)})}}]},
                {"role": "tool", "tool_call_id": call_id, "content": draw(output)}]
    return [{"type": "function_call", "call_id": call_id, "name": "shell", "arguments": "{}"},
            {"type": "function_call_output", "call_id": call_id, "output": draw(output)}]


def comparable(state):
    return {k: v for k, v in dataclasses.asdict(state).items() if k != "summary"}


@pytest.mark.parametrize("strategy", STRATEGIES)
@SETTINGS
@given(st.data(), st.integers(40, 400), st.booleans())
def test_a_loop_reads_only_what_was_appended_and_gets_what_a_full_read_gets(strategy, data,
                                                                            budget, in_body):
    counter = Counting()
    condenser = Condenser(Client(), max_tokens=budget, keep_last=2, token_counter=counter,
                          strategy=strategy)
    fresh = Condenser(Client(), max_tokens=budget, keep_last=2, strategy=strategy)
    shape = data.draw(st.sampled_from(["openai", "responses"]))
    messages = [{"role": "user", "content": "start"}]
    state = None
    for number in range(data.draw(st.integers(1, 12))):
        added = data.draw(round_of(number, shape))
        messages = messages + added
        doc = {"model": "m", "input" if shape == "responses" else "messages": messages} \
            if in_body else messages
        before = counter.calls
        result, new_state = asyncio.run(condenser.condense(doc, state))
        # A copy of the state has none of what the call read: given it, the same call reads
        # everything, and its answer is the reference.
        plain_state = None if state is None else dataclasses.replace(state)
        expected, expected_state = asyncio.run(fresh.condense(doc, plain_state))
        assert result == expected
        assert comparable(new_state) == comparable(expected_state)
        # A call that returned the list unchanged and within budget keeps what it read.
        if state is not None and state.within_budget and not state.condensed \
                and not state.refitted and not new_state.condensed \
                and not new_state.rewritten \
                and new_state.format == state.format:
            assert counter.calls - before == len(added)  # only the new ones were counted
        state = new_state
        messages = result if not in_body else result["input" if shape == "responses"
                                                      else "messages"]


def test_a_message_changed_behind_the_loop_is_read_again():
    counter = Counting()
    condenser = Condenser(Client(), max_tokens=10_000, keep_last=2, token_counter=counter)
    messages = [{"role": "user", "content": f"message {n}"} for n in range(50)]
    messages, state = asyncio.run(condenser.condense(messages))
    messages[10] = {"role": "user", "content": "x" * 4000}  # replaced, not appended
    before = counter.calls
    _, changed = asyncio.run(condenser.condense(messages, state))
    assert counter.calls - before == 50  # the whole list, read again
    assert changed.tokens_before == sum(estimate_tokens(m) for m in messages)


@pytest.mark.parametrize("size", [100, 1000, 10_000])
def test_one_call_counts_only_the_appended_message(size):
    counter = Counting()
    condenser = Condenser(Client(), max_tokens=10**9, keep_last=2, token_counter=counter)
    messages = [{"role": "user", "content": f"message {n}"} for n in range(size)]
    messages, state = asyncio.run(condenser.condense(messages))
    assert counter.calls == size
    for n in range(3):
        messages.append({"role": "assistant", "content": f"more {n}"})
        messages, state = asyncio.run(condenser.condense(messages, state))
        assert counter.calls == size + n + 1
        assert state.tokens_before == sum(estimate_tokens(m) for m in messages)
        assert len(messages) == size + n + 1


def test_items_given_again_as_copies_come_back_as_the_callers():
    """A session that stores its items gives equal copies each time: the list returned is
    made of the objects given, as when everything is read."""
    condenser = Condenser(Client(), max_tokens=10_000, keep_last=2)
    messages = [{"role": "user", "content": f"message {n}"} for n in range(20)]
    _, state = asyncio.run(condenser.condense(messages, None))
    again = [dict(m) for m in messages] + [{"role": "assistant", "content": "more"}]
    result, state = asyncio.run(condenser.condense(again, state))
    assert result == again and all(r is a for r, a in zip(result, again))
    assert state.tokens_before == sum(estimate_tokens(m) for m in again)
