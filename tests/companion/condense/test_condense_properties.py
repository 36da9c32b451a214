"""Condenser invariants over generated conversations, condensed once and repeatedly, with
every strategy."""
import asyncio
import copy
import itertools
import json
import pathlib
import sys

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

try:
    from morvex_summarize.condense import STRATEGIES, Condenser, estimate_tokens
except ImportError:  # package not installed: use the source tree
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "python"))
    from morvex_summarize.condense import STRATEGIES, Condenser, estimate_tokens
from morvex_summarize.condense.clearing import is_placeholder  # noqa: E402

SETTINGS = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

text = st.text(alphabet="abcdef xyz.?", max_size=60)
output = st.one_of(text, st.text(alphabet="abcdef xyz.?\n", min_size=60, max_size=400))


class Reply:
    def __init__(self, content):
        self.content = content


class Client:
    async def complete(self, messages, max_tokens):
        return Reply(json.dumps({"goals": ["g"], "summary": "n"}))


class Spy:
    def __init__(self, mod):
        self.real = mod.ConversationSummarizer(Client())
        self.handed = []

    async def summarize_messages(self, messages, existing_summary=None):
        self.handed.append((list(messages), existing_summary))
        return await self.real.summarize_messages(messages, existing_summary)

    def format_summary_for_context(self, record):
        return self.real.format_summary_for_context(record)


@st.composite
def conversations(draw):
    """(messages, places where a growing conversation may be cut into chunks)."""
    ids = itertools.count()
    messages, cuts = [], []
    if draw(st.booleans()):
        messages.append({"role": "system", "content": draw(text)})
    for _ in range(draw(st.integers(0, 14))):
        kind = draw(st.sampled_from(["user", "assistant", "calls", "calls", "system"]))
        if kind != "calls":
            messages.append({"role": kind, "content": draw(text)})
        else:
            anonymous = draw(st.booleans()) and draw(st.booleans())
            n = draw(st.integers(1, 3))
            call_ids = [None if anonymous else "id%d" % next(ids) for _ in range(n)]
            messages.append({"role": "assistant", "content": draw(text), "tool_calls": [
                {"id": i, "type": "function",
                 "function": {"name": "tool", "arguments": json.dumps({"q": draw(text)})}}
                for i in call_ids]})
            # results: all, some or none, possibly after other messages, possibly only
            # in the next chunk of a growing conversation
            answered = [i for i in call_ids if draw(st.booleans()) or draw(st.booleans())]
            if draw(st.booleans()):
                messages.append({"role": "user", "content": draw(text)})
            elif answered:
                cuts.append(len(messages))
            for i in answered:
                result = {"role": "tool", "content": draw(output)}
                if i is not None:
                    result["tool_call_id"] = i
                messages.append(result)
        cuts.append(len(messages))
    return messages, sorted(set(cuts))


def pairs(messages):
    """(call message, result message) pairs: by id, or the latest call for a result
    without one."""
    by_id, latest, out = {}, None, []
    for m in messages:
        if m["role"] == "assistant" and m.get("tool_calls"):
            latest = m
            for tc in m["tool_calls"]:
                if tc["id"] is not None:
                    by_id[tc["id"]] = m
        elif m["role"] == "tool":
            caller = by_id.get(m["tool_call_id"]) if "tool_call_id" in m else latest
            if caller is not None:
                out.append((caller, m))
    return out


def waiting_call(messages):
    """The assistant message whose calls still wait for results, or None."""
    end = len(messages)
    while end and messages[end - 1]["role"] == "tool":
        end -= 1
    if end == 0 or not messages[end - 1].get("tool_calls"):
        return None
    caller = messages[end - 1]
    ids = [tc["id"] for tc in caller["tool_calls"]]
    results = messages[end:]
    if None in ids:
        return caller if len(results) < len(ids) else None
    answered = {m.get("tool_call_id") for m in results}
    return None if set(ids) <= answered else caller


configs = st.fixed_dictionaries({
    "keep_last": st.integers(0, 5),
    "keep_system": st.booleans(),
    "keep_first": st.booleans(),
    "keep_requests": st.booleans(),
    "context_role": st.sampled_from(["system", "user"]),
}).flatmap(lambda base: st.one_of(
    st.builds(lambda n: {**base, "max_tokens": n}, st.integers(1, 250)),
    st.builds(lambda n: {**base, "max_messages": n}, st.integers(1, 12)),
))


def check_clearing(given_list, state, config, strategy):
    """What clearing did: only results of the older tool uses, each now a placeholder that
    frees tokens, and only when the list given was over the budget."""
    rewritten = state.rewritten
    if not STRATEGIES[strategy].edits or not rewritten:
        assert not rewritten and not state.applied_edits
        return
    assert state.tokens_before > config.get("max_tokens", 10**9) or \
        state.messages_before > config.get("max_messages", 10**9)
    given_ids = {id(m) for m in given_list}
    newest = [tc["id"] for m in given_list for tc in m.get("tool_calls") or ()][-3:]
    for old, new in rewritten:
        assert id(old) in given_ids and old["role"] == "tool"
        assert is_placeholder(new["content"]) and not is_placeholder(old["content"])
        assert {**new, "content": None} == {**old, "content": None}
        assert old.get("tool_call_id") is None or old["tool_call_id"] not in newest
    assert state.cleared_tool_uses == len(rewritten)
    assert state.cleared_tokens == sum(estimate_tokens(old) - estimate_tokens(new)
                                       for old, new in rewritten) > 0


def check_step(given_list, out, state, handed, config, marker, strategy="summarize"):
    """The rules one condense call keeps, for the list it was given."""
    check_clearing(given_list, state, config, strategy)
    swap = {id(old): new for old, new in state.rewritten}
    cleared = [swap.get(id(m), m) for m in given_list]  # the given list, once cleared
    ids = {id(m) for m in out}
    conversation = [m for m in cleared if m is not marker]
    if config["keep_system"] and given_list and given_list[0]["role"] == "system" \
            and given_list[0] is not marker:
        assert out[0] is given_list[0]
    keep = config["keep_last"]
    assert all(id(m) in ids for m in conversation[len(conversation) - keep:])
    assert state.tokens_after == sum(map(estimate_tokens, out))
    assert state.tokens_before == sum(map(estimate_tokens, given_list))
    if state.refitted:  # nothing summarized; the earlier summary made smaller in its place
        assert not handed and state.tokens_after < state.tokens_before
        assert [m for m in out if m is not state.context_message] == \
            [m for m in cleared if m is not marker]
        return
    if not state.condensed:
        assert out == cleared and not handed
        return
    assert STRATEGIES[strategy].summarize
    handed_ids = {id(m) for m in handed}
    assert not handed_ids & ids
    for caller, result in pairs(cleared):
        assert (id(caller) in handed_ids) == (id(result) in handed_ids)
    waiting = waiting_call(cleared)
    assert waiting is None or id(waiting) not in handed_ids
    # the new list: system message, context, then the rest in the given order
    context = state.context_message
    assert sum(m is context for m in out) == 1 and all(m is not marker for m in out)
    rest = [m for m in out if m is not context]
    assert rest == [m for m in cleared if id(m) not in handed_ids and m is not marker]


@pytest.mark.parametrize("strategy", STRATEGIES)
@SETTINGS
@given(conversations(), configs)
def test_one_condense_keeps_the_rules(mod, strategy, conversation, config):
    messages, _ = conversation
    snapshot, items = copy.deepcopy(messages), list(messages)
    spy = Spy(mod)
    out, state = asyncio.run(Condenser(spy, strategy=strategy, **config).condense(messages))
    assert messages == snapshot and all(a is b for a, b in zip(messages, items))
    assert len(messages) == len(items)
    shown = spy.handed[0][0] if spy.handed else []
    handed = list(state.summarized_messages)
    assert len(spy.handed) == state.condensed
    # the summary is shown what it replaces (of a cleared result, the result as given),
    # and besides only the user's turns, kept
    given = {id(new): old for old, new in state.rewritten}
    read = [given.get(id(h), h) for h in handed]
    assert [m for m in shown if any(m is r for r in read)] == read
    assert all(m["role"] == "user" for m in shown if not any(m is r for r in read))
    check_step(messages, out, state, handed, config, None, strategy)
    if config["keep_first"]:  # the user's first turn is kept, whatever was summarized
        at = 0
        while config["keep_system"] and at < len(messages) and messages[at]["role"] == "system":
            at += 1
        while at < len(messages) and messages[at]["role"] == "user":
            assert any(m is messages[at] for m in out)
            at += 1


@pytest.mark.parametrize("strategy", STRATEGIES)
@SETTINGS
@given(conversations(), configs, st.data())
def test_repeated_condensing_loses_and_duplicates_nothing(mod, strategy, conversation, config,
                                                          data):
    messages, cuts = conversation
    chosen = [c for c in cuts if data.draw(st.booleans())]
    bounds = [0] + chosen + [len(messages)]
    chunks = [messages[a:b] for a, b in zip(bounds, bounds[1:]) if b > a]
    spy = Spy(mod)
    condenser = Condenser(spy, strategy=strategy, **config)

    batches = []
    origin = {}  # id(a placeholder's message) -> (the original message, that message)

    def original(m):
        return origin.get(id(m), (m,))[0]

    async def grow():
        current, state, texts = [], None, []
        for chunk in chunks:
            given_list = current + chunk
            calls = len(spy.handed)
            marker = state.context_message if state else None
            earlier = state.summary_text if state else None
            current, state = await condenser.condense(given_list, state)
            assert len(spy.handed) - calls == state.condensed
            handed = list(state.summarized_messages)
            check_step(given_list, current, state, handed, config, marker, strategy)
            for old, new in state.rewritten:
                origin[id(new)] = (original(old), new)
            batches.append([original(m) for m in handed])
            if state.condensed:
                texts.append(earlier)  # the text it was handed: the last one, refitted or not
        return current, state, texts

    final, state, texts = asyncio.run(grow())
    batches = [batch for batch in batches if batch]
    # each summary read what it stands for as given: a cleared result's output, never the
    # placeholder a later round was handed back
    for (shown, _), batch in zip(spy.handed, batches, strict=True):
        assert [m for m in shown if any(m is o for o in batch)] == batch
    # every original message is in the final list or in exactly one summary, never both
    seen = [id(m) for batch in batches for m in batch]
    seen += [id(original(m)) for m in final if m is not (state and state.context_message)]
    assert sorted(seen) == sorted(id(m) for m in messages)
    # a call and its results end up together: in one summary, or all still in the list
    bucket = {id(m): n for n, batch in enumerate(batches) for m in batch}
    for caller, result in pairs(messages):
        assert bucket.get(id(caller)) == bucket.get(id(result))
    # each summary builds on the one before it
    assert [earlier for _, earlier in spy.handed] == texts
    assert state is None or state.total_summarized == sum(map(len, batches))
