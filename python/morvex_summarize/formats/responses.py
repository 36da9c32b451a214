"""OpenAI Responses API input items: messages (and the short ``{"role", "content"}`` form),
``function_call`` / ``function_call_output`` paired by ``call_id``, the other tool calls and
their outputs, and ``reasoning`` items."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .base import BodyField, Conversation, Converted, FormatError, Message, Reader, call, one
from .parts import Rendered, content_text, is_map, plain, render_parts, text_of

NAME = "responses"

# Content parts that only this format has.
OWN_PARTS = frozenset({"input_text", "output_text", "input_image", "input_file"})
# Items with no content for a summary.
SILENT = frozenset({"item_reference", "compaction", "compaction_trigger", "mcp_list_tools",
                    "additional_tools", "configuration_update", "tool_search_output"})
# Items that stand for history no summary can read: a compaction of all before it, a
# stored item named by reference.
OPAQUE = frozenset({"item_reference", "compaction"})
_ARGUMENT_KEYS = ("arguments", "input", "action", "actions", "code", "queries", "operation")
_OUTPUT_KEYS = ("output", "outputs", "result", "results")


# Items the server ran code for: a call, with its output in the same item or the next.
_RUN = frozenset({"program", "mcp_approval_request"})


def is_own(item: Mapping[str, Any]) -> bool:
    """An item of a type other than "message" that this format writes."""
    kind = item.get("type")
    return isinstance(kind, str) and (
        kind == "reasoning" or kind.endswith(("_call", "_output")) or kind in SILENT
        or kind in _RUN or kind.startswith("mcp_"))


def _owns_item(item: Mapping[str, Any]) -> bool:
    return is_reference(item) or is_own(item)


def is_reference(item: Mapping[str, Any]) -> bool:
    """An item reference written without its optional type: ``{"id": ...}`` alone."""
    return len(item) == 1 and isinstance(item.get("id"), str) or (
        len(item) == 2 and "id" in item and item.get("type", "") is None)


def _arguments(item: Mapping[str, Any]) -> Any:
    for key in _ARGUMENT_KEYS:
        if item.get(key) is not None:
            return item[key]
    return {}


def _output_text(value: Any) -> tuple[str, dict[str, int]]:
    if isinstance(value, str) or value is None:
        return value or "", {}
    if is_map(value) or isinstance(value, (list, tuple)):
        return content_text(value)
    return text_of(value), {}


def _result(call_id: Any, value: Any) -> Converted:
    text, media = _output_text(value)
    return one({"role": "tool", "tool_call_id": call_id, "content": text}, media)


def convert(item: Any, message: Mapping[str, Any], where: str) -> Converted:
    kind = message.get("type")
    if kind is None and is_reference(message):
        return Converted([], opaque=True)
    if kind in (None, "message"):
        role = message.get("role")
        if not isinstance(role, str):
            raise FormatError(f"{where}: a message item without a role")
        text, found = content_text(message.get("content"))
        return one({"role": "system" if role == "developer" else role, "content": text}, found)
    if not isinstance(kind, str):
        raise FormatError(f"{where}: item type {kind!r} is not a string")
    if kind == "reasoning":
        # The API wants a reasoning item followed by the item it led to: they stay together.
        out = Rendered()
        render_parts(message.get("summary"), out)
        render_parts(message.get("content"), out)
        if not out.pieces:
            return Converted([], leads=True)
        return Converted([{"role": "assistant", "content": f"[reasoning] {out.text()}"}],
                         leads=True)
    if kind.endswith("_output"):
        call_id = message.get("call_id") or message.get("id")
        if kind == "local_shell_call_output":
            call_id = message.get("id") or message.get("call_id")
        return _result(call_id, message.get("output"))
    if kind.endswith("_call") or kind in _RUN:
        name = message.get("name") or (kind[:-5] if kind.endswith("_call") else kind)
        call_id = message.get("call_id")
        if call_id is not None:
            return one({"role": "assistant", "content": "",
                        "tool_calls": [call(call_id, name, _arguments(message))]})
        # A tool the server ran itself: the call and what it gave, in one item.
        call_id = message.get("id") or kind
        messages: list[Message] = [{"role": "assistant", "content": "",
                                    "tool_calls": [call(call_id, name, _arguments(message))]}]
        media: Mapping[str, int] = {}
        output = next((message[k] for k in _OUTPUT_KEYS if message.get(k) is not None), None)
        if kind == "image_generation_call" and isinstance(output, str):
            output = [{"type": "image", "base64": output,
                       "mime_type": f"image/{message.get('output_format') or 'png'}"}]
        if output is None and not message.get("error"):
            # nothing it gave is kept (a web search's hits): how it ended stands for it, so
            # that no call is left without its result
            output = f"[{message.get('status') or 'no output'}]"
        result = _result(call_id, output if output is not None else
                         f"[error] {text_of(message.get('error'))}")
        messages += result.messages
        media = result.media
        return Converted(messages, media)
    if kind in OPAQUE:
        return Converted([], opaque=True)
    if kind in SILENT or kind.startswith("mcp_"):
        return Converted([])
    raise FormatError(f"{where}: unknown Responses item type {kind!r}")


def place_context(conversation: Conversation, head: Any, tail: list[Any], text: str,
                  role: str) -> tuple[Any, list[Any], Any]:
    if role == "system" and conversation.notes.get("developer"):
        role = "developer"
    context = {"type": "message", "role": role,
               "content": [{"type": "input_text", "text": text}]}
    return head, [context], context


def note(conversation: Conversation, item: Any, message: Message) -> None:
    if message.get("role") == "developer":
        conversation.notes["developer"] = True


def body_fields(body: Mapping[str, Any]) -> list[Any]:
    """A body's ``instructions``, kept in front and never summarized."""
    return [BodyField("instructions", body["instructions"])] if body.get("instructions") else []


# The outputs a text may stand in for, and the input key of each call a client runs.
_TEXT_OUTPUTS = frozenset({"function_call_output", "custom_tool_call_output",
                           "local_shell_call_output", "apply_patch_call_output"})
_INPUTS = {"function_call": ("arguments", "{}"), "custom_tool_call": ("input", "")}


def rewrite(item: Any, results: Mapping[int, str], inputs: frozenset[int]) -> Any:
    """An output item whose output is text (or may be) with that text replaced; a
    function or custom tool call with its input emptied. A computer's screenshot, a
    shell's structured output and a call the server ran stay as they are."""
    message = plain(item)
    if not is_map(message):
        return item
    kind = message.get("type")
    if kind in _TEXT_OUTPUTS and 0 in results:
        return {**message, "output": results[0]}
    if kind in _INPUTS and 0 in inputs:
        key, empty = _INPUTS[kind]
        return {**message, key: empty}
    return item


def strip_thinking(item: Any) -> Any:
    """A reasoning item is nothing but reasoning: it is left out."""
    message = plain(item)
    return None if is_map(message) and message.get("type") == "reasoning" else item


READER = Reader(NAME, convert, place_context, note, body_keys=("input",), body_text=True,
                body_fields=body_fields, owns_item=_owns_item, own_parts=OWN_PARTS,
                message_items=True, rewrite=rewrite, strip_thinking=strip_thinking)
