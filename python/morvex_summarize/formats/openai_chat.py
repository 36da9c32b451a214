"""OpenAI Chat Completions messages: the summarizer's own shape, plus content-part lists,
``refusal``, ``audio``, ``name``, custom tool calls, the legacy ``function_call`` with its
``function`` message, and the ``developer`` role."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, TypeGuard

from .base import (NO_MEDIA, Conversation, Converted, FormatError, Message, Reader, call, joined,
                   one)
from .parts import content_text, is_map, plain, text_of

NAME = "openai"

ROLES = frozenset({"system", "developer", "user", "assistant", "tool", "function"})
# Content parts that only this format has (``refusal`` and ``input_audio`` parts are the
# Responses API's too).
OWN_PARTS = frozenset({"image_url", "file"})


def is_own(item: Mapping[str, Any]) -> bool:
    """A message only this format writes (by its fields; its parts are in OWN_PARTS)."""
    if item.get("role") in ("tool", "function"):
        return True
    return bool(item.get("tool_calls") or item.get("function_call") or item.get("refusal"))


def as_is(item: Any) -> str | None:
    """For a record every format reads as it is (an exact dict with text content and
    nothing to convert): "plain", or this format's name when only it writes such a record
    (a tool result, tool calls). Else None, and the item goes through a format's reader.
    Kept cheap: most items of most conversations take it."""
    if type(item) is not dict or "type" in item:
        return None
    role = item.get("role")
    # An assistant message that only calls tools often has no content: the summarizer
    # reads None as no text, so the record needs no converted copy.
    if type(item.get("content")) is not str and not (
            role == "assistant" and item.get("content") is None and "tool_calls" in item):
        return None
    if role == "user" or role == "system":
        return None if "name" in item else "plain"
    if role == "tool":
        return NAME
    if role != "assistant":
        return None if role in ROLES or not isinstance(role, str) else "plain"
    if "refusal" in item or "function_call" in item or "audio" in item:
        return None
    calls = item.get("tool_calls")
    if calls is None:
        return "plain"
    return NAME if _plain_calls(calls) else None


def tool_calls(value: Any, where: str) -> list[dict[str, Any]]:
    if value is None:
        return []
    if not isinstance(value, (list, tuple)):
        raise FormatError(f"{where}: tool_calls is {type(value).__name__}, not a list")
    calls = []
    for tc in value:
        if not is_map(tc):
            raise FormatError(f"{where}: a tool call is {type(tc).__name__}, not an object")
        custom = tc.get("custom")
        if tc.get("type") == "custom" and is_map(custom):
            calls.append(call(tc.get("id"), custom.get("name"), custom.get("input")))
        else:
            calls.append(dict(tc))
    return calls


def _plain_calls(value: Any) -> TypeGuard[list[dict[str, Any]]]:
    """Tool calls already in the summarizer's shape (a list of function-call dicts): the
    converted message shares them, as it shares the records of every other message."""
    if type(value) is not list:
        return False
    for tc in value:
        if type(tc) is not dict or tc.get("type", "function") != "function":
            return False
    return True


def convert(item: Any, message: Mapping[str, Any], where: str) -> Converted:
    """``item`` as given, ``message`` the same as a mapping."""
    if as_is(item) is not None:
        return one(item)
    role = message.get("role")
    if not isinstance(role, str):
        raise FormatError(f"{where}: no role")
    content = message.get("content")
    # No content is common (an assistant message that only calls tools): skip the renderer.
    text, media = ("", NO_MEDIA) if content is None else content_text(content)
    audio = message.get("audio")
    if is_map(audio) and audio.get("transcript"):
        text = joined(text, f"[audio transcript] {audio['transcript']}")
    if message.get("refusal"):
        text = joined(text, f"[refusal] {text_of(message['refusal'])}")
    name = message.get("name")
    if role == "function":
        return one({"role": "tool", "tool_call_id": name or "function", "content": text}, media)
    if role == "developer":
        role = "system"
    if name and role == "user":
        text = f"{name}: {text}"
    out: dict[str, Any] = {"role": role, "content": text}
    if role == "tool":
        out["tool_call_id"] = message.get("tool_call_id")
        if out["tool_call_id"] is None:
            del out["tool_call_id"]
    legacy = message.get("function_call")
    value = message.get("tool_calls")
    if is_map(legacy):
        calls = tool_calls(value, where)
        # The legacy form has no id: its name pairs it with the ``function`` message.
        calls.append(call(legacy.get("name"), legacy.get("name"), legacy.get("arguments")))
    else:
        calls = value if _plain_calls(value) else tool_calls(value, where)
    if calls:
        out["tool_calls"] = calls
    return one(out, media)


def place_context(conversation: Conversation, head: Any, tail: list[Any], text: str,
                  role: str) -> tuple[Any, list[Any], Any]:
    if role == "system" and conversation.notes.get("developer"):
        role = "developer"
    context = {"role": role, "content": text}
    return head, [context], context


def note(conversation: Conversation, item: Any, message: Message) -> None:
    if message.get("role") == "developer":
        conversation.notes["developer"] = True


EMPTY_ARGUMENTS = "{}"
"""What an emptied call's arguments become: an object with nothing in it."""


def emptied_call(tc: Mapping[str, Any]) -> dict[str, Any]:
    """A tool call with its input emptied: a function's arguments, a custom tool's input,
    or the summarizer's flat form's arguments."""
    custom = tc.get("custom")
    if tc.get("type") == "custom" and is_map(custom):
        return {**tc, "custom": {**custom, "input": ""}}
    function = tc.get("function")
    if is_map(function):
        return {**tc, "function": {**function, "arguments": EMPTY_ARGUMENTS}}
    return {**tc, "arguments": EMPTY_ARGUMENTS if isinstance(tc.get("arguments"), str) else {}}


def rewrite(item: Any, results: Mapping[int, str], inputs: frozenset[int]) -> Any:
    """A tool (or legacy function) message with its content replaced; an assistant
    message with the arguments of some of its calls emptied (in its view's order: the
    tool calls, then a legacy function call)."""
    message = plain(item)
    if not is_map(message):
        return item
    role = message.get("role")
    if role in ("tool", "function"):
        return {**message, "content": results[0]} if 0 in results else item
    if role != "assistant" or not inputs:
        return item
    out = dict(message)
    position = 0
    calls = message.get("tool_calls")
    if isinstance(calls, (list, tuple)):
        rewritten = []
        for tc in calls:
            tc = plain(tc)
            rewritten.append(emptied_call(tc) if position in inputs and is_map(tc) else tc)
            position += 1
        out["tool_calls"] = rewritten
    legacy = message.get("function_call")
    if is_map(legacy) and position in inputs:
        out["function_call"] = {**legacy, "arguments": EMPTY_ARGUMENTS}
    return out


READER = Reader(NAME, convert, place_context, note, own_parts=OWN_PARTS, owns_message=is_own,
                as_is=as_is, rewrite=rewrite)
