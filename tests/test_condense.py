"""Condenser: budgets at their edges, tool-call pairing, chaining over repeated calls."""
import asyncio
import json
import pathlib
import sys

import pytest

try:
    from morvex_summarize.condense import Condenser, estimate_tokens
except ImportError:  # package not installed: use the source tree
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
    from morvex_summarize.condense import Condenser, estimate_tokens


class Reply:
    def __init__(self, content):
        self.content = content


class Client:
    def __init__(self):
        self.prompts = []

    async def complete(self, messages, max_tokens):
        self.prompts.append(messages[0]["content"])
        return Reply(json.dumps({"goals": ["goal %d" % len(self.prompts)], "summary": "s"}))


class Spy:
    """Delegates to the native summarizer and records what each summary was handed."""

    def __init__(self, mod):
        self.real = mod.ConversationSummarizer(Client())
        self.handed = []

    async def summarize_messages(self, messages, existing_summary=None):
        self.handed.append((list(messages), existing_summary))
        return await self.real.summarize_messages(messages, existing_summary)

    def format_summary_for_context(self, record):
        return self.real.format_summary_for_context(record)


def user(i):
    return {"role": "user", "content": "u%02d" % i}


def call(i):
    return {"role": "assistant", "content": "",
            "tool_calls": [{"id": "c%d" % i, "function": {"name": "t", "arguments": "{}"}}]}


def result(i):
    return {"role": "tool", "tool_call_id": "c%d" % i, "content": "r%d" % i}


def one_token(message):
    return 1


@pytest.mark.parametrize("extra, condensed", [(0, False), (1, True)])
def test_budget_exactly_at_and_one_over(mod, extra, condensed):
    msgs = [user(i) for i in range(8 + extra)]
    spy = Spy(mod)
    c = Condenser(spy, max_tokens=8, keep_last=2, token_counter=one_token)
    out, state = asyncio.run(c.condense(msgs))
    assert state.condensed is condensed and (out == msgs) is (not condensed)
    assert len(msgs) == 8 + extra  # the caller's list is untouched


@pytest.mark.parametrize("msgs, keep, handed", [
    ([user(0), call(1), result(1), user(2)], 2, 1),          # the call moves with its result
    ([user(0), call(1), user(2), result(1), user(3)], 2, 1),  # a result that comes later
    ([user(0), user(1), call(2)], 0, 2),                      # a call still waiting for results
    ([call(1), result(1), call(2), result(2), call(3), result(3)], 1, 4),  # all tool calls
    ([user(0), call(1), user(2), user(3)], 1, 3),             # a result that never came
])
def test_tool_calls_stay_with_their_results(mod, msgs, keep, handed):
    spy = Spy(mod)
    c = Condenser(spy, max_tokens=1, keep_last=keep, token_counter=one_token)
    out, state = asyncio.run(c.condense(msgs))
    assert state.summarized == handed and spy.handed[0][0] == msgs[:handed]
    assert out[1:] == msgs[handed:]


def test_repeated_condensing_hands_each_message_once(mod):
    spy = Spy(mod)
    c = Condenser(spy, max_tokens=6, keep_last=2, token_counter=one_token)
    msgs, state, everything = [{"role": "system", "content": "sys"}], None, []
    for i in range(30):
        m = user(i)
        everything.append(m)
        msgs, state = asyncio.run(c.condense(msgs + [m], state))
    handed = [m for batch, _ in spy.handed for m in batch]
    kept = [m for m in msgs[2:]]
    assert sorted(id(m) for m in handed + kept) == sorted(id(m) for m in everything)
    assert msgs[0]["content"] == "sys" and len(spy.handed) > 2
    for (_, earlier), (_, _) in zip(spy.handed[1:], spy.handed):
        assert earlier and earlier.startswith("## Conversation History Summary")


def test_default_estimate_counts_characters():
    assert estimate_tokens({"role": "user", "content": "x" * 8}) == 2 + 4
    assert estimate_tokens({"role": "user", "content": "x" * 9}) == 3 + 4
