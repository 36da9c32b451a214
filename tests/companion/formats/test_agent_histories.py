"""Agents' task histories and trajectories read as they lie on disk: which records are the
conversation, how calls meet their results, and that each document stays with its own
format."""
import asyncio
import json
import pathlib

import pytest

import morvex_summarize
from morvex_summarize.formats import (LOG_FORMATS, WrongFormat, detect_format, parse_text,
                                      read_conversation)

LOGS = pathlib.Path(__file__).parent / "logs"
FILES = {"cline": "cline_api_conversation_history.json"}
ENV = {"type": "text", "text": "<environment_details>\n# Current Time\nnow\n</environment_details>"}


def messages(name):
    return read_conversation(LOGS / FILES[name]).messages


def calls(found):
    return [(c["id"], c["function"]["name"], json.loads(c["function"]["arguments"]))
            for m in found for c in m.get("tool_calls") or []]


def results(found):
    return {m["tool_call_id"]: m["content"] for m in found if m["role"] == "tool"}


@pytest.mark.parametrize("name", FILES)
def test_each_log_is_told_from_every_other(name):
    path = LOGS / FILES[name]
    assert read_conversation(parse_text(path.read_text())).format == name
    for other in LOG_FORMATS:
        if other != name:
            with pytest.raises(WrongFormat) as refused:
                read_conversation(path, other)
            assert refused.value.found == name


@pytest.mark.parametrize("doc, found", [
    # Anthropic messages with no key the extension stores, and the chat this reader gives
    ([{"role": "user", "content": [{"type": "text", "text": "Fix x"}]},
      {"role": "assistant", "content": [{"type": "tool_use", "id": "t", "name": "n",
                                         "input": {}}]}], "anthropic"),
    ([{"role": "user", "content": "Fix x\n" + ENV["text"]}], "openai"),
    ([{"role": "user", "ts": 1, "content": [{"type": "text", "text": "Fix x"}]}], "cline"),
    ([{"role": "user", "content": [{"type": "text", "text": "Fix x"}, ENV]}], "cline"),
])
def test_each_document_stays_with_its_format(doc, found):
    if found is None:
        with pytest.raises(ValueError):
            detect_format(doc)
    else:
        assert detect_format(doc) == found


@pytest.mark.parametrize("name, record, skipped", [
    ("cline", {"type": "checkpoint", "hash": "zz"}, ("item checkpoint",)),
])
def test_a_log_is_read_whole_past_records_its_reader_does_not_know(name, record, skipped):
    text = (LOGS / FILES[name]).read_text()
    whole, doc = read_conversation(parse_text(text)), parse_text(text)
    items = doc["history"] if isinstance(doc, dict) else doc
    items.insert(len(items) - 1, record)
    found = read_conversation(doc)
    assert (found.skipped, whole.skipped) == (skipped, ())
    assert found.messages == whole.messages


def test_cline_keeps_tools_called_in_text_and_its_context_apart_from_the_request():
    found = messages("cline")
    assert not any(m.get("tool_calls") or m["role"] == "tool" for m in found)
    first, reply, result = found[:3]
    request = ('slugify() in src/text.py leaves a dash at the end of "Hello, world!". Fix it '
               'and run the tests.')
    assert first["content"].startswith(f"<task>\n{request}\n</task>\n<environment_details>\n")
    assert "<read_file>\n<path>src/text.py</path>" in reply["content"]
    assert result["content"].startswith("[read_file for 'src/text.py'] Result:\nimport re")
    record = asyncio.run(morvex_summarize.summarize(LOGS / FILES["cline"]))
    assert record["goals"] == [request]


def test_cline_native_calls_and_what_roo_condensed():
    doc = [
        {"role": "user", "ts": 1, "content": [{"type": "text", "text": "<task>\nFix a\n</task>"},
                                              ENV]},
        {"role": "assistant", "ts": 2, "condenseParent": "c1", "content": "old reply"},
        {"role": "user", "ts": 3, "truncationParent": "t1", "content": "cut"},
        {"role": "user", "ts": 4, "condenseParent": "gone", "content": "kept: no such condensing"},
        {"role": "assistant", "ts": 5, "isSummary": True, "condenseId": "c1",
         "content": [{"type": "text", "text": "Read a.py.\n"}]},
        {"role": "assistant", "ts": 6, "isTruncationMarker": True, "truncationId": "t1",
         "content": "[1 message hidden]"},
        {"type": "reasoning", "summary": [{"type": "summary_text", "text": "b.py next"}],
         "encrypted_content": "opaque"},
        {"type": "reasoning", "encrypted_content": "opaque"},
        {"role": "assistant", "ts": 7, "content": [
            {"type": "text", "text": "Reading"},
            {"type": "tool_use", "id": "t1", "name": "read_file", "input": {"path": "b.py"}}]},
        {"role": "user", "ts": 8, "content": [
            {"type": "tool_result", "tool_use_id": "t1", "content": "B", "is_error": True}, ENV]},
    ]
    found = read_conversation(doc).messages
    assert [(m["role"], m["content"]) for m in found] == [
        ("user", "<task>\nFix a\n</task>\n" + ENV["text"]), ("user", "kept: no such condensing"),
        ("user", "<compaction-summary>\nRead a.py.\n</compaction-summary>"),
        ("assistant", "[reasoning] b.py next"), ("assistant", "Reading"),
        ("tool", "[error] B"), ("user", ENV["text"])]
    assert calls(found) == [("t1", "read_file", {"path": "b.py"})]
    assert found[5]["tool_call_id"] == "t1"
