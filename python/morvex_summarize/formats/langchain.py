"""LangChain messages: the message objects (``HumanMessage``, ``AIMessage`` with its
``tool_calls``, ``ToolMessage``, ...), their ``model_dump`` form, and the JSON shape of
``messages_to_dict`` (``{"type": "human", "data": {...}}``), which needs no LangChain."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .base import Conversation, Converted, FormatError, Message, Reader, call, one
from . import openai_chat
from .parts import Rendered, is_map, plain, render_part

NAME = "langchain"

ROLES = {"human": "user", "ai": "assistant", "AIMessageChunk": "assistant",
         "HumanMessageChunk": "user", "system": "system", "SystemMessageChunk": "system",
         "tool": "tool", "ToolMessageChunk": "tool", "function": "tool",
         "FunctionMessageChunk": "tool", "chat": None, "ChatMessageChunk": None,
         "remove": None}
# Content blocks that hold calls, read from ``tool_calls`` instead.
_CALL_BLOCKS = frozenset({"tool_use", "tool_call", "tool_call_chunk", "server_tool_call",
                          "function_call"})


def is_message_object(item: Any) -> bool:
    """A LangChain message object, known by its class's module and shape; checked against
    ``langchain_core``'s base class when that is installed."""
    module = type(item).__module__ or ""
    if not module.startswith("langchain"):
        return False
    try:
        from langchain_core.messages import BaseMessage
    except ImportError:
        return hasattr(item, "type") and hasattr(item, "content")
    return isinstance(item, BaseMessage)


def unwrap(item: Mapping[str, Any]) -> Mapping[str, Any] | None:
    """The message fields of a dict in either LangChain shape (their "type" may be the
    outer one's), else None."""
    kind = item.get("type")
    if kind not in ROLES or "role" in item and kind != "chat":
        return None
    data = item.get("data")
    if is_map(data) and "content" in data:
        return data
    if "content" in item:
        return item
    return None


def is_own(item: Mapping[str, Any]) -> bool:
    return unwrap(item) is not None


def _calls(fields: Mapping[str, Any], where: str) -> list[dict[str, Any]]:
    calls = []
    for tc in fields.get("tool_calls") or ():
        tc = plain(tc)
        if is_map(tc):
            calls.append(call(tc.get("id"), tc.get("name"), tc.get("args")))
    if not calls:
        extra = fields.get("additional_kwargs") or {}
        if is_map(extra):
            calls = openai_chat.tool_calls(extra.get("tool_calls"), where)
            legacy = extra.get("function_call")
            if is_map(legacy):
                calls.append(call(legacy.get("name"), legacy.get("name"),
                                  legacy.get("arguments")))
    return calls


def convert(item: Any, message: Mapping[str, Any], where: str) -> Converted:
    fields = unwrap(message)
    if fields is None:
        if isinstance(message.get("role"), str):  # LangChain takes role dicts as messages
            return openai_chat.convert(item, message, where)
        raise FormatError(f"{where}: not a LangChain message")
    kind = message["type"]
    role = ROLES[kind]
    if kind in ("chat", "ChatMessageChunk"):
        role = fields.get("role") if isinstance(fields.get("role"), str) else "user"
    if kind == "remove":
        return Converted([])
    calls = _calls(fields, where) if role == "assistant" else []
    known = {c["id"] for c in calls}
    out = Rendered()
    content = plain(fields.get("content"))
    for block in content if isinstance(content, (list, tuple)) else [content]:
        if type(block) is str:
            out.add(block)
            continue
        block = plain(block)
        if is_map(block) and block.get("type") in _CALL_BLOCKS:
            if role == "assistant" and block.get("id") not in known:
                arguments = block.get("input", block.get("args", block.get("arguments")))
                calls.append(call(block.get("id"), block.get("name"), arguments))
            continue
        render_part(block, out)
    text = out.text()
    name = fields.get("name")
    record: dict[str, Any] = {"role": role, "content": text}
    if role == "tool":
        if kind.startswith(("function", "Function")):
            record["tool_call_id"] = name or "function"
        else:
            record["tool_call_id"] = fields.get("tool_call_id")
        if fields.get("status") == "error":
            record["content"] = f"[error] {text}"
    elif name and role == "user":
        record["content"] = f"{name}: {text}"
    if calls:
        record["tool_calls"] = calls
    return one(record, out.media)


def place_context(conversation: Conversation, head: Any, tail: list[Any], text: str,
                  role: str) -> tuple[Any, list[Any], Any]:
    shape = conversation.notes.get("langchain_shape", "dict")
    kind = "system" if role == "system" else "human"
    context: Any
    if shape == "object":
        from langchain_core.messages import HumanMessage, SystemMessage

        context = SystemMessage(content=text) if kind == "system" else HumanMessage(content=text)
    elif shape == "flat":
        context = {"type": kind, "content": text}
    else:
        context = {"type": kind, "data": {"content": text, "additional_kwargs": {},
                                          "response_metadata": {}, "type": kind,
                                          "name": None, "id": None}}
    return head, [context], context


def note(conversation: Conversation, item: Any, message: Message) -> None:
    if is_message_object(item):
        conversation.notes["langchain_shape"] = "object"
    elif "data" not in message:
        conversation.notes.setdefault("langchain_shape", "flat")
    else:
        conversation.notes.setdefault("langchain_shape", "dict")


# Content blocks and keyword arguments that hold a reply's reasoning.
_REASONING_BLOCKS = frozenset({"reasoning", "thinking", "redacted_thinking"})
_REASONING_KWARGS = ("reasoning_content", "reasoning")


def _updated(item: Any, message: Mapping[str, Any], fields: Mapping[str, Any],
             update: Mapping[str, Any]) -> Any:
    """The item with some of its message fields replaced, in its own shape: a message
    object copied (its id kept, for LangGraph's reducer), a dump with new data, a flat
    dict with new keys."""
    if is_message_object(item):
        return item.model_copy(update=dict(update))
    if fields is not message:  # the ``{"type", "data"}`` dump
        return {**message, "data": {**fields, **update}}
    return {**message, **update}


def _call_ids(fields: Mapping[str, Any], where: str) -> list[Any]:
    """The ids of a reply's calls in its view's order (see `convert`)."""
    ids = [c["id"] for c in _calls(fields, where)]
    known = set(ids)
    content = plain(fields.get("content"))
    for block in content if isinstance(content, (list, tuple)) else ():
        block = plain(block)
        if is_map(block) and block.get("type") in _CALL_BLOCKS \
                and block.get("id") not in known:
            ids.append(block.get("id"))
    return ids


def _emptied_calls(fields: Mapping[str, Any], ids: set[Any]) -> dict[str, Any]:
    """The fields of a reply whose calls with these ids have their input emptied,
    wherever the message holds them (``tool_calls``, call blocks, the provider's
    ``additional_kwargs``)."""
    update: dict[str, Any] = {}
    calls = fields.get("tool_calls")
    if calls:
        update["tool_calls"] = [{**tc, "args": {}} if is_map(tc := plain(c))
                                and tc.get("id") in ids else c for c in calls]
    content = plain(fields.get("content"))
    if isinstance(content, (list, tuple)):
        blocks = []
        for block in content:
            found = plain(block)
            if is_map(found) and found.get("type") in _CALL_BLOCKS and found.get("id") in ids:
                key = next((k for k in ("input", "args", "arguments") if k in found), "input")
                block = {**found, key: {} if key != "arguments" else "{}"}
            blocks.append(block)
        update["content"] = blocks
    extra = fields.get("additional_kwargs")
    if is_map(extra) and isinstance(extra.get("tool_calls"), (list, tuple)):
        update["additional_kwargs"] = {**extra, "tool_calls": [
            openai_chat.emptied_call(tc) if is_map(tc := plain(c)) and tc.get("id") in ids
            else c for c in extra["tool_calls"]]}
    return update


def rewrite(item: Any, results: Mapping[int, str], inputs: frozenset[int]) -> Any:
    """A tool message with its content replaced; a reply with the input of some of its
    calls emptied. Role dicts are OpenAI's."""
    message = plain(item)
    if not is_map(message):
        return item
    fields = unwrap(message)
    if fields is None:
        return openai_chat.rewrite(item, results, inputs) \
            if isinstance(message.get("role"), str) else item
    role = ROLES.get(message["type"])
    if role == "tool" and 0 in results:
        return _updated(item, message, fields, {"content": results[0]})
    if role == "assistant" and inputs:
        ids = _call_ids(fields, "a message")
        chosen = {ids[k] for k in inputs if k < len(ids)}
        return _updated(item, message, fields, _emptied_calls(fields, chosen))
    return item


def strip_thinking(item: Any) -> Any:
    """A reply without its reasoning: the reasoning and thinking blocks of its content,
    and the reasoning a provider put in ``additional_kwargs``. A message stays, though
    nothing else is left of it: the agent's state keeps its messages by id."""
    message = plain(item)
    fields = unwrap(message) if is_map(message) else None
    if fields is None or ROLES.get(message["type"]) != "assistant":
        return item
    update: dict[str, Any] = {}
    content = plain(fields.get("content"))
    if isinstance(content, (list, tuple)):
        kept = [b for b in content if not (is_map(found := plain(b))
                                            and found.get("type") in _REASONING_BLOCKS)]
        if len(kept) < len(content):
            update["content"] = kept
    extra = fields.get("additional_kwargs")
    if is_map(extra) and any(k in extra for k in _REASONING_KWARGS):
        update["additional_kwargs"] = {k: v for k, v in extra.items()
                                       if k not in _REASONING_KWARGS}
    return _updated(item, message, fields, update) if update else item


READER = Reader(NAME, convert, place_context, note, is_object=is_message_object,
                owns_item=is_own, reads_too=frozenset({openai_chat.NAME}), rewrite=rewrite,
                strip_thinking=strip_thinking)
