"""Condenser: budgets at their edges, tool-call pairing, chaining over repeated calls."""
import asyncio
import copy
import json
import pathlib
import sys

import pytest

try:
    from morvex_summarize.condense import Condenser, estimate_tokens
except ImportError:  # package not installed: use the source tree
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "python"))
    from morvex_summarize.condense import Condenser, estimate_tokens

from llm_server import LLMServer
from morvex_summarize.clients.extractive import ExtractiveClient

HEADER = "## Conversation History Summary"


class Reply:
    def __init__(self, content):
        self.content = content


class Client:
    """Answers with a summary whose goal names the call; fails when told to."""

    def __init__(self, fail=False):
        self.prompts = []
        self.fail = fail

    async def complete(self, messages, max_tokens):
        self.prompts.append(messages[0]["content"])
        if self.fail:
            raise ConnectionError("model down")
        return Reply(json.dumps({"goals": ["goal %d" % len(self.prompts)], "summary": "s"}))


class Spy:
    """Delegates to the native summarizer and records what each summary was handed."""

    def __init__(self, mod, client=None):
        self.real = mod.ConversationSummarizer(client or Client())
        self.handed = []

    async def summarize_messages(self, messages, existing_summary=None):
        self.handed.append((list(messages), existing_summary))
        return await self.real.summarize_messages(messages, existing_summary)

    def format_summary_for_context(self, record):
        return self.real.format_summary_for_context(record)


def system():
    return {"role": "system", "content": "You are an agent."}


def user(i):
    return {"role": "user", "content": "u%02d" % i}


def call(i, *ids):
    ids = ids or ("c%d" % i,)
    return {"role": "assistant", "content": "",
            "tool_calls": [{"id": x, "function": {"name": "t", "arguments": "{}"}} for x in ids]}


def result(i, call_id=None):
    return {"role": "tool", "tool_call_id": call_id or "c%d" % i, "content": "r%d" % i}


def anonymous_call():
    return {"role": "assistant", "tool_calls": [{"function": {"name": "t", "arguments": "{}"}}]}


def anonymous_result():
    return {"role": "tool", "content": "done"}


def one_token(message):
    return 1


def run(condenser, msgs, state=None):
    return asyncio.run(condenser.condense(msgs, state))


@pytest.mark.parametrize("budget, size, condensed", [
    ({"max_tokens": 8}, 8, False),
    ({"max_tokens": 8}, 9, True),
    ({"max_messages": 8}, 8, False),
    ({"max_messages": 8}, 9, True),
    ({"max_tokens": 100, "max_messages": 8}, 9, True),   # either budget triggers
])
def test_budget_exactly_at_and_one_over(mod, budget, size, condensed):
    msgs = [user(i) for i in range(size)]
    before = list(msgs)
    spy = Spy(mod)
    out, state = run(Condenser(spy, keep_last=2, token_counter=one_token, **budget), msgs)
    assert state.condensed is condensed and len(spy.handed) == condensed
    assert (out == msgs) is (not condensed) and out is not msgs
    assert msgs == before and all(a is b for a, b in zip(msgs, before))
    assert state.tokens_before == size and state.within_budget


@pytest.mark.parametrize("msgs, keep, handed", [
    ([user(0), call(1), result(1), user(2)], 2, 1),          # the call moves with its result
    ([user(0), call(1), user(2), result(1), user(3)], 2, 1),  # a result that comes later
    ([user(0), user(1), call(2)], 0, 2),                      # a call still waiting for results
    ([user(0), user(1), call(2, "a", "b"), result(2, "a")], 0, 2),  # one of two results in
    ([call(1), result(1), call(2), result(2), call(3), result(3)], 1, 4),  # all tool calls
    ([call(1), result(1), call(2), result(2)], 0, 4),         # all tool calls, all answered
    ([user(0), call(1), user(2), user(3)], 1, 3),             # a result that never came
    ([user(0), call(1, "a", "b"), result(1, "a"), result(1, "b"), user(2)], 2, 1),  # parallel
    ([user(0), anonymous_call(), anonymous_result(), user(2)], 2, 1),  # results without ids
    ([result(9), user(0), user(1)], 1, 2),                    # a result whose call is gone
])
def test_tool_calls_stay_with_their_results(mod, msgs, keep, handed):
    spy = Spy(mod)
    out, state = run(Condenser(spy, max_tokens=1, keep_last=keep, token_counter=one_token), msgs)
    assert state.summarized == handed and spy.handed[0][0] == msgs[:handed]
    assert out[1:] == msgs[handed:] and out[0]["content"].startswith(HEADER)


@pytest.mark.parametrize("msgs, keep, handed, fits", [
    ([call(1), result(1)], 1, 0, False),             # the kept result holds its call back
    ([call(1), result(1)], 0, 2, True),              # only the context message is left
    ([call(1, "a", "b"), result(1, "a")], 0, 0, False),  # a call waiting for a second result
    ([user(0), call(1)], 0, 1, False),               # only the message before a waiting call
])
def test_over_budget_with_little_or_nothing_to_summarize(mod, msgs, keep, handed, fits):
    spy = Spy(mod)
    out, state = run(Condenser(spy, max_tokens=1, keep_last=keep, token_counter=one_token),
                     msgs)
    assert state.summarized == handed and len(spy.handed) == (handed > 0)
    assert out[len(out) - len(msgs) + handed:] == msgs[handed:]
    assert state.within_budget is fits


@pytest.mark.parametrize("with_system", [False, True])
def test_budget_smaller_than_the_kept_tail(mod, with_system):
    msgs = ([system()] if with_system else []) + [user(i) for i in range(10)]
    spy = Spy(mod)
    out, state = run(Condenser(spy, max_tokens=2, keep_last=4, token_counter=one_token), msgs)
    assert out[-4:] == msgs[-4:] and len(out) == 4 + 1 + with_system
    assert state.summarized == 6 and state.within_budget is False
    assert (out[0] is msgs[0]) is with_system


@pytest.mark.parametrize("with_system, target, tail", [
    (False, 5, 5), (True, 5, 4), (False, 0, 2), (True, 1, 2),
])
def test_kept_part_brought_within_the_target(mod, with_system, target, tail):
    msgs = ([system()] if with_system else []) + [user(i) for i in range(12)]
    c = Condenser(Spy(mod), max_tokens=10, target_tokens=target, keep_last=2,
                  token_counter=one_token)
    out, state = run(c, msgs)
    assert out[-tail:] == msgs[-tail:] and len(out) == tail + 1 + with_system
    assert state.summarized == 12 - tail


def test_repeated_condensing_hands_each_message_once(mod):
    spy = Spy(mod)
    c = Condenser(spy, max_tokens=6, keep_last=2, token_counter=one_token)
    msgs, state, everything, texts = [system()], None, [], []
    for i in range(30):
        m = user(i)
        everything.append(m)
        msgs, state = run(c, msgs + [m], state)
        if state.condensed:
            texts.append(state.summary_text)
    handed = [m for batch, _ in spy.handed for m in batch]
    kept = msgs[2:]
    assert sorted(map(id, handed + kept)) == sorted(map(id, everything))
    assert msgs[0]["content"] == "You are an agent." and len(spy.handed) > 2
    assert [earlier for _, earlier in spy.handed] == [None] + texts[:-1]
    assert state.total_summarized == len(handed)
    assert sum(HEADER in m["content"] for m in msgs) == 1


@pytest.mark.parametrize("keep_system, role", [(True, "system"), (True, "user"),
                                               (False, "system"), (False, "user")])
@pytest.mark.parametrize("pass_state", [False, True])
def test_earlier_context_message_is_replaced_not_summarized(mod, keep_system, role,
                                                            pass_state):
    spy = Spy(mod)
    c = Condenser(spy, max_tokens=6, keep_last=2, token_counter=one_token,
                  keep_system=keep_system, context_role=role)
    first, state = run(c, [system()] + [user(i) for i in range(8)])
    context = state.context_message
    assert context["role"] == role and first.index(context) == int(keep_system)
    assert (first[0] is not context) is keep_system
    # the caller keeps the list as JSON and reads it back: equal records, not the same ones
    grown = copy.deepcopy(first) + [user(i) for i in range(8, 14)]
    out, state2 = run(c, grown, state if pass_state else None)
    handed, earlier = spy.handed[1]
    assert earlier == context["content"]
    assert all(HEADER not in (m.get("content") or "") for m in handed)
    assert sum(HEADER in (m.get("content") or "") for m in out) == 1
    assert state2.summarized == len(handed)


def test_fallback_keeps_the_earlier_summary(mod):
    good, bad = Client(), Client(fail=True)
    msgs = [system()] + [user(i) for i in range(8)]
    c1 = Condenser(mod.ConversationSummarizer(good), max_tokens=6, keep_last=2,
                   token_counter=one_token)
    out, state = run(c1, msgs)
    assert state.summary["goals"] == ["goal 1"] and not state.fallback
    c2 = Condenser(mod.ConversationSummarizer(bad), max_tokens=6, keep_last=2,
                   token_counter=one_token)
    _, merged = run(c2, out + [user(i) for i in range(8, 12)], state)
    assert merged.fallback and merged.summary["goals"] == ["goal 1", "u05"]
    assert merged.summary["summary"].startswith("s\n\nConversation with ")
    # without the earlier record, its text still reaches the new context
    _, textual = run(c2, copy.deepcopy(out) + [user(i) for i in range(8, 12)])
    assert textual.fallback and state.summary_text in textual.summary_text
    assert textual.summary["goals"] == ["goal 1", "u05"]  # read back from the earlier text


def test_model_made_summary_gets_back_only_the_goals_it_dropped(mod):
    msgs = [user(i) for i in range(8)]
    c = Condenser(mod.ConversationSummarizer(Client()), max_tokens=6, keep_last=2,
                  token_counter=one_token)
    out, state = run(c, msgs)
    _, state2 = run(c, out + [user(i) for i in range(8, 12)], state)
    assert not state2.fallback and state2.summary["goals"] == ["goal 1", "goal 2"]
    assert state2.summary["summary"] == "s" and state2.summary["key_facts"] == []


@pytest.mark.parametrize("kwargs, error", [
    ({}, ValueError),
    ({"max_tokens": 0}, ValueError),
    ({"max_tokens": -5}, ValueError),
    ({"max_tokens": "10"}, TypeError),
    ({"max_tokens": True}, TypeError),
    ({"max_messages": 2.5}, TypeError),
    ({"max_tokens": 10, "keep_last": -1}, ValueError),
    ({"max_tokens": 10, "keep_last": None}, TypeError),
    ({"max_tokens": 10, "context_role": "assistant"}, ValueError),
    ({"max_tokens": 10, "token_counter": 5}, TypeError),
    ({"max_tokens": 10, "target_tokens": 11}, ValueError),
    ({"max_tokens": 10, "target_messages": 3}, ValueError),
    ({"max_tokens": 10, "target_tokens": -1}, ValueError),
    ({"max_tokens": 10, "strategy": "masking"}, ValueError),
])
def test_configuration_errors(mod, kwargs, error):
    with pytest.raises(error):
        Condenser(mod.ConversationSummarizer(Client()), **kwargs)


@pytest.mark.parametrize("summarizer", [object(), None, "text"])
def test_summarizer_must_have_the_summarizer_shape(summarizer):
    with pytest.raises(TypeError, match="summarize_messages"):
        Condenser(summarizer, max_tokens=10)


@pytest.mark.parametrize("messages, state, counter, error", [
    ({"role": "user"}, None, one_token, TypeError),        # not a list
    ([user(0), "hello"], None, one_token, TypeError),      # a message that is not a mapping
    ([user(0)], {}, one_token, TypeError),                 # a state of another kind
    ([user(0)], None, lambda m: 1.5, TypeError),           # a count that is not an int
    ([user(0)], None, lambda m: -1, ValueError),
])
def test_bad_calls(mod, messages, state, counter, error):
    c = Condenser(mod.ConversationSummarizer(Client()), max_tokens=10, token_counter=counter)
    with pytest.raises(error):
        run(c, messages, state)


@pytest.mark.parametrize("message, tokens", [
    ({"role": "user", "content": "x" * 8}, 2 + 4),
    ({"role": "user", "content": "x" * 9}, 3 + 4),
    ({"role": "user", "content": None}, 4),
    ({"role": "user", "content": [{"type": "text", "text": "x" * 8}]}, 2 + 4),
    ({"role": "tool", "tool_call_id": "abcd", "content": "x" * 4}, 2 + 4),
    ({"role": "assistant", "tool_calls": [
        {"id": "ab", "function": {"name": "run", "arguments": {"a": 1}}}]}, 4 + 4),
])
def test_default_estimate_counts_characters(message, tokens):
    assert estimate_tokens(message) == tokens


def test_works_with_the_offline_client_passed_directly(mod):
    msgs = [system()] + [user(i) for i in range(6)] + [call(1), result(1), user(7)]
    out, state = run(Condenser(ExtractiveClient(), max_messages=6, keep_last=3), msgs)
    assert out[0] is msgs[0] and out[-3:] == msgs[-3:] and state.condensed
    assert "u00" in state.summary_text and state.summary["goals"][0].startswith("u00")


def test_works_with_the_openai_client_over_http(mod):
    from morvex_summarize.clients.openai_client import OpenAIClient

    msgs = [user(i) for i in range(8)]
    async def condense_and_close(client):
        try:  # its connections are closed in the loop that opened them
            return await Condenser(client, max_messages=4, keep_last=2).condense(msgs, None)
        finally:
            await client.aclose()

    with LLMServer() as server:
        client = OpenAIClient("m", base_url=server.url, api_key="k", max_retries=0, timeout=10)
        out, state = asyncio.run(condense_and_close(client))
    assert state.summary["goals"] == ["u00"] and out[1:] == msgs[-2:]
    assert state.summary["progress"] == ["answered by the loopback server"]
    assert len(server.requests) == 1


@pytest.mark.parametrize("blocked", [
    "I'm blocked: the staging database rejects our credentials.",
    "Stuck here: the build image is missing from the registry.",
])
def test_a_blocker_the_kept_messages_went_past_leaves_the_summary(mod, blocked):
    edit = {"role": "assistant", "content": "", "tool_calls": [{"id": "e1", "function": {
        "name": "edit_file", "arguments": json.dumps({"path": "src/app.py", "old": "a",
                                                      "new": "b"})}}]}
    msgs = [system(), {"role": "user", "content": "Fix the importer in src/app.py."},
            {"role": "assistant", "content": blocked}, user(1), user(2), user(3),
            edit, {"role": "tool", "tool_call_id": "e1", "content": "The file was updated."}]
    condenser = Condenser(mod.ConversationSummarizer(ExtractiveClient()), keep_last=2,
                          max_tokens=1, token_counter=one_token)
    out, _ = run(condenser, msgs)
    context = next(m["content"] for m in out if "Conversation History Summary" in
                   str(m.get("content")))
    assert blocked[:30] in context and "Issues & Resolutions" not in context
