"""The offline extractive client, on the sample conversation and on generated ones."""

import asyncio
import json
import random
import re

import pytest
from hypothesis import given, settings, strategies as st

from cli_support import SAMPLE
from morvex_summarize import carry
from morvex_summarize.carry import (CHANGED_PREFIX, FAILED_ITEM, LIMITS, LOOKED_PREFIX,
                                             RESOLVED_PREFIX)
from morvex_summarize.session import phrases, transcript
from morvex_summarize.clients.extractive import ExtractiveClient, parse_transcript

LIST_KEYS = ["goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps"]
KEYS = ["goals", "progress", "current_state", "key_decisions", "key_facts", "blockers",
        "next_steps", "summary"]


def clip(text, limit=300):
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3].rstrip() + "..."


def ask(mod, messages, previous=None):
    """(the client's JSON object, the record the summarizer made of it)."""
    client = ExtractiveClient()
    sent = []

    class Spy:
        async def complete(self, messages, max_tokens):
            reply = await client.complete(messages=messages, max_tokens=max_tokens)
            sent.append(json.loads(reply.content))
            return reply

    record = asyncio.run(mod.ConversationSummarizer(Spy()).summarize_messages(messages, previous))
    return sent[0], record


def test_sample_conversation(mod):
    messages = json.loads(SAMPLE.read_text(encoding="utf-8"))
    reply, record = ask(mod, messages)
    assert list(reply) == KEYS
    assert {k: record[k] for k in KEYS} == reply  # the summarizer took the reply as it is
    assert reply["goals"][0] == messages[1]["content"]
    assert reply["goals"][1:] == ["Constraint: Please don't revert Dana's change, she needs it "
                                  "for the currency work."]
    # progress is what changed the work and what settled it, not the calls one by one
    assert reply["progress"] == [
        "Looked around: git_log 1x (under include/)",
        "Changed: `edit_file` src/ledger.cpp",
        "`make -C payments test` passed: [==========] 214 tests ran. [ PASSED ] 214 tests."]
    # the build error was fixed in the file it named, and the tests passed after: it is
    # no blocker any more, and no next step
    assert reply["blockers"] == [] and reply["next_steps"] == []
    # the settled failure, marked so, and the commit the log showed; not the passing
    # line again, which the progress has
    assert reply["key_facts"] == [
        "Resolved: `ci logs payments --last` failed: error: src/ledger.cpp:42: "
        "'rounding_mode' was not declared in this scope",
        "`git_log include/money.h`: a41c2e9 Move rounding_mode into money::detail (yesterday, Dana)"]
    # the state comes from the latest evidence, not from the last thing said
    assert reply["current_state"] == (
        "Rebuilding to confirm. Latest result: `make -C payments test` passed: "
        "[==========] 214 tests ran. [ PASSED ] 214 tests.")
    assert reply["summary"].startswith("2 user message(s), 4 assistant message(s), "
                                       "4 tool call(s), 4 tool result(s).")


@pytest.mark.parametrize("previous", [None, "The team fixed the ledger yesterday."])
def test_previous_summary_and_determinism(mod, previous):
    messages = json.loads(SAMPLE.read_text(encoding="utf-8"))
    first, _ = ask(mod, messages, previous)
    again, _ = ask(mod, messages, previous)
    assert first == again
    assert ("The team fixed the ledger yesterday." in first["summary"]) is (previous is not None)


@pytest.mark.parametrize("messages,next_step", [
    ([{"role": "user", "content": "list the files"}], "Answer the user: list the files"),
    ([{"role": "user", "content": "go"},
      {"role": "assistant", "content": None,
       "tool_calls": [{"id": "1", "function": {"name": "ls", "arguments": {}}}]}],
     "Wait for the result of ls"),
    ([{"role": "user", "content": "go"},
      {"role": "tool", "tool_call_id": "t9", "content": "fatal: permission denied"}],
     "Resolve the failure of `t9`: fatal: permission denied"),
])
def test_next_step_follows_from_the_last_entry(mod, messages, next_step):
    reply, _ = ask(mod, messages)
    assert reply["next_steps"] == [next_step]


def test_request_without_transcript_gives_an_empty_summary():
    reply = asyncio.run(ExtractiveClient().complete(
        messages=[{"role": "user", "content": "hello"}], max_tokens=10))
    doc = json.loads(reply.content)
    assert all(doc[k] == [] for k in LIST_KEYS) and doc["current_state"] == ""


def test_continuation_lines_stay_with_their_entry():
    entries = parse_transcript("[User]: one\ntwo\n[Tool Result (x)]: a\nb\n[Assistant]: ok")
    assert entries == [("user", "", "one\ntwo"), ("result", "x", "a\nb"),
                       ("assistant", "", "ok")]


WORDS = ("build test deploy ledger header money rounding branch commit review cache "
         "payments service config flag module error failed ok passed").split()


def generate(seed):
    """A random but well-formed agent conversation, with what a summary must say of it."""
    rng = random.Random(seed)

    def words(n):
        return " ".join(rng.choice(WORDS) for _ in range(n)).replace("error failed", "errorx")

    messages = [{"role": "user", "content": words(rng.randint(3, 60))}]
    calls = trouble = 0
    last_said = None
    for n in range(rng.randint(0, 25)):
        kind = rng.choice(["user", "assistant", "call"])
        if kind == "user":
            messages.append({"role": "user", "content": words(rng.randint(1, 10))})
        elif kind == "assistant":
            last_said = words(rng.randint(1, 20))
            messages.append({"role": "assistant", "content": last_said})
        else:
            calls += 1
            said = words(3) if rng.random() < 0.5 else None
            last_said = said or last_said
            name = rng.choice(["shell", "read_file", "git"])
            messages.append({"role": "assistant", "content": said, "tool_calls": [
                {"id": f"id{n}", "type": "function",
                 "function": {"name": name, "arguments": {"arg": words(2)}}}]})
            bad = rng.random() < 0.3
            trouble += bad
            # what a read shows is not the read's failure
            text = ("error: " if bad and name != "read_file" else "") + words(rng.randint(1, 150))
            messages.append({"role": "tool", "tool_call_id": f"id{n}", "content": text})
    return messages, calls, last_said


@pytest.mark.parametrize("seed", range(25))
def test_generated_conversations(mod, seed):
    messages, calls, last_said = generate(seed)
    reply, record = ask(mod, messages)
    assert list(reply) == KEYS
    assert all(isinstance(reply[k], list) and all(isinstance(i, str) for i in reply[k])
               and len(set(reply[k])) == len(reply[k]) for k in LIST_KEYS)
    assert all(len(reply[k]) <= LIMITS.get(k, 32) for k in LIST_KEYS)
    # a request is kept to its sentence's end, at most twice an item's length
    assert all(len(i) <= (600 if k == "goals" else 420) for k in LIST_KEYS for i in reply[k])
    first = clip(messages[0]["content"])  # a short first request is read with the next
    # a long one is kept to the end of the sentence that runs past an item's length
    assert reply["goals"][0] == first if 80 <= len(first) and not first.endswith("...") \
        else reply["goals"][0].startswith(first.removesuffix("..."))
    # progress: the outcome of a check, a change, or the count of reads; never one item
    # per call
    assert len(reply["progress"]) <= calls
    assert all(p.startswith(("`", CHANGED_PREFIX, LOOKED_PREFIX)) for p in reply["progress"])
    reads = sum(1 for m in messages for c in m.get("tool_calls") or ()
                if c["function"]["name"] == "read_file")
    looked = [p for p in reply["progress"] if p.startswith(LOOKED_PREFIX)]
    assert bool(looked) is (reads > 0)
    if reads:
        assert f"read_file {reads}x" in looked[0]
    errors = [m["content"][:500] for m in messages
              if m["role"] == "tool" and m["content"].startswith("error: ")]
    # the newest failures are among the blockers, or settled by a later passing run and
    # kept as facts marked so; a failure is never a plain fact
    told = reply["blockers"] + [f for f in reply["key_facts"] if f.startswith(
        (RESOLVED_PREFIX, carry.REPRODUCED_PREFIX, carry.EXPECTED_PREFIX))]
    assert all(any(e.split("\n")[0][:80] in t for t in told) for e in errors[-6:])
    assert not any(f.startswith("error: ") for f in reply["key_facts"])
    assert all(FAILED_ITEM.match(b) for b in reply["blockers"])
    # the state is the last thing said, then the newest outcome when one came after it
    said = clip(last_said) if last_said else ""
    state = reply["current_state"]
    assert state.startswith(said)
    assert state == said or state[len(said):].lstrip().startswith("Latest result: `")
    if messages[-1]["role"] == "tool" and messages[-1]["content"].startswith("error: "):
        assert "` failed: error: " in state and reply["next_steps"][0].startswith(
            "Resolve the failure of `")
    assert {k: record[k] for k in KEYS} == reply



BLIND = {name: value for name, value in vars(phrases).items()
         if isinstance(value, phrases.Blind)}
BLIND_WORDS = sorted({word for blind in BLIND.values()
                      for word in re.findall(r"[a-z][a-z' ]*[a-z]", blind._lower.pattern)})


def cased_text():
    """Text of the patterns' own words in any case, among other words, digits and marks."""
    piece = st.one_of(st.sampled_from(BLIND_WORDS), st.sampled_from(["x", "Fix", "42", "İ", "ß"]),
                      st.text(max_size=4))
    cased = st.tuples(piece, st.sampled_from([str.lower, str.upper, str.title, str.swapcase])
                      ).map(lambda pair: pair[1](pair[0]))
    gap = st.sampled_from([" ", ", ", ". ", "\n", "", "? ", ": ", " - "])
    return st.lists(st.tuples(cased, gap).map("".join), max_size=8).map("".join)


@settings(max_examples=300, deadline=None)
@given(cased_text())
def test_case_blind_patterns_find_what_the_flag_finds(text):
    # The client reads ASCII text in lower case for speed; what it finds must be what the
    # pattern with the case-ignoring flag finds, in any text.
    assert len(BLIND) >= 8
    for name, blind in BLIND.items():
        flagged = re.compile(blind._lower.pattern, re.IGNORECASE)
        for how in ("search", "match", "fullmatch"):
            assert getattr(blind, how)(text) == (getattr(flagged, how)(text) is not None), \
                (name, how, text)


_TRANSCRIPT_PIECES = ["[User]: ", "[Assistant]: ", "[Assistant called run]: ",
                      "[Tool Result (c1)]: ", "[User] ", "[Tool Result (c]1)]: ", "[", "]: ",
                      "x", "\n", "\n[", "[[User]: "]


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(_TRANSCRIPT_PIECES), max_size=20).map("".join),
       st.integers(0, 40))
def test_headings_are_those_the_pattern_finds(text, start):
    # Entries are found by looking only at lines that start with a bracket; from a start
    # that begins a line they must be what a scan of the pattern finds.
    start = min(start, len(text))
    if start and text[start - 1] != "\n":
        start = text.rfind("\n", 0, start) + 1
    expected = [m.span() for m in transcript._ENTRY.finditer(text, start)]
    assert [m.span() for m in transcript._headings(text, start)] == expected
