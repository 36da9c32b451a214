"""Agents' session logs read as they lie on disk: which records are the conversation, what
each step did, how the run ended, and which format a file is."""
import asyncio
import json
import pathlib

import pytest

import morvex_summarize
from morvex_summarize.formats import (FORMATS, LOG_FORMATS, FormatError, LogText, WrongFormat,
                                      parse_text, read_conversation, read_file)

LOGS = pathlib.Path(__file__).parent / "logs"
FILES = {"claude-code": "claude_code.jsonl", "codex": "codex.jsonl", "swe-agent": "run.traj",
         "mini-swe-agent": "run.traj.json", "aider": ".aider.chat.history.md"}


def messages(name):
    return read_file(LOGS / FILES[name]).messages


def said(found, role):
    return [m["content"] for m in found if m["role"] == role]


def calls(found):
    return [c["function"]["name"] for m in found for c in m.get("tool_calls") or []]


def jsonl(*records):
    return "\n".join(json.dumps(r) for r in records) + "\n"


def record(uuid, parent, kind, content, **extra):
    message = {"role": kind, "content": content, **extra.pop("message", {})}
    return {"type": kind, "uuid": uuid, "parentUuid": parent, "sessionId": "s",
            "message": message, **extra}


def test_claude_code_reads_the_chain_to_the_last_record():
    found = messages("claude-code")
    # the reply written in three records is one: its thinking, then its text and call
    assert said(found, "assistant")[:2] == ["[thinking] The parser probably lacks a week "
                                            "pattern.", "I'll read the parser first."]
    assert calls(found) == ["Read", "Edit", "Bash"]
    text = json.dumps(found)
    assert "abandoned branch" not in text and "tu_3" not in text  # rewound past
    assert "sub-agent" not in text and "Caveat" not in text  # sidechain, meta record
    assert "Auto-compact" not in text and "Week dates" not in text  # system, summary
    assert said(found, "user") == [
        "The date parser in src/dates.py rejects ISO week dates like 2024-W05-3. Fix it "
        "and run the tests.", "Run only the week-date tests first."]


@pytest.mark.parametrize("logical", ["a2", "gone"])  # the leaf it names, or one never written
def test_claude_code_reads_across_a_compaction_with_its_summary_as_context(logical):
    text = jsonl(
        record("a1", None, "user", "old request"),
        record("a2", "a1", "assistant", [{"type": "text", "text": "Done."}]),
        {"type": "system", "subtype": "compact_boundary", "uuid": "b", "parentUuid": None,
         "logicalParentUuid": logical, "sessionId": "s"},
        record("c", "b", "user", "Earlier: fixed the parser.", isCompactSummary=True),
        record("d", "c", "user", "Now add tests."),
        record("e", "d", "assistant", [{"type": "text", "text": "Adding"}],
               message={"id": "m1"}))[:-8]  # the last line cut short while written
    found = read_conversation(parse_text(text)).messages
    assert [m["content"] for m in found] == [
        "old request", "Done.",
        "<compaction-summary>\nEarlier: fixed the parser.\n</compaction-summary>",
        "Now add tests."]


BROKEN = {
    # a record lost: the last reply names a parent the file does not hold
    "lost": ([record("u1", None, "user", "Fix the parser. Do not touch the tests."),
              record("a1", "u1", "assistant", "Reading it."),
              record("a2", "gone", "assistant", "The parser is fixed.")],
             ["Fix the parser. Do not touch the tests.", "Reading it.",
              "The parser is fixed."], True),
    # a file that starts mid-session (resumed): nothing before the break is lost
    "resumed": ([record("u1", "earlier", "user", "Go on with the parser."),
                 record("a1", "u1", "assistant", "The parser is fixed.")],
                ["Go on with the parser.", "The parser is fixed."], False),
}


@pytest.mark.parametrize("name", list(BROKEN))
def test_a_chain_that_breaks_is_read_in_file_order_with_a_warning(name):
    records, contents, warned = BROKEN[name]
    conversation = read_conversation(parse_text(jsonl(*records)))
    assert [m["content"] for m in conversation.messages] == contents
    assert bool(conversation.warnings) == warned
    assert all("record 3's parentUuid" in w for w in conversation.warnings)


def use(ident):
    return {"type": "tool_use", "id": ident, "name": "Bash", "input": {"command": ident}}


def answer(ident):
    return [{"type": "tool_result", "tool_use_id": ident, "content": f"out {ident}"}]


@pytest.mark.parametrize("count", [2, 3])
def test_claude_code_reads_every_result_of_calls_made_in_one_reply(count):
    # each call is a record linked to the one before; each result hangs off its call, and
    # only the last result leads on to the next reply
    ids = [f"t{n}" for n in range(count)]
    calls = [record(f"c{n}", "u" if n == 0 else f"c{n - 1}", "assistant", [use(i)],
                    message={"id": "m1"}) for n, i in enumerate(ids)]
    results = [record(f"r{n}", f"c{n}", "user", answer(i)) for n, i in enumerate(ids)]
    text = jsonl(record("u", None, "user", "Run the checks."), *calls, *results,
                 record("e", f"r{count - 1}", "assistant", [{"type": "text", "text": "Done."}]))
    found = read_conversation(parse_text(text)).messages
    assert [c["id"] for c in found[1]["tool_calls"]] == ids
    assert [(m["tool_call_id"], m["content"]) for m in found[2:-1]] == \
        [(i, f"out {i}") for i in ids]
    assert found[-1]["content"] == "Done."


@pytest.mark.parametrize("prompt", [
    "Also check the docs.",  # typed while the agent worked
    "<task-notification>\n<status>completed</status>\n<result>Two callers.</result>\n"
    "</task-notification>",  # a background sub-agent's end, with its result
])
def test_claude_code_reads_what_reached_the_agent_while_it_worked(prompt):
    queued = {"type": "attachment", "uuid": "q", "parentUuid": "r", "sessionId": "s",
              "attachment": {"type": "queued_command", "prompt": prompt,
                             "commandMode": "prompt"}}
    text = jsonl(record("u", None, "user", "Find the callers."),
                 record("a", "u", "assistant", [use("t1")]),
                 record("r", "a", "user", answer("t1")), queued,
                 record("e", "q", "assistant", [{"type": "text", "text": "Done."}]))
    found = read_conversation(parse_text(text)).messages
    assert [(m["role"], m["content"]) for m in found[-3:]] == [
        ("tool", "out t1"), ("user", prompt), ("assistant", "Done.")]


def test_a_sub_agents_own_transcript_is_its_conversation():
    side = {"isSidechain": True, "agentId": "x1"}
    text = jsonl(record("s1", None, "user", "Find every caller of parse().", **side),
                 record("s2", "s1", "assistant", [{"type": "text", "text": "Two callers."}],
                        **side))
    assert said(read_conversation(parse_text(text)).messages, "assistant") == ["Two callers."]


def test_codex_reads_the_history_before_a_compaction():
    rollout = [json.loads(line) for line in (LOGS / FILES["codex"]).read_text().splitlines()]
    rollout.insert(-1, {"timestamp": "t", "type": "compacted", "payload": {
        "message": "Added the flag.", "replacement_history": [
            {"type": "message", "role": "user", "content": "replaced"}]}})
    before = messages("codex")
    assert read_conversation(rollout).messages == before[:-1] + [
        {"role": "user", "content": "<compaction-summary>\nAdded the flag.\n"
                                    "</compaction-summary>"}, before[-1]]


def test_codex_reads_calls_made_in_one_reply_as_one_message():
    def item(payload):
        return {"timestamp": "t", "type": "response_item", "payload": payload}

    def call(ident):
        return item({"type": "function_call", "call_id": ident, "name": "exec_command",
                     "arguments": json.dumps({"cmd": ident})})

    def output(ident):
        return item({"type": "function_call_output", "call_id": ident, "output": ident})

    rollout = [item({"type": "message", "role": "user", "content": "Check."}),
               call("a"), call("b"), output("b"), output("a"), call("c"), output("c")]
    found = read_conversation(rollout).messages
    assert [[c["id"] for c in m["tool_calls"]] for m in found if "tool_calls" in m] == \
        [["a", "b"], ["c"]]
    assert [m["role"] for m in found] == ["user", "assistant", "tool", "tool", "assistant",
                                          "tool"]


@pytest.mark.parametrize("name, head, middle, skipped", [
    # a new kind of record first in the file, one among the others, a new content block
    ("claude-code", {"type": "agent-label", "sessionId": "s1", "label": "x"},
     record("n1", "a8", "assistant", [{"type": "text", "text": "tail"},
                                      {"type": "canvas", "data": "zz"}]),
     ("record agent-label", "block canvas")),
    ("codex", {"timestamp": "t", "type": "room_state", "payload": {"files": 3}},
     {"timestamp": "t", "type": "response_item", "payload": {"type": "whiteboard",
                                                             "strokes": "zz"}},
     ("record room_state", "item whiteboard")),
])
def test_a_log_is_read_whole_past_kinds_its_reader_does_not_know(name, head, middle, skipped):
    lines = (LOGS / FILES[name]).read_text().splitlines()
    text = "\n".join([json.dumps(head), *lines[:-1], json.dumps(middle), lines[-1]])
    found = read_conversation(parse_text(text))
    assert found.format == name and found.skipped == skipped
    assert "zz" not in json.dumps(found.messages)
    assert said(found.messages, "user") == said(messages(name), "user")
    assert read_file(LOGS / FILES[name]).skipped == ()


@pytest.mark.parametrize("name, records", [
    ("claude-code", [{"type": kind, "sessionId": "s"} for kind in (
        "api-request-route", "atis-latch", "api-request-shape", "api-request", "tools-used",
        "cost-state")] + [{"type": "api-request-blob", "sessionId": "s", "hash": "h",
                           "message": {"role": "system", "content": "copy"}}]),
    ("codex", [{"timestamp": "t", "type": kind, "payload": {"turn_id": "x"}}
               for kind in ("world_state", "token_usage_record")]),
])
def test_the_harness_records_current_releases_write_are_known(name, records):
    lines = (LOGS / FILES[name]).read_text().splitlines()
    text = "\n".join([lines[0], *map(json.dumps, records), *lines[1:]])
    found = read_conversation(parse_text(text))
    assert (found.format, found.skipped) == (name, ())
    assert found.messages == messages(name)


def test_codex_reads_the_response_items_alone():
    found = messages("codex")
    assert found[0] == {"role": "system", "content": "You are a coding agent working in /repo."}
    users = said(found, "user")
    assert users[0].startswith("<user_instructions>") and users[2] == \
        "Add a --verbose flag to cli.py."
    assert len(users) == 3  # the event repeating the request is no message
    assert calls(found) == ["shell", "apply_patch", "local_shell"]
    results = said(found, "tool")
    assert results[2].startswith("Exit code: 1\nFAILED")  # the exit code a shell shows
    assert not any("gAAAA" in str(m) or "[reasoning]" in str(m) for m in found)


def test_swe_agent_reads_history_without_demonstrations_and_ends_with_the_patch():
    found = messages("swe-agent")
    assert "demonstration" not in json.dumps(found)
    assert calls(found)[-1] == "submit"
    last = found[-1]
    assert last["role"] == "tool" and last["tool_call_id"] == "call_d"
    assert "exit status: submitted" in last["content"] and "+++ b/src/slug.py" in \
        last["content"]


@pytest.mark.parametrize("history, info, end", [
    # a run acting in text: its last command is answered by the end
    ([{"role": "assistant", "content": "Done.\n```\nsubmit\n```"}],
     {"exit_status": "submitted", "submission": "diff --git a/x.py b/x.py"},
     {"role": "user", "content": "The run ended (exit status: submitted) and submitted "
                                 "this patch:\n\ndiff --git a/x.py b/x.py"}),
    # stopped by its harness, everything answered: a note of its own
    ([{"role": "assistant", "content": "Looking."}, {"role": "user", "content": "ok"}],
     {"exit_status": "exit_cost"},
     {"role": "user", "content": "The run ended (exit status: exit_cost) without "
                                 "submitting a patch."}),
    ([{"role": "assistant", "content": "Looking."}], {"exit_status": "submitted"}, None),
])
def test_swe_agent_reads_the_end_from_info(history, info, end):
    doc = {"history": [{"role": "user", "content": "Fix x."}, *history], "info": info}
    found = read_conversation(doc).messages
    assert found[-1] == (end or found[-1]) and len(found) == 1 + len(history) + bool(end)


def test_mini_swe_agent_acts_in_text_and_ends_with_its_submission():
    found = messages("mini-swe-agent")
    assert found[-2]["content"].endswith("git diff --cached\n```")
    assert found[-1]["role"] == "user" and "+++ b/calc/ops.py" in found[-1]["content"]
    doc = json.loads((LOGS / FILES["mini-swe-agent"]).read_text())
    doc["messages"].append({"role": "exit", "content": "diff --git a/calc/ops.py b/calc/ops.py"})
    assert read_conversation(doc).messages[-1] == {
        "role": "user", "content": "diff --git a/calc/ops.py b/calc/ops.py"}


def test_aider_turns_console_and_replies():
    found = messages("aider")
    assert [m["role"] for m in found] == ["system", "user", "user", "assistant", "user",
                                          "user", "system", "user", "assistant", "user"]
    assert found[0]["content"].startswith("aider chat started at 2025-01-10 09:12:01\n")
    assert found[1]["content"] == "<console>\n/add src/greet.py\nAdded src/greet.py to the " \
                                  "chat\n</console>"
    assert "<<<<<<< SEARCH" in found[3]["content"]
    assert found[4]["content"].startswith("<console>\nTokens:")
    assert found[5]["content"].startswith('$ python -c "import greet"\nTraceback')
    assert found[6]["content"] == "aider chat started at 2025-01-11 14:00:00\nAider v0.70.0"


@pytest.mark.parametrize("name", FILES)
def test_each_log_is_told_from_the_others(name):
    path = LOGS / FILES[name]
    assert read_conversation(path).format == name
    assert read_conversation(parse_text(path.read_text())).format == name
    for other in LOG_FORMATS:
        if other != name:
            with pytest.raises(WrongFormat) as refused:
                read_conversation(path, other)
            assert (refused.value.index, refused.value.found) == (None, name)


@pytest.mark.parametrize("doc, named, found", [
    ([{"role": "user", "content": "hi"}], "claude-code", "openai"),
    ({"contents": [{"role": "user", "parts": [{"text": "hi"}]}]}, "swe-agent", "gemini"),
    (LogText("aider", "# aider chat started at 1\n#### hi\n"), "openai", "aider"),
])
def test_a_document_read_as_another_format_is_refused_with_its_own(doc, named, found):
    with pytest.raises(WrongFormat, match=f"is {found}, which the {named} reader"):
        read_conversation(doc, named)


def test_text_of_no_format_is_refused():
    with pytest.raises(FormatError, match="not JSON, nor the text of a log"):
        parse_text("# notes\n\nnothing here\n")
    assert set(LOG_FORMATS) < set(FORMATS)


def test_the_library_summarizes_a_log_by_its_path():
    record = asyncio.run(morvex_summarize.summarize(LOGS / FILES["aider"]))
    assert record["goals"][0] == 'Make greet() take an optional name that defaults to "world".'
    assert any("docs/greet.md" in item for item in record["progress"])
