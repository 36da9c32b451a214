"""Anthropic Messages: ``content`` as a str or blocks (text, image, document, ``tool_use``,
``tool_result``, thinking, server tools), and a request body's top-level ``system``.

A message becomes the summarizer's messages in block order: an assistant's text and the
calls that follow it form one message (text after a call starts the next), and each
``tool_result`` block becomes a tool message, so a user message holding several results and
text keeps their order."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ..native import CONTEXT_HEADER
from .base import (BodyContext, BodyField, Conversation, Converted, FormatError, Message,
                   Reader, call)
from .parts import Rendered, content_text, is_map, plain, render_part

NAME = "anthropic"

# Blocks that only this format has.
OWN_PARTS = frozenset({"tool_use", "tool_result", "server_tool_use", "thinking",
                       "redacted_thinking", "document", "search_result", "container_upload",
                       "mcp_tool_use", "mcp_tool_result", "web_search_tool_result"})


def _is_call(kind: Any) -> bool:
    return isinstance(kind, str) and (kind == "tool_use" or kind.endswith("_tool_use"))


def _is_result(block: Mapping[str, Any]) -> bool:
    kind = block.get("type")
    return isinstance(kind, str) and kind.endswith("tool_result") and "tool_use_id" in block


def is_block(block: Mapping[str, Any]) -> bool:
    """A block only this format writes (beyond the types in OWN_PARTS): another tool's
    call or result, an image with a ``source``."""
    kind = block.get("type")
    return _is_call(kind) or _is_result(block) or (
        kind == "image" and is_map(block.get("source")))


def is_reply(message: Mapping[str, Any]) -> bool:
    """A ``Message`` the Messages API returned (with its model, usage or stop reason)."""
    return "model" in message or "usage" in message or "stop_reason" in message


def _is_returned(message: Mapping[str, Any]) -> bool:
    """A ``"type": "message"`` item with blocks that the Messages API returned (a Responses
    message item has no model or usage beside its parts)."""
    return message.get("type") == "message" and isinstance(message.get("content"), list) \
        and is_reply(message)


def _result_text(block: Mapping[str, Any]) -> tuple[str, dict[str, int]]:
    content = block.get("content")
    out = Rendered()
    if isinstance(content, (list, tuple)):
        for part in content:
            part = plain(part)
            if is_map(part) and part.get("type") == "web_search_result":
                out.add(f"{part.get('title') or ''} ({part.get('url') or ''})".strip())
            else:
                render_part(part, out)
    elif content is not None:
        render_part(content, out)
    text = out.text()
    if block.get("is_error"):
        text = f"[error] {text}"
    return text, out.media


def convert(item: Any, message: Mapping[str, Any], where: str) -> Converted:
    role = message.get("role")
    if not isinstance(role, str):
        raise FormatError(f"{where}: no role")
    content = plain(message.get("content"))
    if isinstance(content, str) or content is None:
        if type(item) is dict and isinstance(content, str):
            return Converted([item])
        text, found = content_text(content)
        return Converted([{"role": role, "content": text}], found)
    if not isinstance(content, (list, tuple)):
        raise FormatError(f"{where}: content is {type(content).__name__}, not text or blocks")
    messages: list[Message] = []
    media: dict[str, int] = {}
    run = Rendered()
    calls: list[dict[str, Any]] = []
    opaque = False
    for block in content:
        if type(block) is not dict:
            block = plain(block)
        kind = block.get("type") if is_map(block) else None
        if kind == "text" and not calls and type(block.get("text")) is str:
            run.add(block["text"])
        elif kind == "tool_use" or _is_call(kind):
            calls.append(call(block.get("id"), block.get("name"), block.get("input")))
        elif kind == "tool_result" or (kind is not None and _is_result(block)):
            if run.pieces or calls:
                run.merge_media(media)
                messages.append(run.message(role, calls))
                run, calls = Rendered(), []
            result = block.get("content")
            if type(result) is str and not block.get("is_error"):
                text = result
            else:
                text, found = _result_text(block)
                for k, n in found.items():
                    media[k] = media.get(k, 0) + n
            messages.append({"role": "tool", "tool_call_id": block.get("tool_use_id"),
                             "content": text})
        elif kind == "thinking":
            # Thinking is a message of its own: where it ends, the visible reply begins.
            if run.pieces or calls:
                run.merge_media(media)
                messages.append(run.message(role, calls))
                calls = []
            run = Rendered()
            render_part(block, run)
            messages.append(run.message(role, calls))
            run = Rendered()
        else:
            if calls:
                run.merge_media(media)
                messages.append(run.message(role, calls))
                run, calls = Rendered(), []
            # A compaction block stands for all the history before it: its message is
            # never summarized.
            opaque = opaque or kind == "compaction"
            render_part(block, run)
    if run.pieces or calls:
        run.merge_media(media)
        messages.append(run.message(role, calls))
    if not messages:
        messages.append({"role": role, "content": ""})
    return Converted(messages, media, opaque=opaque)


def system_items(value: Any) -> list[Any]:
    """A body's ``system`` as items: the instructions, then an earlier summary that
    condensing appended to them."""
    value = plain(value)
    if isinstance(value, str):
        at = value.find(CONTEXT_HEADER + "\n")
        if at == 0 or (at > 0 and value[:at].endswith("\n\n")):
            base = value[:at].rstrip("\n")
            return ([BodyField("system", base)] if base else []) + [BodyContext(value[at:])]
        return [BodyField("system", value)]
    if isinstance(value, (list, tuple)):
        blocks = [plain(b) for b in value]
        last = blocks[-1] if blocks else None
        if is_map(last) and isinstance(last.get("text"), str) \
                and last["text"].startswith(CONTEXT_HEADER + "\n"):
            rest = list(value[:-1])
            return ([BodyField("system", rest)] if rest else []) + [BodyContext(last["text"])]
        return [BodyField("system", list(value))]
    raise FormatError(f"system is {type(value).__name__}, not text or text blocks")


def _with_context(system: Any, text: str) -> Any:
    if system is None or system == "" or system == []:
        return text
    if isinstance(system, str):
        return f"{system}\n\n{text}"
    return list(system) + [{"type": "text", "text": text}]


def place_context(conversation: Conversation, head: Any, tail: list[Any], text: str,
                  role: str) -> tuple[Any, list[Any], Any]:
    """Messages hold no system role, and the first one is the user's: the summary goes to
    a body's ``system`` when a user message comes first, else to a user message in front
    (which the API joins with a user message that follows)."""
    first = plain(tail[0]) if tail else None
    user_first = is_map(first) and first.get("role") == "user"
    base = head.value if isinstance(head, BodyField) else None
    if role == "system" and user_first and conversation.body is not None:
        return BodyField("system", _with_context(base, text)), [], BodyContext(text)
    context = {"role": "user", "content": text}
    if conversation.body is not None:  # an earlier summary leaves the system prompt
        head = BodyField("system", base)
    return head, [context], context


def body_fields(body: Mapping[str, Any]) -> list[Any]:
    return system_items(body["system"]) if body.get("system") not in (None, "", []) else []


_THINKING = frozenset({"thinking", "redacted_thinking"})


def _with_blocks(item: Any, message: Mapping[str, Any], blocks: list[Any]) -> dict[str, Any]:
    """The message with other blocks: a dict keeps its other keys; a message the API
    returned (an SDK object) becomes the role and content a request takes."""
    if type(item) is dict:
        return {**item, "content": blocks}
    return {"role": message.get("role"), "content": blocks}


def rewrite(item: Any, results: Mapping[int, str], inputs: frozenset[int]) -> Any:
    """A message with the content of some of its ``tool_result`` blocks replaced, and the
    input of some of its ``tool_use`` blocks emptied; positions count the result blocks
    (and the call blocks) in order, as the message's view does. The results of the
    server's own tools keep the shape each has."""
    message = plain(item)
    content = plain(message.get("content")) if is_map(message) else None
    if not isinstance(content, (list, tuple)):
        return item
    blocks: list[Any] = []
    result = called = 0
    changed = False
    for block in content:
        found = block if type(block) is dict else plain(block)
        kind = found.get("type") if is_map(found) else None
        if kind == "tool_result" or (kind is not None and _is_result(found)):
            if result in results and kind == "tool_result":
                block, changed = {**found, "content": results[result]}, True
            result += 1
        elif kind == "tool_use" or _is_call(kind):
            if called in inputs and kind == "tool_use":
                block, changed = {**found, "input": {}}, True
            called += 1
        blocks.append(block)
    return _with_blocks(item, message, blocks) if changed else item


def strip_thinking(item: Any) -> Any:
    """An assistant message without its thinking and redacted thinking blocks (None when
    it held nothing else)."""
    message = plain(item)
    content = plain(message.get("content")) if is_map(message) else None
    if not isinstance(content, (list, tuple)) or message.get("role") != "assistant":
        return item
    kept = [b for b in content if not (is_map(found := plain(b))
                                        and found.get("type") in _THINKING)]
    if len(kept) == len(content):
        return item
    return _with_blocks(item, message, kept) if kept else None


READER = Reader(NAME, convert, place_context, body_marks=("system",), body_fields=body_fields,
                own_parts=OWN_PARTS, owns_part=is_block, owns_message=_is_returned,
                rewrite=rewrite, strip_thinking=strip_thinking)
