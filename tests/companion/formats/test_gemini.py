"""Gemini ``contents``, built with the google-genai SDK's own types: as those objects and as
the REST API's JSON they dump to, read, condensed and put back as the API takes them."""
import asyncio
import base64
import json
import re

import pytest

for _sdk in ("google.genai", "hypothesis"):
    pytest.importorskip(_sdk)

from cli_support import run_tool, stderr_lines  # noqa: E402
from formats_support import SYSTEM, calls_and_results, png, session, strategies  # noqa: E402
from google.genai import types  # noqa: E402
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from morvex_summarize.clients.extractive import ExtractiveClient  # noqa: E402
from morvex_summarize.condense import Condenser  # noqa: E402
from morvex_summarize.formats import (BodyContext, BodyField, FormatError,  # noqa: E402
                                      detect_format, read_conversation, to_messages)

HEADER = "## Conversation History Summary"
SHAPES = ("rest", "sdk")
INSTRUCTION = {"rest": "systemInstruction", "sdk": "system_instruction"}


def dumped(value, shape):
    """The SDK's object as it is, or as the REST API's JSON (camelCase, base64 data)."""
    if shape == "sdk":
        return value
    return value.model_dump(mode="json", by_alias=True, exclude_none=True)


def gemini(events, shape, body=True):
    """A session as ``contents`` (in a request body with its system instruction)."""
    contents = []
    thought = []
    for kind, text, extra in events:
        if kind == "thinking":
            thought = [types.Part(text=text, thought=True)]
        elif kind == "user":
            parts = [types.Part(text=text)]
            if extra:
                parts.append(types.Part(inline_data=types.Blob(
                    mime_type="image/png", data=base64.b64decode(png(extra)))))
            contents.append(types.Content(role="user", parts=parts))
        elif kind == "assistant":
            contents.append(types.Content(role="model", parts=[types.Part(text=text)]))
        else:
            parts = thought + ([types.Part(text=text)] if text else [])
            thought = []
            parts += [types.Part(function_call=types.FunctionCall(id=i, name=n, args=a))
                      for i, n, a, _ in extra]
            contents.append(types.Content(role="model", parts=parts))
            contents.append(types.Content(role="user", parts=[
                types.Part(function_response=types.FunctionResponse(
                    id=i, name=n, response={"output": r})) for i, n, _, r in extra]))
    contents = [dumped(c, shape) for c in contents]
    if not body:
        return contents
    instruction = types.Content(parts=[types.Part(text=SYSTEM)])
    return {"model": "gemini-2.5-flash", INSTRUCTION[shape]: dumped(instruction, shape),
            "contents": contents}


def validated(doc):
    """(contents, system instruction or None), each checked with the SDK's types."""
    contents = doc["contents"] if isinstance(doc, dict) else doc
    checked = [types.Content.model_validate(c) for c in contents]
    instruction = None
    if isinstance(doc, dict):
        key = next((k for k in INSTRUCTION.values() if k in doc), None)
        if key is not None:
            instruction = types.Content.model_validate(doc[key])
    return checked, instruction


def texts(content):
    return [p.text for p in content.parts if p.text is not None]


@pytest.mark.parametrize("shape", SHAPES)
def test_contents_read_into_the_summarizers_messages(shape, mod):
    small = [("user", "Fix the build", 4096),
             ("round", "Running make.", [("c1", "shell", {"cmd": "make"}, "error: no header")]),
             ("assistant", "Added the header.", 0)]
    doc = gemini(small, shape)
    assert detect_format(doc) == detect_format(doc["contents"]) == "gemini"
    assert to_messages(doc) == [
        {"role": "system", "content": SYSTEM},
        {"role": "user", "content": "Fix the build [image: image/png, 4 KB]"},
        {"role": "assistant", "content": "Running make.",
         "tool_calls": [{"id": "c1", "name": "shell", "arguments": {"cmd": "make"}}]},
        {"role": "tool", "tool_call_id": "c1", "content": "error: no header"},
        {"role": "assistant", "content": "Added the header."},
    ]
    transcript = mod._format_messages_for_summary(to_messages(doc))
    assert "[Assistant called shell]: cmd=make\n[Tool Result (c1)]: error: no header" in transcript


@pytest.mark.parametrize("content, expected", [
    # Without ids (as the REST API often sends them), calls and responses pair by name.
    ({"role": "model", "parts": [{"functionCall": {"name": "ls", "args": {}}},
                                 {"text": "then"}]},
     [{"role": "assistant", "content": "", "tool_calls": [
         {"id": "ls", "name": "ls", "arguments": {}}]},
      {"role": "assistant", "content": "then"}]),
    ({"role": "user", "parts": [{"functionResponse": {"name": "ls", "response": {
        "error": "denied"}}}, {"text": "why?"}]},
     [{"role": "tool", "tool_call_id": "ls", "content": "[error] denied"},
      {"role": "user", "content": "why?"}]),
    ({"role": "model", "parts": [{"text": "plan", "thought": True},
                                 {"executableCode": {"language": "PYTHON", "code": "1+1"}},
                                 {"codeExecutionResult": {"outcome": "OUTCOME_OK",
                                                          "output": "2"}}]},
     [{"role": "assistant", "content": "[thinking] plan\n[code] 1+1\n[code output] 2"}]),
    ({"parts": [{"fileData": {"mimeType": "application/pdf",
                              "fileUri": "gs://bucket/report.pdf"}}]},
     [{"role": "user", "content": "[file: application/pdf, gs://bucket/report.pdf]"}]),
])
def test_parts_of_each_kind(content, expected):
    assert read_conversation([content]).messages == expected


@pytest.mark.parametrize("doc, error", [
    ([{"role": "tool", "parts": [{"text": "x"}]}], "message 0: role 'tool' is not user or model"),
    ([{"role": "user", "parts": [{"text": "a"}]},
      {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "x", "content": "r"}]}],
     "messages in more than one format (message 0 is gemini, message 1 is anthropic)"),
])
def test_what_the_reader_refuses(doc, error):
    with pytest.raises(FormatError, match=re.escape(error)):
        to_messages(doc)


def test_a_named_format_meets_gemini_contents():
    """Named, the format reads what detection would leave to the summarizer's own shape,
    and another format's reader stops at a Gemini turn."""
    doc = [{"role": "user", "parts": [{"text": "hi"}]}]
    with pytest.raises(FormatError, match="message 0 is gemini, which the openai reader"):
        read_conversation(doc, "openai")
    with pytest.raises(FormatError, match="message 0: parts is NoneType, not a list"):
        read_conversation([{"role": "user", "content": "hi"}], "gemini")


def test_the_tool_summarizes_and_condenses_a_gemini_request_file(tmp_path):
    doc = gemini(session(12, image_size=200_000), "rest")
    path = tmp_path / "request.json"
    path.write_text(json.dumps(doc), encoding="utf-8")
    done = run_tool(path, "--format", "json", "--llm", "extractive")
    assert done.returncode == 0, done.stderr
    assert "18 tool call(s), 18 tool result(s)" in json.loads(done.stdout)["summary"]
    done = run_tool("condense", path, "--budget", "300", "--keep-last", "3",
                    "--input-format", "gemini", "--llm", "extractive")
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    contents, instruction = validated(out)
    assert out["contents"][-3:] == doc["contents"][-3:]
    assert len(contents) < len(doc["contents"])
    assert texts(instruction)[0] == SYSTEM and texts(instruction)[1].startswith(HEADER)
    assert "messages summarized" in stderr_lines(done)[-1]


STRATEGIES = strategies()


@pytest.mark.parametrize("strategy", STRATEGIES)
@settings(deadline=None)
@given(shape=st.sampled_from(SHAPES), body=st.booleans(), rounds=st.integers(1, 12),
       parallel=st.integers(1, 3), budget=st.integers(60, 600), keep=st.integers(0, 4),
       role=st.sampled_from(["system", "user"]), growths=st.integers(1, 3),
       thinking=st.booleans(), log_lines=st.sampled_from([0, 6]))
def test_condensed_contents_are_valid_and_read_back(strategy, shape, body, rounds, parallel,
                                                    budget, keep, role, growths, thinking,
                                                    log_lines):
    """The conversation grows and is condensed after each growth: the output is valid for
    the SDK, keeps each call with its response, holds the summary where Gemini takes it
    (the system instruction, else a user turn in front) and reads back with the summary
    recognised, so a later condensing replaces it and every content ends in the list, in
    exactly one summary or (only thoughts) left out; what stands for it in the list is what
    clearing made of it."""
    full = gemini(session(rounds, parallel=parallel, thinking=thinking, log_lines=log_lines),
                  shape, body)
    originals = full["contents"] if body else full
    step = max(1, len(originals) // growths)
    cuts = list(range(step, len(originals), step))[:growths - 1] + [len(originals)]
    condenser = Condenser(ExtractiveClient(), max_tokens=budget, keep_last=keep,
                          context_role=role, strategy=STRATEGIES[strategy])
    handed, removed = [], []
    origin = {}  # id(what clearing made) -> (the original content, what clearing made)

    def original(item):
        return origin.get(id(item), (item,))[0]

    async def grow():
        current, state, shown = None, None, 0
        for cut in cuts:
            before = current if current is not None else full
            kept = (before["contents"] if body else before) if current is not None else []
            batch = list(kept) + originals[shown:cut]
            shown = cut
            current, state = await condenser.condense(
                {**before, "contents": batch} if body else batch, state)
            for old, new in state.rewritten:
                if new is None:
                    removed.append(original(old))
                else:
                    origin[id(new)] = (original(old), new)
            handed.extend(original(i) for i in state.summarized_messages)
            contents, instruction = validated(current)
            calls, results = calls_and_results(current)
            assert set(results) <= set(calls), "a response lost its call"
            calls, results = calls_and_results(list(state.summarized_messages))
            assert set(calls) == set(results), "a call was summarized apart from its response"
            if body:
                assert texts(instruction)[0] == SYSTEM
            if not state.summarized:
                continue
            read = read_conversation(current)
            assert read.format == "gemini"
            if body and role == "system":
                assert texts(instruction)[-1].startswith(HEADER + "\n")
                assert isinstance(state.context_message, BodyContext)
                assert [type(i) for i in read.items[:2]] == [BodyField, BodyContext]
            else:
                assert contents[0].role == "user" and texts(contents[0])[0].startswith(HEADER)
                assert (current["contents"] if body else current)[0] is state.context_message
                assert len(texts(instruction)) == 1 if body else instruction is None
            assert json.dumps(current, default=repr).count(HEADER) == 1
        return current, state

    final, state = asyncio.run(grow())
    final_items = final["contents"] if body else final
    known = {id(i) for i in originals}
    kept_ids = [id(original(i)) for i in final_items if id(original(i)) in known]
    assert sorted(kept_ids + [id(i) for i in handed + removed]) == sorted(known)
    calls, results = calls_and_results(final)
    assert set(calls) <= set(results), "a call lost its response"
