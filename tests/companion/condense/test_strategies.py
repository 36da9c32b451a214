"""Clearing as the Anthropic API documents its context edits: worked cases of which tool
uses and thinking turns are cleared, the placeholder a result becomes, and requests whose
edits are refused."""
import asyncio
import json

import pytest

from morvex_summarize.clients.extractive import ExtractiveClient
from morvex_summarize.condense import Condenser, Strategy
from morvex_summarize.condense.clearing import is_placeholder, placeholder
from morvex_summarize.condense.strategies import EditError, from_request

TOOLS = ["bash", "read_file", "bash", "read_file", "bash", "bash"]  # six tool uses, oldest first
OUTPUT = "".join(f"line {n} of the output\n" for n in range(100)) + "3 passed"


def conversation(thinking=False):
    """An Anthropic conversation of six tool uses (ids t0..t5), each with a long result;
    with ``thinking``, each assistant turn starts with a thinking block."""
    messages = [{"role": "user", "content": "Make the tests pass."}]
    for n, tool in enumerate(TOOLS):
        blocks = [{"type": "thinking", "thinking": f"plan {n}", "signature": "c2ln"}] \
            if thinking else []
        arguments = {"command": f"pytest tests/test_{n}.py"} if tool == "bash" \
            else {"path": f"src/m{n}.py"}
        messages.append({"role": "assistant", "content": blocks + [
            {"type": "tool_use", "id": f"t{n}", "name": tool, "input": arguments}]})
        messages.append({"role": "user", "content": [
            {"type": "tool_result", "tool_use_id": f"t{n}", "content": OUTPUT}]})
    messages.append({"role": "assistant", "content": [
        {"type": "thinking", "thinking": "done", "signature": "c2ln"},
        {"type": "text", "text": "All pass."}] if thinking else "All pass."})
    return {"model": "m", "max_tokens": 100, "messages": messages}


def carried_out(edits, body):
    condenser = Condenser(None, max_tokens=10**9,
                          strategy=Strategy("edits", from_request({"edits": edits}), False))
    return asyncio.run(condenser.condense(body))


def cleared_in(body):
    """(ids of the results now placeholders, ids of the calls whose input is empty)."""
    results, inputs = set(), set()
    for message in body["messages"]:
        for block in message["content"] if isinstance(message["content"], list) else ():
            if block["type"] == "tool_result" and is_placeholder(block["content"]):
                results.add(block["tool_use_id"])
            if block["type"] == "tool_use" and block["input"] == {}:
                inputs.add(block["id"])
    return results, inputs


OLDEST_THREE = {"t0", "t1", "t2"}
LOW = {"type": "input_tokens", "value": 1000}  # the conversation counts about 3,500


@pytest.mark.parametrize("edit, results, inputs", [
    # the trigger not reached: nothing, whatever else the edit says
    ({}, set(), set()),
    ({"trigger": {"type": "input_tokens", "value": 50_000}, "keep": {"type": "tool_uses",
                                                                     "value": 0}}, set(), set()),
    ({"trigger": {"type": "tool_uses", "value": 6}}, set(), set()),
    # reached: all but the newest 3 tool uses, or as many as keep says
    ({"trigger": LOW}, OLDEST_THREE, set()),
    ({"trigger": {"type": "tool_uses", "value": 5}}, OLDEST_THREE, set()),
    ({"trigger": LOW, "keep": {"type": "tool_uses", "value": 1}},
     {"t0", "t1", "t2", "t3", "t4"}, set()),
    ({"trigger": LOW, "keep": {"type": "tool_uses", "value": 6}}, set(), set()),
    # clear_at_least not met: nothing; met: as without it
    ({"trigger": LOW, "clear_at_least": {"type": "input_tokens", "value": 5000}}, set(), set()),
    ({"trigger": LOW, "clear_at_least": {"type": "input_tokens", "value": 1000}},
     OLDEST_THREE, set()),
    # excluded tools are never cleared, and do not make room for older ones
    ({"trigger": LOW, "exclude_tools": ["read_file"]}, {"t0", "t2"}, set()),
    # inputs are cleared only when asked, for every tool or the tools named
    ({"trigger": LOW, "clear_tool_inputs": False}, OLDEST_THREE, set()),
    ({"trigger": LOW, "clear_tool_inputs": True}, OLDEST_THREE, OLDEST_THREE),
    ({"trigger": LOW, "clear_tool_inputs": ["bash"]}, OLDEST_THREE, {"t0", "t2"}),
])
def test_clearing_tool_uses_as_the_platform_documents(edit, results, inputs):
    body = conversation()
    out, state = carried_out([{"type": "clear_tool_uses_20250919", **edit}], body)
    assert cleared_in(out) == (results, inputs)
    assert cleared_in(body) == (set(), set())  # the caller's conversation is not changed
    if not results:
        assert out == body and state.applied_edits == ()
        return
    (applied,) = state.applied_edits
    assert applied.as_dict() == {"type": "clear_tool_uses_20250919",
                                 "cleared_tool_uses": len(results),
                                 "cleared_input_tokens": state.tokens_before - state.tokens_after}
    assert applied.cleared_input_tokens > 500 * len(results)


@pytest.mark.parametrize("keep, cleared", [(None, 6), ({"type": "thinking_turns", "value": 3}, 4),
                                           ("all", 0), ({"type": "all"}, 0)])
def test_clearing_thinking_keeps_the_newest_turns(keep, cleared):
    body = conversation(thinking=True)
    edit = {"type": "clear_thinking_20251015", **({"keep": keep} if keep else {})}
    out, state = carried_out([edit], body)
    kept = [m for m in out["messages"] if m["role"] == "assistant"
            and any(b["type"] == "thinking" for b in m["content"])]
    assert len(kept) == 7 - cleared and kept[-1] is body["messages"][-1]
    assert state.cleared_thinking_turns == cleared
    assert [b["type"] for m in out["messages"] for b in m["content"]
            if isinstance(m["content"], list) and b["type"] != "thinking"] == \
        [b["type"] for m in body["messages"] for b in m["content"]
         if isinstance(m["content"], list) and b["type"] != "thinking"]


@pytest.mark.parametrize("name, arguments, output, expected", [
    ("bash", {"command": "pytest -q"}, "x\n" * 200 + "E   AssertionError: 3 != 4\n1 failed",
     "bash, 435 B; failed: AssertionError: 3 != 4"),
    ("bash", json.dumps({"command": "make test"}), "ok\n" * 300 + "Exit code: 0",
     "bash, 912 B; passed"),
    ("str_replace_editor", {"command": "str_replace", "path": "src/app.py"},
     "The file src/app.py has been edited." + " " * 600, "str_replace_editor, 636 B; "
                                                        "changed src/app.py"),
    ("read_file", {"path": "src/app.py"}, "def main():\n" * 90, "read_file, 1 KB"),
    ("bash", {"command": "cat missing.py"}, "cat: missing.py: No such file or directory",
     "bash, 42 B; failed: cat: missing.py: No such file or directory"),
])
def test_a_cleared_result_says_what_was_there_in_one_line(name, arguments, output, expected):
    text = placeholder(name, arguments, output)
    assert text == f"[cleared tool result: {expected}]" and is_placeholder(text)
    assert is_placeholder("[error] " + text) and not is_placeholder(text + "\nmore")


@pytest.mark.parametrize("management, error", [
    ([], "context_management must be an object"),
    ({"edits": [{"type": "compact_20260112"}]}, "not carried out here"),
    ({"edits": [{"type": "clear_tool_uses_20250919", "keep": {"type": "tokens", "value": 2}}]},
     "keep must be an object with type tool_uses"),
    ({"edits": [{"type": "clear_thinking_20251015",
                 "keep": {"type": "thinking_turns", "value": 0}}]}, "at least 1 turn"),
    ({"edits": [{"type": "clear_tool_uses_20250919", "exclude_tools": "bash"}]},
     "exclude_tools must be a list"),
])
def test_a_request_whose_edits_cannot_be_carried_out_is_refused(management, error):
    with pytest.raises(EditError, match=error):
        from_request(management)


class ShownSpy:
    """A summarizer that records what each summary is shown."""

    def __init__(self, mod):
        self.real = mod.ConversationSummarizer(ExtractiveClient())
        self.shown = []

    async def summarize_messages(self, messages, existing_summary=None):
        self.shown.append(list(messages))
        return await self.real.summarize_messages(messages, existing_summary)

    def format_summary_for_context(self, record):
        return self.real.format_summary_for_context(record)


@pytest.mark.parametrize("copied", [False, True])
def test_a_summary_after_clearing_reads_what_was_cleared(mod, copied):
    """Clearing is enough for a while; once it is not, the summary of the cleared items
    reads the outputs as they were, also when the agent handed the list back as a copy,
    never the placeholders."""
    spy = ShownSpy(mod)
    condenser = Condenser(spy, max_tokens=2000, keep_last=2, strategy="hybrid")
    body = conversation(thinking=True)
    first = {**body, "messages": body["messages"][:9]}  # four tool uses: over 2,000

    async def rounds():
        out, state = await condenser.condense(first)
        assert state.rewritten and not state.condensed
        if copied:
            out = json.loads(json.dumps(out))
        notes = {"role": "user", "content": "note " * 2000}  # now clearing cannot do it
        grown = {**out, "messages": out["messages"] + body["messages"][9:] + [notes]}
        return await condenser.condense(grown, state)

    _, state = asyncio.run(rounds())
    assert state.condensed and len(spy.shown) == 1
    shown = spy.shown[0]
    results = [m["content"] for m in shown if m["role"] == "tool"]
    assert len(results) >= 2 and not any(map(is_placeholder, results))
    assert all("line 0 of the output" in r for r in results)
