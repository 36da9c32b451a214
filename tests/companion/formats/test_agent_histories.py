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
FILES = {"cline": "cline_api_conversation_history.json", "gemini-cli": "gemini_cli.jsonl",
         "openhands": "openhands_v0.json"}
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
    # a /chat save checkpoint is Gemini contents; a record with a session id beside its type
    # and uuid is Claude Code's
    ([{"role": "user", "parts": [{"text": "Fix x"}]}], "gemini"),
    ([{"type": "user", "uuid": "a", "parentUuid": None, "sessionId": "s", "startTime": "t",
       "message": {"role": "user", "content": "Fix x"}}], "claude-code"),
    ({"sessionId": "s", "startTime": "t", "messages": []}, "gemini-cli"),
    ({"history": [{"role": "user", "content": "Fix x"}], "info": {}}, "swe-agent"),
    ([{"action": "ls", "observation": "a.py", "thought": "look"}], None),
])
def test_each_document_stays_with_its_format(doc, found):
    if found is None:
        with pytest.raises(ValueError):
            detect_format(doc)
    else:
        assert detect_format(doc) == found


@pytest.mark.parametrize("name, record, skipped", [
    ("cline", {"type": "checkpoint", "hash": "zz"}, ("item checkpoint",)),
    ("gemini-cli", {"id": "t1", "type": "topic", "content": "zz"}, ("record topic",)),
    ("openhands", {"id": 99, "source": "agent", "kind": "HoloEvent", "data": "zz"},
     ("record HoloEvent",)),
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


def test_gemini_cli_session_lines_rewound_and_rewritten():
    found = messages("gemini-cli")
    text = json.dumps(found)
    assert "write_csv" not in text and "cached credentials" not in text  # rewound, info
    assert [m["content"] for m in found if m["role"] == "user"] == [
        "The CSV export in report.py drops the header row. Fix it.",
        "Keep the name; just fix the header and run the tests.",
        "<console>\n[error] [API Error: You exceeded your current quota.]\n</console>"]
    assert found[1]["content"] == ("[thinking] Locating the writer: The header is probably "
                                   "skipped by an off-by-one slice.\nI'll look at the export code.")
    # the reply written twice is read once, each call followed by its result
    assert [c[0] for c in calls(found)] == ["read_file-1", "replace-2", "run_shell_command-3"]
    assert [m.get("tool_call_id", m["role"]) for m in found] == [
        "user", "assistant", "read_file-1", "user", "assistant", "replace-2",
        "run_shell_command-3", "user"]
    assert results(found)["run_shell_command-3"].startswith("[error] Output: F\n")


@pytest.mark.parametrize("call, result", [
    ({"status": "success", "result": [{"functionResponse": {"id": "other", "name": "f",
                                                            "response": {"output": "done"}}}]},
     "done"),
    ({"status": "error", "result": [{"functionResponse": {"name": "f",
                                                          "response": {"error": "boom"}}}]},
     "[error] boom"),
    ({"status": "error", "resultDisplay": "No such file"}, "[error] No such file"),
    ({"status": "cancelled"}, "[cancelled]"),
    ({"status": "success", "resultDisplay": {"fileDiff": "+x"}}, None),
])
def test_gemini_cli_reads_a_call_by_its_status(call, result):
    doc = {"sessionId": "s", "projectHash": "p", "messages": [
        {"id": "u", "type": "user", "content": "Go"},
        {"id": "w", "type": "warning", "content": [{"text": "Slow"}]},
        {"id": "x", "type": "topic", "content": "skipped"},
        {"id": "g", "type": "gemini", "content": "",
         "toolCalls": [{"id": "c1", "name": "f", "args": {"a": 1}, **call}]}]}
    found = read_conversation(doc).messages
    assert [m["role"] for m in found] == ["user", "user", "assistant"] + ["tool"] * bool(result)
    assert found[1]["content"] == "<console>\n[warning] Slow\n</console>"
    assert calls(found) == [("c1", "f", {"a": 1})]
    assert results(found) == ({"c1": result} if result else {})


def test_openhands_v0_calls_as_the_model_made_them_and_the_run_end():
    found = messages("openhands")
    assert found[0] == {"role": "user", "content": "tests/test_units.py fails: convert(1, 'km', "
                                                   "'m') returns 100. Fix units.py."}
    made = calls(found)
    # the arguments are the model's, not the event's (which lack the risk it named)
    assert made[0] == ("call_1", "execute_bash", {"command": "grep -n km /workspace/units.py",
                                                  "security_risk": "LOW"})
    assert [c[1] for c in made] == ["execute_bash", "str_replace_editor", "execute_bash",
                                    "finish"]
    ended = results(found)
    assert ended["call_3"].startswith("Exit code: 1\nF.\nFAILED")
    assert ended["call_4"] == ("The run ended (agent state: finished) and submitted this "
                               "patch:\n\ndiff --git a/units.py b/units.py")
    assert "Workspace" not in json.dumps(found) and "OpenHands agent" not in json.dumps(found)


def test_openhands_v0_without_call_records_pairs_by_cause():
    events = [[{"id": 1, "source": "user", "action": "message", "args": {"content": "Fix x"}},
               {"id": 2, "source": "environment", "observation": "null", "content": ""}],
              {"id": 3, "source": "agent", "action": "write",
               "args": {"path": "x.py", "content": "X", "thought": "Writing"}},
              {"id": 4, "source": "agent", "action": "run", "args": {"command": "make"}},
              {"id": 5, "cause": 4, "observation": "run", "content": "boom",
               "extras": {"exit_code": 2}},
              {"id": 6, "cause": 3, "observation": "write", "content": "written"},
              {"id": 8, "source": "user", "action": "run", "args": {"command": "ls"}},
              {"id": 9, "cause": 8, "observation": "run", "content": "x.py"},
              {"id": 10, "source": "agent", "action": "run_ipython", "args": {"code": "1/0"}},
              {"id": 11, "cause": 10, "observation": "run", "content": "ZeroDivisionError\n"
               "[Command finished with exit code 1]", "extras": {"metadata": {"exit_code": 1}}},
              {"id": 7, "source": "agent", "observation": "error", "content": "stuck in a loop"}]
    found = read_conversation({"instance_id": "i", "history": events}).messages
    assert calls(found) == [("event-3", "str_replace_editor",
                             {"command": "create", "path": "x.py", "file_text": "X"}),
                            ("event-4", "execute_bash", {"command": "make"}),
                            ("event-10", "execute_ipython_cell", {"code": "1/0"})]
    assert found[1]["content"] == "Writing"
    assert results(found) == {"event-4": "Exit code: 2\nboom", "event-3": "written",
                              "event-10": "ZeroDivisionError\n[Command finished with exit "
                                          "code 1]"}
    assert found[-1] == {"role": "user", "content": "<console>\n[error] stuck in a loop\n"
                                                    "</console>"}


def test_openhands_v1_events():
    def event(kind, **fields):
        return {"kind": kind, "id": fields.pop("id", kind), "source": "agent", **fields}
    doc = [event("SystemPromptEvent", system_prompt={"text": "You are..."}),
           event("MessageEvent", source="user",
                 llm_message={"role": "user", "content": [{"type": "text", "text": "Fix y"}]}),
           event("ActionEvent", id="a1", tool_name="terminal", tool_call_id="c1",
                 tool_call={"id": "c1", "name": "terminal", "arguments": '{"command": "make"}'},
                 thought=[{"type": "text", "text": "Build it"}], reasoning_content="why",
                 llm_response_id="r1"),
           event("ActionEvent", id="a2", tool_name="file_editor", tool_call_id="c2",
                 action={"kind": "FileEditorAction", "command": "view", "path": "y.py"},
                 llm_response_id="r1"),
           event("ObservationEvent", tool_call_id="c1", action_id="a1", observation={
               "kind": "TerminalObservation", "content": [{"type": "text", "text": "fail"}],
               "exit_code": 2, "timeout": False}),
           event("ConversationStateUpdateEvent", key="agent_status", value="running"),
           event("ObservationEvent", action_id="a2", observation={
               "kind": "FileEditorObservation", "output": "missing", "is_error": True}),
           event("ActionEvent", id="a3", tool_name="terminal", tool_call_id="c3",
                 tool_call={"arguments": '{"command": "rm -rf /"}'}, llm_response_id="r2"),
           event("UserRejectObservation", tool_call_id="c3", rejection_reason="unsafe"),
           event("AgentErrorEvent", tool_call_id="c9", error="model timed out")]
    found = read_conversation(doc).messages
    assert [m["role"] for m in found] == ["user", "assistant", "tool", "tool", "assistant",
                                          "tool", "user"]
    assert found[1]["content"] == "[thinking] why\nBuild it"
    assert calls(found) == [("c1", "terminal", {"command": "make"}),
                            ("c2", "file_editor", {"command": "view", "path": "y.py"}),
                            ("c3", "terminal", {"command": "rm -rf /"})]
    assert results(found) == {"c1": "Exit code: 2\nfail", "c2": "[error] missing",
                              "c3": "[error] rejected by the user: unsafe"}
    assert found[-1]["content"] == "<console>\n[error] model timed out\n</console>"
