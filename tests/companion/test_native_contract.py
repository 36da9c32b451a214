"""Every text the package knows of the native module (morvex_summarize.native), checked
against what the module itself writes: if the module changes one, this fails."""

import asyncio
import json
import logging

import pytest

from morvex.core import summarizer as module
from morvex_summarize import native
from morvex_summarize.clients import Reply

FULL = {"goals": ["ship the parser", "keep the API"], "progress": ["lexer done"],
        "current_state": "writing the grammar", "key_decisions": ["use PEG"],
        "key_facts": ["port 8080"], "blockers": ["CI is red"], "next_steps": ["fix CI"],
        "summary": "A parser project.", "created_at": 0.0}


class Recording:
    """A client that answers with ``reply`` (or raises it) and keeps each request."""

    def __init__(self, reply):
        self.reply = reply
        self.requests = []

    async def complete(self, messages, max_tokens):
        self.requests.append(messages)
        if isinstance(self.reply, BaseException):
            raise self.reply
        return Reply(self.reply)


def summarize(client, messages, previous=None):
    summarizer = module.ConversationSummarizer(client)
    return asyncio.run(summarizer.summarize_messages(messages, previous))


def render(record):
    return module.ConversationSummarizer(None).format_summary_for_context(record)


def test_record_keys_are_the_modules():
    record = summarize(Recording(json.dumps(FULL)), [{"role": "user", "content": "hi"}])
    assert tuple(record) == native.RECORD_KEYS


def test_context_text_header_note_headings_and_bullets():
    text = render(FULL)
    lines = text.split("\n")
    assert lines[0] == native.CONTEXT_HEADER and lines[1] == native.CONTEXT_NOTE
    assert native.is_context_text(text)
    headings = [line for line in lines if line.startswith("#") and line != lines[0]]
    assert headings == list(native.HEADINGS)  # every section, in the rendered order
    bullets = [line[len(native.BULLET):] for line in lines if line.startswith(native.BULLET)]
    listed = [item for key in native.RECORD_KEYS if isinstance(FULL[key], list)
              for item in FULL[key]]
    assert sorted(bullets) == sorted(listed)


@pytest.mark.parametrize("present", [
    ("goals",), ("current_state",), ("summary",), ("blockers", "next_steps"),
    ("goals", "progress", "current_state", "key_decisions", "key_facts", "blockers",
     "next_steps", "summary"),
])
def test_parse_context_reads_back_what_the_module_renders(present):
    record = {key: (FULL[key] if key in present else ([] if isinstance(FULL[key], list) else ""))
              for key in native.RECORD_KEYS}
    assert native.parse_context(render(record)) == {key: FULL[key] for key in present}


def test_request_headings_frame_the_earlier_summary_and_the_transcript():
    client = Recording(json.dumps(FULL))
    summarize(client, [{"role": "user", "content": "go on"}], previous="EARLIER")
    system = client.requests[0][0]["content"]
    earlier_at = system.index(native.PREVIOUS_HEADING + "EARLIER")
    transcript_at = system.index(native.CONVERSATION_HEADING)
    assert earlier_at < transcript_at
    assert system[transcript_at + len(native.CONVERSATION_HEADING):].startswith("[User]: go on")


@pytest.mark.parametrize("message, group, label", [
    ({"role": "user", "content": "hello"}, 1, "User"),
    ({"role": "assistant", "content": "sure"}, 2, "Assistant"),
    ({"role": "assistant", "content": None,
      "tool_calls": [{"id": "c1", "function": {"name": "grep", "arguments": "{}"}}]},
     "tool", "grep"),
    ({"role": "tool", "tool_call_id": "c1", "content": "found"}, "id", "c1"),
])
def test_transcript_entry_pattern_matches_each_kind_of_entry(message, group, label):
    transcript = module._format_messages_for_summary([message])
    match = native.TRANSCRIPT_ENTRY.match(transcript)
    assert match is not None, transcript
    assert match.group(group) == label
    others = [g for g in (1, 2, "tool", "id") if g != group]
    assert all(match.group(g) is None for g in others)


@pytest.mark.parametrize("extra", [0, 1, 40])
def test_tool_results_are_cut_at_the_limit_with_the_mark(extra):
    content = "x" * (native.TOOL_RESULT_LIMIT + extra)
    transcript = module._format_messages_for_summary(
        [{"role": "tool", "tool_call_id": "c", "content": content}])
    body = transcript[native.TRANSCRIPT_ENTRY.match(transcript).end():]
    if extra:
        assert body == content[:native.TOOL_RESULT_LIMIT] + native.TRUNCATION_MARK
    else:
        assert body == content


def test_a_prose_reply_logs_the_parse_warning_that_the_watch_reads(caplog):
    marks = []
    with caplog.at_level(logging.WARNING, logger=native.LOGGER_NAME):
        with native.watch_unparsed(lambda: marks.append("prose")):
            summarize(Recording("not json at all"), [{"role": "user", "content": "hi"}])
        with native.watch_unparsed(lambda: marks.append("json")):
            summarize(Recording(json.dumps(FULL)), [{"role": "user", "content": "hi"}])
    assert [(r.name, r.getMessage()) for r in caplog.records] == [
        (native.LOGGER_NAME, native.PARSE_WARNING)]
    assert marks == ["prose"]


@pytest.mark.parametrize("messages", [
    [{"role": "user", "content": "fix the build"}],
    [{"role": "user", "content": "a" * 300}, {"role": "assistant", "content": "ok"},
     {"role": "user", "content": "and more"}],
    [{"role": "assistant", "content": "no user here"}],
])
def test_a_failing_client_gives_the_fallback_and_the_failure_log(caplog, messages):
    with caplog.at_level(logging.ERROR, logger=native.LOGGER_NAME):
        record = summarize(Recording(RuntimeError("boom")), messages)
    assert [native.is_failure_log(r) for r in caplog.records] == [True]
    assert caplog.records[0].getMessage() == native.FAILURE_PREFIX + "boom"
    assert native.is_fallback_summary(record)
    good = summarize(Recording(json.dumps(FULL)), messages)
    assert not native.is_fallback_summary(good)


def test_a_refused_conversation_is_told_from_other_faults():
    refused = [{"role": "assistant", "content": "x", "tool_calls": [{"function": None}]}]
    with pytest.raises(Exception) as info:
        summarize(Recording(json.dumps(FULL)), refused)
    assert native.raised_by_module(info.value)

    async def own_fault(messages, max_tokens):
        raise KeyError("the caller's")

    with pytest.raises(KeyError) as info:
        asyncio.run(own_fault([], 1))
    assert not native.raised_by_module(info.value)
