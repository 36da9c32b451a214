"""Conversations as their users hold them, read into the summarizer's message shape.

Formats: ``openai`` (Chat Completions messages, the summarizer's own shape among them),
``responses`` (Responses API input items), ``anthropic`` (Messages API messages) and
``langchain`` (message objects, their dumps, and the ``messages_to_dict`` shape). A
conversation is a list of messages or a request body holding one (``{"messages": [...]}``
with or without ``system``, ``model``, ``tools``; ``{"input": [...]}`` for Responses).
SDK objects (pydantic models) are read through ``model_dump``, without importing the SDK.

``read_conversation`` detects the format (or takes the one it is told) and returns a
`Conversation`: the caller's items, each with its summarizer messages, and the way to put
a summary back in the same format. ``to_messages`` gives just the messages.
"""

from __future__ import annotations

from collections.abc import Mapping
from types import ModuleType
from typing import Any

from . import anthropic, langchain, openai_chat, responses
from ..native import CONTEXT_HEADER
from .base import (BodyContext, BodyField, Conversation, Converted, FormatError, Message,
                   NoMessages, WrongFormat, describe)
from .parts import MEDIA_KINDS, content_text, is_map, plain

__all__ = ["AUTO", "CONTEXT_HEADER", "FORMATS", "MEDIA_KINDS", "BodyContext", "BodyField",
           "Conversation", "Converted", "FormatError", "NoMessages", "WrongFormat",
           "check_format", "detect_format", "read_more",
           "read_conversation", "to_messages"]

AUTO = "auto"
READERS: dict[str, ModuleType] = {
    openai_chat.NAME: openai_chat,
    responses.NAME: responses,
    anthropic.NAME: anthropic,
    langchain.NAME: langchain,
}
FORMATS = tuple(READERS)
"""The formats ``input_format`` may name, besides ``"auto"``."""

_SPOKEN = frozenset({"user", "assistant", "tool"})

# Besides its own messages and those every format shares, the messages a format's reader
# reads without loss: LangChain takes OpenAI's role dicts as messages.
_READS_TOO = {langchain.NAME: frozenset({openai_chat.NAME})}


# The content parts only one format writes.
_PART_FORMATS = {**{t: openai_chat.NAME for t in openai_chat.OWN_PARTS},
                 **{t: responses.NAME for t in responses.OWN_PARTS},
                 **{t: anthropic.NAME for t in anthropic.OWN_PARTS}}


def _part_format(content: list[Any]) -> str | None:
    """The format that the first part only one format writes belongs to."""
    for part in content:
        if type(part) is not dict:
            part = plain(part)
            if not is_map(part):
                continue
        kind = part.get("type")
        found = _PART_FORMATS.get(kind)
        if found is not None:
            return found
        if anthropic.is_block(part):
            return anthropic.NAME
    return None


def _kind(item: Any, message: Any) -> str | None:
    """The format an item must be in, "plain" for a message several formats share, or None
    for an item of no format."""
    if not is_map(message):
        return langchain.NAME if langchain.is_message_object(item) else None
    if responses.is_reference(message):
        return responses.NAME
    kind = message.get("type")
    if kind is not None and kind != "message":
        if langchain.is_own(message):
            return langchain.NAME
        return responses.NAME if responses.is_own(message) else None
    content = message.get("content")
    if type(content) is list:
        found = _part_format(content)
        if found is not None:
            return found
    if openai_chat.is_own(message):
        return openai_chat.NAME
    if kind == "message":
        # An Anthropic ``Message`` as the SDK returns it has its model and usage beside its
        # blocks; a Responses message item has neither.
        return anthropic.NAME if isinstance(content, list) and anthropic.is_reply(message) \
            else responses.NAME
    return "plain" if isinstance(message.get("role"), str) else None


def _unknown(index: int, message: Any) -> str:
    if not is_map(message):
        return f"message {index} is {type(message).__name__}, not an object"
    return (f"message {index} is {describe(message)}: not a message of any known format "
            f"({', '.join(FORMATS)})")


def _unpack(doc: Any) -> tuple[list[Any], Mapping[str, Any] | None, str]:
    """(items, body or None, the body's key for them)."""
    if isinstance(doc, (list, tuple)):
        return list(doc), None, "messages"
    doc = plain(doc)
    if is_map(doc):
        if isinstance(doc.get("messages"), (list, tuple)):
            return list(doc["messages"]), doc, "messages"
        found = doc.get("input")
        if isinstance(found, (list, tuple)):
            return list(found), doc, "input"
        if isinstance(found, str):
            return [{"role": "user", "content": found}], doc, "input"
        raise FormatError("expected a list of message objects or a request body with "
                          f"\"messages\", got {describe(doc)}")
    raise FormatError(f"expected a list of message objects, got {type(doc).__name__}")


def _kinds(items: list[Any], messages: list[Any]) -> tuple[list[str], list[bool]]:
    """Each item's format ("plain" for a message several formats share), and whether it
    is a record every format reads as it is."""
    kinds, as_is = [], []
    for index, item in enumerate(items):
        kind = openai_chat.as_is(item)
        as_is.append(kind is not None)
        if kind is None:
            kind = _kind(item, messages[index])
            if kind is None:
                raise FormatError(_unknown(index, messages[index]))
        kinds.append(kind)
    return kinds, as_is


def _detect(kinds: list[str], body: Mapping[str, Any] | None, key: str,
            default: str | None = None) -> tuple[str, bool]:
    """(format, whether something only that format writes was found)."""
    first: dict[str, int] = {}
    for index, kind in enumerate(kinds):
        if kind != "plain" and kind not in first:
            first[kind] = index
    if key == "input":
        first.setdefault(responses.NAME, 0)
    if len(first) > 1:
        found = ", ".join(f"message {i} is {name}" for name, i in
                          sorted(first.items(), key=lambda kv: kv[1]))
        raise FormatError(f"messages in more than one format ({found}); "
                          "name the format to read them as one")
    if first:
        return next(iter(first)), True
    if body is not None and "system" in body:
        return anthropic.NAME, True
    return default or openai_chat.NAME, False


def _field_view(item: BodyField | BodyContext) -> Converted:
    """A body's top-level instructions, or the summary in them, as a system message."""
    if isinstance(item, BodyContext):
        return Converted([{"role": "system", "content": item.text}])
    text, media = content_text(item.value)
    return Converted([{"role": "system", "content": text}], media)


def _check_named(items: list[Any], messages: list[Any], name: str) -> None:
    """WrongFormat for the first message that only another format writes, which the named
    format's reader would read without its calls, results or refusals."""
    readable = _READS_TOO.get(name, frozenset())
    for index, item in enumerate(items):
        kind = openai_chat.as_is(item) or _kind(item, messages[index])
        if kind is not None and kind != "plain" and kind != name and kind not in readable:
            raise WrongFormat(index, kind, name)


def detect_format(doc: Any) -> str:
    """The format of a conversation (see the module documentation)."""
    items, body, key = _unpack(doc)
    return _detect(_kinds(items, [plain(i) for i in items])[0], body, key)[0]


def check_format(name: str) -> str:
    """``name`` when it is "auto" or a format's name, else ValueError."""
    if name != AUTO and name not in READERS:
        raise ValueError(f"input_format must be one of {AUTO}, {', '.join(FORMATS)}; "
                         f"got {name!r}")
    return name


def read_conversation(doc: Any, input_format: str = AUTO, *, require_messages: bool = False,
                      default: str | None = None) -> Conversation:
    """Reads a conversation in any format, or in the one ``input_format`` names; ``default``
    is the format of messages that several formats share (else "openai").

    Raises FormatError, saying what was found, for a shape no format reads, WrongFormat
    for a message that only another format than the named one writes and, with
    ``require_messages``, NoMessages for a conversation holding no user, assistant or tool
    message (an empty one included)."""
    check_format(input_format)
    items, body, key = _unpack(doc)
    messages = [plain(i) for i in items]
    if input_format == AUTO:
        kinds, as_is = _kinds(items, messages)
        name, definite = _detect(kinds, body, key, default)
    else:
        as_is, name, definite = [False] * len(items), input_format, True
        _check_named(items, messages, name)
    reader = READERS[name]
    conversation = Conversation(name, [], [], body=body, items_key=key,
                                placer=reader.place_context, definite=definite)
    if body is not None:
        if name == anthropic.NAME and body.get("system") not in (None, "", []):
            prefix = anthropic.system_items(body["system"])
        elif name == responses.NAME and body.get("instructions"):
            prefix = [BodyField("instructions", body["instructions"])]
        else:
            prefix = []
        for field_item in prefix:
            conversation.items.append(field_item)
            conversation.views.append(_field_view(field_item))
    note = reader.note
    views = conversation.views
    # A record every format reads as it is keeps its view without the reader, unless it is
    # the format's own business (a developer role, a LangChain object).
    for index, item in enumerate(items):
        if as_is[index]:
            views.append(None)
            continue
        message = messages[index]
        if not is_map(message):
            raise FormatError(_unknown(index, message))
        views.append(reader.convert(item, message, f"message {index}"))
        note(conversation, item, message)
    conversation.items.extend(items)
    if require_messages and not any(m.get("role") in _SPOKEN for m in conversation.messages):
        if not items:
            raise NoMessages("no user, assistant or tool message: the conversation is empty")
        roles = sorted({str(m.get("role")) for m in conversation.messages})
        raise NoMessages(f"no user, assistant or tool message among {len(items)} "
                         f"{name} item(s)" + (f" (found: {', '.join(roles)})" if roles else ""))
    return conversation


def read_more(conversation: Conversation, given: list[Any], input_format: str = AUTO
              ) -> Conversation | None:
    """The conversation of ``given``, a list whose leading items are equal to
    ``conversation``'s own, reading only the items after those: what read_conversation
    gives for the whole, or None when the new items change how the whole is read (a format
    first found in them, or another than the conversation's). Its items are ``given``'s."""
    fields = conversation.fields()
    start = len(conversation.items) - fields
    items = given[start:]
    name = conversation.format
    messages = [plain(i) for i in items]
    definite = conversation.definite
    if input_format == AUTO:
        kinds, as_is = _kinds(items, messages)
        for kind in kinds:
            if kind != "plain":
                if kind != name:
                    return None
                definite = True
    elif input_format != name:
        return None
    else:
        _check_named(items, messages, name)
        as_is = [False] * len(items)
    reader = READERS[name]
    more = Conversation(name, conversation.items[:fields] + given, conversation.views[:],
                        body=conversation.body, items_key=conversation.items_key,
                        placer=conversation.placer, definite=definite,
                        notes=dict(conversation.notes))
    views, note = more.views, reader.note
    for index, item in enumerate(items):
        if as_is[index]:
            views.append(None)
            continue
        message = messages[index]
        if not is_map(message):
            raise FormatError(_unknown(start + index, message))
        views.append(reader.convert(item, message, f"message {start + index}"))
        note(more, item, message)
    return more


def to_messages(doc: Any, input_format: str = AUTO) -> list[Message]:
    """A conversation in any format as the summarizer's message records."""
    return read_conversation(doc, input_format, require_messages=True).messages
