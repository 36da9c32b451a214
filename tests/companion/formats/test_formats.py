"""Conversations in the formats users hold them in: read into transcripts, summarized and
condensed back into the same format, valid for that format's API."""
import asyncio
import json
import re

import pytest

for _sdk in ("openai", "anthropic", "langchain_core", "hypothesis"):
    pytest.importorskip(_sdk)

from formats_support import (BUILDERS, SYSTEM, calls_and_results, items_of,  # noqa: E402
                             png, session, strategies, validate)
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import morvex_summarize  # noqa: E402
from morvex_summarize.clients.extractive import ExtractiveClient  # noqa: E402
from morvex_summarize.condense import ClearToolResults, Condenser  # noqa: E402
from morvex_summarize.condense.clearing import is_placeholder  # noqa: E402
from morvex_summarize.formats import (FormatError, detect_format, read_conversation,  # noqa: E402
                                      strip_thinking, to_messages)

HEADER = "## Conversation History Summary"
IMAGE = 300 * 1024


@pytest.fixture(scope="module")
def transcript(mod):
    return lambda doc: mod._format_messages_for_summary(to_messages(doc))


@pytest.mark.parametrize("name", BUILDERS)
def test_every_format_reads_into_a_clean_transcript(name, transcript):
    events = session(6, image_size=IMAGE)
    doc = BUILDERS[name](events)
    text = transcript(doc)
    assert "{'type'" not in text and "TextBlock(" not in text and png(IMAGE)[:200] not in text
    assert "[image: image/png, 300 KB]" in text
    assert text.startswith("[User]: Fix the failing build") and SYSTEM not in text
    calls = [c for kind, _, extra in events if kind == "round" for c in extra]
    for call_id, name_, args, result in calls:
        assert f"[Assistant called {name_}]: cmd={args['cmd']}" in text
        error = "[error] " if "error" in result and not name.startswith(("openai", "resp")) \
            else ""
        assert f"[Tool Result ({call_id})]: {error}{result}" in text
    assert text.count("[Assistant called") == len(calls)
    assert text.endswith("[Assistant]: The build passes now.")
    expected = "responses" if name == "responses" else name.split("-")[0]
    assert detect_format(doc) == expected


@pytest.mark.parametrize("part, marker", [
    ({"type": "image_url", "image_url": {"url": "data:image/jpeg;base64," + "A" * 4096}},
     "[image: image/jpeg, 3 KB]"),
    ({"type": "image_url", "image_url": {"url": "https://cdn.example.com/" + "d/" * 40 + "cat.png"}},
     "[image: https://cdn.example.com/.../cat.png]"),
    ({"type": "input_audio", "input_audio": {"data": "A" * 400, "format": "wav"}},
     "[audio: wav, 300 B]"),
    ({"type": "file", "file": {"filename": "report.pdf", "file_data":
                               "data:application/pdf;base64," + "A" * 4000}},
     "[file: report.pdf, application/pdf, 3 KB]"),
    ({"type": "file", "file": {"file_id": "file-abc"}}, "[file: file id file-abc]"),
    ({"type": "input_file", "filename": "a.txt", "file_url": "https://x.example/a.txt"},
     "[file: a.txt, https://x.example/a.txt]"),
    ({"type": "document", "title": "Spec", "source": {"type": "text", "media_type": "text/plain",
                                                      "data": "é" * 600}},
     "[document: Spec, text/plain, 1 KB]"),
    ({"type": "refusal", "refusal": "No."}, "[refusal] No."),
    ({"type": "thinking", "thinking": "plan", "signature": "s"}, "[thinking] plan"),
    ({"type": "redacted_thinking", "data": "xxxx"}, ""),
    ({"type": "future_block", "payload": 1}, "[future_block]"),
])
def test_parts_become_text_or_a_short_marker(part, marker, transcript):
    text = transcript([{"role": "user", "content": [{"type": "text", "text": "see"}, part]}])
    if part["type"] == "thinking":  # a message of its own: the reply is told from it
        assert text == f"[User]: see\n[User]: {marker}"
        return
    assert text == "[User]: see" + (("\n" if part["type"] in ("refusal",
                                                               "future_block") else " ")
                                    + marker if marker else "")


@pytest.mark.parametrize("doc, expected", [
    ([{"role": "assistant", "content": None, "refusal": "I can't help with that."}],
     "[Assistant]: [refusal] I can't help with that."),
    ([{"role": "assistant", "content": None,
       "function_call": {"name": "weather", "arguments": '{"city": "Oslo"}'}},
      {"role": "function", "name": "weather", "content": "rain"}],
     "[Assistant called weather]: city=Oslo\n[Tool Result (weather)]: rain"),
    ([{"role": "developer", "content": "Be brief."}, {"role": "user", "content": "hi",
                                                      "name": "ana"}],
     "[User]: ana: hi"),
    ({"system": [{"type": "text", "text": "S"}], "messages": [{"role": "user", "content": [
        {"type": "tool_result", "tool_use_id": "a", "content": "one"},
        {"type": "text", "text": "between"},
        {"type": "tool_result", "tool_use_id": "b", "content": [{"type": "text", "text": "two"}]},
    ]}]}, "[Tool Result (a)]: one\n[User]: between\n[Tool Result (b)]: two"),
    ([{"role": "assistant", "content": [
        {"type": "text", "text": "first"}, {"type": "tool_use", "id": "t", "name": "ls",
                                            "input": {}},
        {"type": "text", "text": "then"}]}],
     "[Assistant]: first\n[Assistant called ls]: \n[Assistant]: then"),
    ({"model": "gpt", "input": "just a question"}, "[User]: just a question"),
    ([{"type": "web_search_call", "id": "ws", "status": "completed",
       "action": {"type": "search", "query": "ports"}},
      {"type": "image_generation_call", "id": "ig", "status": "completed", "result": png(2048)}],
     "[Assistant called web_search]: type=search, query=ports\n[Tool Result (ws)]: [completed]\n"
     "[Assistant called image_generation]: \n[Tool Result (ig)]: [image: image/png, 2 KB]"),
])
def test_format_specific_messages(doc, expected, transcript):
    assert transcript(doc) == expected


@pytest.mark.parametrize("doc, error", [
    ({"conversation": []}, 'a request body with "messages", got an object with keys conversation'),
    ("text", "expected a list of message objects, got str"),
    ([{"role": "user", "content": "a"}, 7], "message 1 is int, not an object"),
    ([{"speaker": "me", "text": "hi"}], "message 0 is an object with keys speaker, text: not a "
                                        "message of any known format"),
    ([{"role": "tool", "tool_call_id": "x", "content": "r"},
      {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "x", "content": "r"}]}],
     "messages in more than one format (message 0 is openai, message 1 is anthropic)"),
    ([{"role": "system", "content": "only instructions"}],
     "no user, assistant or tool message among 1 openai item(s) (found: system)"),
    ([{"type": "human", "content": "x"}, {"role": "user", "content": "y"}], None),
])
def test_what_no_format_reads_is_an_error_that_says_what_was_found(doc, error):
    if error is None:  # a LangChain dump beside a plain message reads as LangChain
        assert [m["content"] for m in to_messages(doc)] == ["x", "y"]
        return
    with pytest.raises(FormatError, match=re.escape(error)):
        to_messages(doc)


def test_a_forced_format_reads_what_detection_would_not():
    doc = [{"role": "user", "content": "a"}]
    assert read_conversation(doc, "anthropic").format == "anthropic"
    with pytest.raises(FormatError, match="not a LangChain message"):
        read_conversation([{"speaker": "me"}], "langchain")
    with pytest.raises(ValueError, match="input_format must be one of"):
        read_conversation(doc, "cohere")


@pytest.mark.parametrize("name", BUILDERS)
def test_summarize_reads_any_format(name):
    doc = BUILDERS[name](session(4))
    record = asyncio.run(morvex_summarize.summarize(doc))
    assert record["goals"][0] == "Fix the failing build of the payments service."
    assert "6 tool call(s), 6 tool result(s)" in record["summary"]


def test_token_estimate_charges_media_not_their_base64(mod):
    doc = BUILDERS["openai"](session(2, image_size=IMAGE))
    prompts = []

    class Recording(ExtractiveClient):
        async def complete(self, messages, max_tokens):
            prompts.append(messages[0]["content"])
            return await super().complete(messages, max_tokens)

    condenser = Condenser(Recording(), max_tokens=100, keep_last=1, media_tokens={"image": 700})
    text_tokens = Condenser(ExtractiveClient(), max_tokens=100, media_tokens={"image": 0})
    assert condenser.count_tokens(doc) == text_tokens.count_tokens(doc) + 700 < 1000
    asyncio.run(condenser.condense(doc))
    conversation_text = len(mod._format_messages_for_summary(to_messages(doc)))
    assert len(prompts[0]) < conversation_text + len(mod.SUMMARIZE_PROMPT) + 200


# ---- condensing in each format ----------------------------------------------------------

def newest_results(doc, count=3):
    """The texts of the results of the newest ``count`` calls in a conversation."""
    messages = read_conversation(doc).messages
    newest = [tc["id"] for m in messages for tc in m.get("tool_calls") or ()][-count:]
    return [m["content"] for m in messages
            if m["role"] == "tool" and m["tool_call_id"] in newest]


def reasoning_at(doc):
    """The items of a conversation that hold reasoning."""
    conversation = read_conversation(doc)
    return [item for i, item in enumerate(conversation.items)
            if strip_thinking(conversation, i) is not item]


STRATEGIES = strategies()


@pytest.mark.parametrize("strategy", STRATEGIES)
@settings(deadline=None)
@given(name=st.sampled_from(sorted(BUILDERS)), rounds=st.integers(1, 14),
       parallel=st.integers(1, 3), budget=st.integers(60, 600), keep=st.integers(0, 4),
       points=st.lists(st.floats(0, 1), max_size=6), thinking=st.booleans(),
       log_lines=st.sampled_from([0, 6]))
def test_condensing_keeps_pairs_and_every_message_once_in_each_format(
        strategy, name, rounds, parallel, budget, keep, points, thinking, log_lines):
    """The conversation grows (results may arrive one at a time) and is condensed after
    each growth: the output is valid for its API, a call and its results are summarized
    together or kept together, and every item ends in the final list, in exactly one
    summary, or (only reasoning) left out; what stands for it in the list is what clearing
    made of it. Clearing leaves the newest tool uses' results and the newest reasoning."""
    full = BUILDERS[name](session(rounds, parallel=parallel, thinking=thinking,
                                  log_lines=log_lines))
    originals = items_of(full)
    cuts = sorted({max(1, round(p * len(originals))) for p in points}) + [len(originals)]
    condenser = Condenser(ExtractiveClient(), max_tokens=budget, keep_last=keep,
                          strategy=STRATEGIES[strategy])
    kept_uses = next((e.keep for e in STRATEGIES[strategy].edits
                      if isinstance(e, ClearToolResults)), None)
    handed, removed = [], []
    origin = {}  # id(what clearing made) -> (the original item, what clearing made)

    def original(item):
        return origin.get(id(item), (item,))[0]

    async def grow():
        current, state, shown = None, None, 0
        for cut in cuts:
            batch = list(items_of(current) if current is not None else []) + \
                originals[shown:cut]
            shown = cut
            given_ = {**(current or full), "messages": batch} if isinstance(full, dict) \
                else batch
            thought = reasoning_at(given_)
            current, state = await condenser.condense(given_, state)
            for old, new in state.rewritten:
                if new is None:
                    removed.append(original(old))
                else:
                    origin[id(new)] = (original(old), new)
            handed.extend(original(i) for i in state.summarized_messages)
            validate(name, current)
            calls, results = calls_and_results(current)
            assert set(results) <= set(calls), "a result lost its call"
            calls, results = calls_and_results(list(state.summarized_messages))
            assert set(calls) == set(results), "a call was summarized apart from its results"
            if kept_uses is not None:
                assert not any(map(is_placeholder, newest_results(current, kept_uses)))
            if thought:  # the newest reasoning stays, in its item or what clearing made of it
                now = {id(old): new for old, new in state.rewritten}.get(id(thought[-1]),
                                                                         thought[-1])
                assert now is not None and (any(now is i for i in state.summarized_messages)
                                            or any(now is i for i in reasoning_at(current)))
        return current, state

    final, state = asyncio.run(grow())
    known = {id(i) for i in originals}
    kept = [id(original(i)) for i in items_of(final) if id(original(i)) in known]
    assert sorted(kept + [id(i) for i in handed + removed]) == sorted(known)
    assert all(id(original(i)) in known or i is state.context_message
               for i in items_of(final))
    final_calls, final_results = calls_and_results(final)
    assert set(final_calls) <= set(final_results), "a call lost its results"
    summarized = {id(i) for i in handed}
    gone = {id(i) for i in removed}
    for first, second in zip(originals, originals[1:]):
        if isinstance(first, dict) and first.get("type") == "reasoning" \
                and id(first) not in gone:  # with what it led to
            assert (id(first) in summarized) == (id(second) in summarized)


@pytest.mark.parametrize("name", ["anthropic", "anthropic-list"])
@pytest.mark.parametrize("keep", [2, 3])
def test_anthropic_condensing_as_the_api_requires(name, keep):
    """No system role in the messages, the user's message first: the summary joins a
    body's system prompt when the kept messages start with the user's, else it is the
    first user message; nothing else changes."""
    doc = BUILDERS[name](session(20))
    condenser = Condenser(ExtractiveClient(), max_tokens=150, target_tokens=40, keep_last=keep)
    out, state = asyncio.run(condenser.condense(doc))
    validate(name, out)
    messages, originals = items_of(out), items_of(doc)
    in_system = name == "anthropic" and messages[0] is originals[len(originals) - len(messages)]
    if in_system:
        assert out["system"] == SYSTEM + "\n\n" + state.summary_text and out["model"] == "claude-x"
        tail = messages
    else:
        assert messages[0] == {"role": "user", "content": state.summary_text}
        tail = messages[1:]
    assert tail == originals[len(originals) - len(tail):] and len(tail) >= keep
    within, _ = asyncio.run(Condenser(ExtractiveClient(), max_tokens=10**6).condense(out, state))
    assert within == out  # nothing to do: the summary stays where it is
    grown = {**out, "messages": messages + [{"role": "user", "content": "more"}]} \
        if name == "anthropic" else messages + [{"role": "user", "content": "more"}]
    again, later = asyncio.run(condenser.condense(grown, state))
    validate(name, again)
    texts = [again["system"]] if name == "anthropic" else []
    texts += [m["content"] for m in items_of(again) if isinstance(m["content"], str)]
    assert sum(t.count(HEADER + "\n") for t in texts) == 1  # the earlier summary was replaced


@pytest.mark.parametrize("name, role", [("openai", "developer"), ("responses", "developer"),
                                        ("langchain-dicts", "system"), ("langchain", "system")])
def test_context_message_in_the_input_format(name, role):
    doc = BUILDERS[name](session(10))
    out, state = asyncio.run(Condenser(ExtractiveClient(), max_tokens=200,
                                       keep_last=2).condense(doc))
    validate(name, out)
    assert out[0] is doc[0] and out[1] is state.context_message
    context = read_conversation([doc[0], out[1]]).messages[1]
    assert context["content"].startswith(HEADER) and context["role"] == "system"
    if name in ("openai", "responses"):
        assert out[1]["role"] == role


def _responses_output():
    from openai.types.responses import (ResponseFunctionToolCall, ResponseOutputMessage,
                                        ResponseOutputText, ResponseReasoningItem)
    from openai.types.responses.response_reasoning_item import Summary

    return [ResponseReasoningItem(id="rs_1", type="reasoning",
                                  summary=[Summary(type="summary_text", text="look first")]),
            ResponseFunctionToolCall(type="function_call", call_id="c1", name="ls",
                                     arguments='{"p": "/"}'),
            {"type": "function_call_output", "call_id": "c1", "output": "bin etc"},
            ResponseOutputMessage(id="m1", type="message", role="assistant", status="completed",
                                  content=[ResponseOutputText(type="output_text", text="done",
                                                              annotations=[])])]


def _anthropic_message():
    from anthropic.types import Message, TextBlock, ToolUseBlock, Usage

    return [Message(id="m", type="message", role="assistant", model="claude",
                    content=[TextBlock(type="text", text="done"),
                             ToolUseBlock(type="tool_use", id="c1", name="ls", input={"p": "/"})],
                    stop_reason="tool_use", stop_sequence=None,
                    usage=Usage(input_tokens=1, output_tokens=1)),
            {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "c1",
                                          "content": "bin etc"}]}]


def _langchain_blocks():
    from langchain_core.messages import AIMessage, ToolMessage

    return [AIMessage(content=[{"type": "text", "text": "done"},
                               {"type": "tool_use", "id": "c1", "name": "ls",
                                "input": {"p": "/"}}],
                      tool_calls=[{"name": "ls", "args": {"p": "/"}, "id": "c1"}]),
            ToolMessage("bin etc", tool_call_id="c1")]


@pytest.mark.parametrize("replies, name", [(_responses_output, "responses"),
                                           (_anthropic_message, "anthropic"),
                                           (_langchain_blocks, "langchain")])
def test_what_the_sdks_return_is_appended_as_their_docs_show(replies, name, transcript):
    """A model's reply object, appended to the conversation as it came back: each call
    once (LangChain's content blocks repeat its tool_calls), its result, the text."""
    doc = [{"role": "user", "content": "go"}, *replies()]
    assert detect_format(doc) == name
    text = transcript(doc)
    assert text.count("[Assistant called ls]: p=/") == 1
    assert "[Tool Result (c1)]: bin etc" in text and "[Assistant]: done" in text
