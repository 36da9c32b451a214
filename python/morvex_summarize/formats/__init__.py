"""Conversations as their users hold them, read into the summarizer's message shape.

Formats: ``openai`` (Chat Completions messages, the summarizer's own shape among them),
``responses`` (Responses API input items), ``anthropic`` (Messages API messages),
``langchain`` (message objects, their dumps, and the ``messages_to_dict`` shape) and
``gemini`` (Gemini ``contents``). A conversation is a list of messages or a request body
holding one (``{"messages": [...]}`` with or without ``system``, ``model``, ``tools``;
``{"input": [...]}`` for Responses, ``{"contents": [...]}`` for Gemini).

SDK objects (pydantic models) are read through ``model_dump``, without importing the SDK.

Agents' session logs are read as they lie on disk, each whole: ``claude-code`` (Claude
Code's JSON lines), ``codex`` (Codex CLI's rollout JSON lines), ``swe-agent`` (``.traj``),
``mini-swe-agent`` (``.traj.json``), ``cursor`` (Cursor chats exported as markdown),
``aider`` (``.aider.chat.history.md``), ``cline``
(Cline's, Roo Code's and Kilo Code's ``api_conversation_history.json``), ``gemini-cli``
(Gemini CLI's sessions, JSON or JSON lines) and ``openhands`` (OpenHands event
trajectories). Given a
path (any ``os.PathLike``), ``read_conversation`` reads the file; `read_file` does the same
and `parse_text` reads a file's text already in hand. A log's conversation is OpenAI chat
messages: it is condensed and written back as those, never as the log.

Each format is a module that builds one `Reader`; ``READERS`` registers them, and nothing
else here names a format.

``read_conversation`` detects the format (or takes the one it is told) and returns a
`Conversation`: the caller's items, each with its summarizer messages, and the way to put
a summary back in the same format. ``to_messages`` gives just the messages.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Mapping
from typing import Any

from . import (aider, anthropic, claude_code, codex, gemini, langchain, mini_swe_agent,
               openai_chat, responses, swe_agent)
from . import cline, gemini_cli, openhands
from . import cursor
from ..native import CONTEXT_HEADER
from .base import (BodyContext, BodyField, Conversation, Converted, FormatError, LogText,
                   Message, NoMessages, Reader, WrongFormat, article, describe, odd_field)
from .parts import MEDIA_KINDS, is_map, plain

__all__ = ["AUTO", "CONTEXT_HEADER", "FORMATS", "LOG_FORMATS", "MEDIA_KINDS", "READERS",
           "BodyContext", "BodyField", "Conversation", "Converted", "FormatError", "LogText",
           "NoMessages", "Reader", "WrongFormat", "check_format", "detect_format",
           "log_document", "parse_text", "read_conversation", "read_file", "read_more",
           "rewrite_item", "strip_thinking", "to_messages", "with_items"]

AUTO = "auto"
READERS: tuple[Reader, ...] = (
    openai_chat.READER,
    responses.READER,
    anthropic.READER,
    langchain.READER,
    gemini.READER,
    claude_code.READER,
    codex.READER,
    openhands.READER,
    swe_agent.READER,
    mini_swe_agent.READER,
    cursor.READER,
    aider.READER,
    cline.READER,
    gemini_cli.READER,
)
"""The registered formats, in the order they are named to users and asked at each step
of detection."""

_BY_NAME = {reader.name: reader for reader in READERS}
FORMATS = tuple(_BY_NAME)
"""The formats ``input_format`` may name, besides ``"auto"``."""
LOG_FORMATS = tuple(r.name for r in READERS if r.read_log is not None)
"""Of those, the agents' session logs, each read whole."""
_LOGS = tuple(r for r in READERS if r.read_log is not None)
_TEXTS = tuple(r for r in _LOGS if r.log_text is not None)

# The one format whose records are the summarizer's own: every format reads them as they
# are, and messages that several formats share default to it.
(_OWN,) = [reader for reader in READERS if reader.as_is is not Reader.as_is]
_as_is = _OWN.as_is

_SPOKEN = frozenset({"user", "assistant", "tool"})


def _asking(hook: str) -> tuple[tuple[str, Callable[..., bool]], ...]:
    """(name, hook) of the readers that have their own ``hook``, in registry order."""
    default = getattr(Reader, hook)
    return tuple((r.name, getattr(r, hook)) for r in READERS if getattr(r, hook) is not default)


_OBJECTS = _asking("is_object")
_ITEMS = _asking("owns_item")
_PARTS = _asking("owns_part")
_MESSAGES = _asking("owns_message")
# The content parts only one format writes.
_PART_FORMATS = {kind: r.name for r in reversed(READERS) for kind in r.own_parts}
_MESSAGE_ITEMS = next((r.name for r in READERS if r.message_items), None)
# A body's keys for its items, each with the formats whose bodies use it.
_BODY_KEYS = {key: [r for r in READERS if key in r.body_keys]
              for reader in READERS for key in reader.body_keys}
_MARKS = tuple((key, r.name) for r in READERS for key in r.body_marks)


def _part_format(content: list[Any]) -> str | None:
    """The format that the first part only one format writes belongs to."""
    for part in content:
        if type(part) is not dict:
            part = plain(part)
            if not is_map(part):
                continue
        if odd_field(part, "type") is not None:
            continue  # left out of the message's view (`_readable`)
        found = _PART_FORMATS.get(part.get("type"))
        if found is not None:
            return found
        for name, owns in _PARTS:
            if owns(part):
                return name
    return None


def _kind(item: Any, message: Any) -> str | None:
    """The format an item must be in, "plain" for a message several formats share, or None
    for an item of no format."""
    if not is_map(message):
        return next((name for name, owns in _OBJECTS if owns(item)), None)
    for name, owns in _ITEMS:
        if owns(message):
            return name
    kind = message.get("type")
    if kind is not None and kind != "message":
        return None
    content = message.get("content")
    if type(content) is list:
        found = _part_format(content)
        if found is not None:
            return found
    for name, owns in _MESSAGES:
        if owns(message):
            return name
    if kind == "message":
        return _MESSAGE_ITEMS
    return "plain" if isinstance(message.get("role"), str) else None


def _unknown(index: int, message: Any) -> str:
    if not is_map(message):
        return f"message {index} is {type(message).__name__}, not an object"
    return (f"message {index} is {describe(message)}: not a message of any known format "
            f"({', '.join(FORMATS)})")


def _check_fields(doc: Any, start: int = 0) -> None:
    """FormatError for the first item whose role or type is no string (an array, an
    object): no format reads it, and it is told before any reader looks at it."""
    if isinstance(doc, (list, tuple)):
        items: Any = doc
    else:
        body = plain(doc)
        if not is_map(body):
            return
        items = next((found for key in _BODY_KEYS
                      if isinstance(found := body.get(key), (list, tuple))), ())
    for index, item in enumerate(items):
        if type(item) is dict and type(item.get("role", "")) is str \
                and type(item.get("type", "")) is str:
            continue  # the common case, told at once
        if not is_map(item):
            continue  # an SDK's or a framework's object: its fields have their types
        for key in ("role", "type"):
            reason = odd_field(item, key)
            if reason is not None:
                raise FormatError(f"message {start + index}: {reason}")


def _readable(message: Any, where: str, warnings: list[str]) -> Any:
    """The message without the content parts whose type is no string, each told in
    ``warnings``; the message itself when it has none."""
    content = message.get("content") if is_map(message) else None
    if type(content) is not list or all(
            (type(part) is dict and type(part.get("type", "")) is str) or not is_map(part)
            for part in content):
        return message  # the common case, told at once
    kept = []
    for number, part in enumerate(content):
        reason = odd_field(part, "type")
        if reason is None:
            kept.append(part)
        else:
            warnings.append(f"{where}: part {number} left out: {reason}")
    if len(kept) == len(content):
        return message
    return {**message, "content": kept}


def _unpack(doc: Any) -> tuple[list[Any], Mapping[str, Any] | None, str]:
    """(items, body or None, the body's key for them)."""
    if isinstance(doc, (list, tuple)):
        return list(doc), None, "messages"
    doc = plain(doc)
    if is_map(doc):
        for key, readers in _BODY_KEYS.items():
            found = doc.get(key)
            if isinstance(found, (list, tuple)):
                return list(found), doc, key
            if isinstance(found, str) and any(r.body_text for r in readers):
                return [{"role": "user", "content": found}], doc, key
        raise FormatError("expected a list of message objects or a request body with "
                          f"\"messages\", got {describe(doc)}")
    raise FormatError(f"expected a list of message objects, got {type(doc).__name__}")


def _kinds(items: list[Any], messages: list[Any]) -> tuple[list[str], list[bool]]:
    """Each item's format ("plain" for a message several formats share), and whether it
    is a record every format reads as it is."""
    kinds, as_is = [], []
    for index, item in enumerate(items):
        kind = _as_is(item)
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
    owners = _BODY_KEYS.get(key, ())
    if len(owners) == 1:  # a body's key that one format alone uses
        first.setdefault(owners[0].name, 0)
    if len(first) > 1:
        found = ", ".join(f"message {i} is {name}" for name, i in
                          sorted(first.items(), key=lambda kv: kv[1]))
        raise FormatError(f"messages in more than one format ({found}); "
                          "name the format to read them as one")
    if first:
        return next(iter(first)), True
    if body is not None:
        for mark, name in _MARKS:
            if mark in body:
                return name, True
    return default or _OWN.name, False


def _field_view(reader: Reader, item: BodyField | BodyContext) -> Converted:
    """A body's top-level instructions, or the summary in them, as a system message."""
    if isinstance(item, BodyContext):
        return Converted([{"role": "system", "content": item.text}])
    text, media = reader.field_text(item.value)
    return Converted([{"role": "system", "content": text}], media)


def _check_named(items: list[Any], messages: list[Any], name: str) -> None:
    """WrongFormat for the first message that only another format writes, which the named
    format's reader would read without its calls, results or refusals."""
    readable = _BY_NAME[name].reads_too
    for index, item in enumerate(items):
        kind = _as_is(item) or _kind(item, messages[index])
        if kind is not None and kind != "plain" and kind != name and kind not in readable:
            raise WrongFormat(index, kind, name)


def _log_of(doc: Any) -> Reader | None:
    """The log format whose log ``doc`` is, or None."""
    for reader in _LOGS:
        if reader.is_log(doc):
            return reader
    return None


def log_document(text: str) -> Any:
    """The document of a log file's text that is not one JSON document (JSON lines,
    markdown) when a log format recognizes the text as its own, else None."""
    for reader in _TEXTS:
        assert reader.log_text is not None
        found = reader.log_text(text)
        if found is not None:
            return found
    return None


def parse_text(text: str) -> Any:
    """The document a file's text holds: a log that is not one JSON document as its
    format's reader parses it, else the JSON document; FormatError when it is neither."""
    found = log_document(text)
    if found is not None:
        return found
    try:
        return json.loads(text)
    except ValueError as exc:
        raise FormatError(f"not JSON, nor the text of a log of any known format "
                          f"({', '.join(LOG_FORMATS)}): {exc}") from None
    except RecursionError:
        raise FormatError("invalid JSON: nested too deeply") from None


def read_file(path: str | os.PathLike[str], input_format: str = AUTO, *,
              require_messages: bool = False) -> Conversation:
    """The conversation in a file: an agent's session log as the agent wrote it, or a
    JSON conversation of any format (see `read_conversation`). The file must be UTF-8
    text; OSError when it cannot be read."""
    check_format(input_format)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return read_conversation(parse_text(text), input_format,
                             require_messages=require_messages)


def _read_log(reader: Reader, doc: Any, require_messages: bool) -> Conversation:
    """A log's conversation: its chat messages, read as OpenAI's, under the log's name."""
    assert reader.read_log is not None
    conversation = read_conversation(reader.read_log(doc), openai_chat.NAME)
    conversation.format = reader.name
    conversation.skipped = reader.log_unknown(doc)
    conversation.warnings = reader.log_warnings(doc) + conversation.warnings
    if require_messages:
        _require(conversation, f"the {reader.name} log")
    return conversation


def _not_a_log(doc: Any, name: str) -> FormatError:
    """The error for a document read as a log of ``name`` that is none: WrongFormat
    naming its format when it has one."""
    try:
        found = detect_format(doc)
    except FormatError:
        return FormatError(f"not {article(name)} log: found {describe(plain(doc))}")
    return WrongFormat(None, found, name)


def _require(conversation: Conversation, what: str) -> None:
    """NoMessages when the conversation holds no user, assistant or tool message."""
    if any(m.get("role") in _SPOKEN for m in conversation.messages):
        return
    roles = sorted({str(m.get("role")) for m in conversation.messages})
    if not conversation.items:
        raise NoMessages(f"no user, assistant or tool message: {what} is empty")
    raise NoMessages(f"no user, assistant or tool message in {what}"
                     + (f" (found: {', '.join(roles)})" if roles else ""))


def detect_format(doc: Any) -> str:
    """The format of a conversation (see the module documentation)."""
    _check_fields(doc)
    log = _log_of(doc)
    if log is not None:
        return log.name
    items, body, key = _unpack(doc)
    return _detect(_kinds(items, [plain(i) for i in items])[0], body, key)[0]


def check_format(name: str) -> str:
    """``name`` when it is "auto" or a format's name, else ValueError."""
    if name != AUTO and name not in _BY_NAME:
        raise ValueError(f"input_format must be one of {AUTO}, {', '.join(FORMATS)}; "
                         f"got {name!r}")
    return name


def read_conversation(doc: Any, input_format: str = AUTO, *, require_messages: bool = False,
                      default: str | None = None) -> Conversation:
    """Reads a conversation in any format, or in the one ``input_format`` names; ``default``
    is the format of messages that several formats share (else the summarizer's own,
    "openai").

    Raises FormatError, saying what was found, for a shape no format reads, WrongFormat
    for a message that only another format than the named one writes and, with
    ``require_messages``, NoMessages for a conversation holding no user, assistant or tool
    message (an empty one included).

    An agent's session log (a document one of `LOG_FORMATS` writes, or a path to its file)
    is read whole into OpenAI chat messages; named as another format, or another format's
    document named as a log, it is WrongFormat with ``index`` None."""
    check_format(input_format)
    if isinstance(doc, os.PathLike):
        return read_file(doc, input_format, require_messages=require_messages)
    _check_fields(doc)
    log = _log_of(doc)
    named = _BY_NAME.get(input_format)
    if log is not None:
        if named is not None and named is not log:
            raise WrongFormat(None, log.name, input_format)
        return _read_log(log, doc, require_messages)
    if named is not None and named.read_log is not None:
        raise _not_a_log(doc, named.name)
    if default in LOG_FORMATS:  # a log's conversation given back: its messages are OpenAI's
        default = openai_chat.NAME
    items, body, key = _unpack(doc)
    messages = [plain(i) for i in items]
    if input_format == AUTO:
        kinds, as_is = _kinds(items, messages)
        name, definite = _detect(kinds, body, key, default)
    else:
        as_is, name, definite = [False] * len(items), input_format, True
        _check_named(items, messages, name)
    reader = _BY_NAME[name]
    conversation = Conversation(name, [], [], body=body, items_key=key,
                                placer=reader.place_context, definite=definite)
    if body is not None:
        for field_item in reader.body_fields(body):
            conversation.items.append(field_item)
            conversation.views.append(_field_view(reader, field_item))
    note = reader.note
    views = conversation.views
    warnings: list[str] = []
    # A record every format reads as it is keeps its view without the reader, unless it is
    # the format's own business (a developer role, a LangChain object).
    for index, item in enumerate(items):
        if as_is[index]:
            views.append(None)
            continue
        message = messages[index]
        if not is_map(message):
            raise FormatError(_unknown(index, message))
        message = _readable(message, f"message {index}", warnings)
        views.append(reader.convert(item, message, f"message {index}"))
        note(conversation, item, message)
    conversation.items.extend(items)
    conversation.warnings = tuple(warnings)
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
    _check_fields(items, start)
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
    reader = _BY_NAME[name]
    more = Conversation(name, conversation.items[:fields] + given, conversation.views[:],
                        body=conversation.body, items_key=conversation.items_key,
                        placer=conversation.placer, definite=definite,
                        notes=dict(conversation.notes), skipped=conversation.skipped)
    views, note = more.views, reader.note
    warnings = list(conversation.warnings)
    for index, item in enumerate(items):
        if as_is[index]:
            views.append(None)
            continue
        message = messages[index]
        if not is_map(message):
            raise FormatError(_unknown(start + index, message))
        message = _readable(message, f"message {start + index}", warnings)
        views.append(reader.convert(item, message, f"message {start + index}"))
        note(more, item, message)
    more.warnings = tuple(warnings)
    return more


def to_messages(doc: Any, input_format: str = AUTO) -> list[Message]:
    """A conversation in any format as the summarizer's message records."""
    return read_conversation(doc, input_format, require_messages=True).messages


# -- items rewritten in their own format ---------------------------------------------------

def _reader_of(conversation: Conversation) -> Reader:
    """The reader of a conversation's items: a log's are OpenAI chat messages."""
    if conversation.format in LOG_FORMATS:
        return _BY_NAME[openai_chat.NAME]
    return _BY_NAME[conversation.format]


def rewrite_item(conversation: Conversation, index: int, results: Mapping[int, str],
                 inputs: frozenset[int] = frozenset()) -> Any:
    """The item at ``index`` with some of its tool results' outputs replaced and some of
    its calls' inputs emptied (`Reader.rewrite`): a new item, or the item itself when its
    format cannot rewrite them."""
    item = conversation.items[index]
    if isinstance(item, (BodyField, BodyContext)) or not (results or inputs):
        return item
    return _reader_of(conversation).rewrite(item, results, inputs)


def strip_thinking(conversation: Conversation, index: int) -> Any:
    """The item at ``index`` without its reasoning (`Reader.strip_thinking`): the item
    itself when it holds none, None when it holds nothing else."""
    item = conversation.items[index]
    if isinstance(item, (BodyField, BodyContext)):
        return item
    return _reader_of(conversation).strip_thinking(item)


def with_items(conversation: Conversation, changes: Mapping[int, Any]) -> Conversation:
    """The conversation with the items at the indexes of ``changes`` replaced by theirs
    (read again in the conversation's format), and those whose change is None left out.
    The given conversation is not changed."""
    reader = _reader_of(conversation)
    items: list[Any] = []
    views: list[Converted | None] = []
    for index, (item, view) in enumerate(zip(conversation.items, conversation.views)):
        if index in changes:
            item = changes[index]
            if item is None:
                continue
            view = reader.convert(item, plain(item), f"message {index}")
        items.append(item)
        views.append(view)
    return Conversation(conversation.format, items, views, body=conversation.body,
                        items_key=conversation.items_key, placer=conversation.placer,
                        definite=conversation.definite, notes=dict(conversation.notes),
                        skipped=conversation.skipped)
