"""Gemini CLI's sessions (``~/.gemini/tmp/<project>/chats/session-*.json`` or ``.jsonl``),
in either of the two forms the CLI has written:

- one JSON document, a ``ConversationRecord``: ``sessionId``, ``projectHash``,
  ``startTime``, ... and its ``messages``;
- JSON lines: the session's metadata first, then one message record a line, a record
  written again (with the same ``id``) when it changed, ``{"$set": {...}}`` updates of the
  metadata, and ``{"$rewindTo": ID}`` when the user went back to the message ``ID``: the
  messages after it are no longer the conversation.

A message record's ``type`` says who wrote it. A ``user`` record's ``content`` (Gemini parts
or text) is the user's message; a ``gemini`` record is the model's reply: its thoughts
(``[thinking]``), its text, then its ``toolCalls``, each a call followed by its result (the
function's response parts; ``[error]`` first for a call that failed, ``[cancelled]`` for
one the user stopped). The CLI's own ``error`` and ``warning`` notices are kept in a
``<console>`` block of a user message, a harness's text, not the user's; ``info`` notices
are left out, and so are records of other types, named by `unknown`.

The checkpoint ``/chat save`` writes is Gemini ``contents`` alone, which the ``gemini``
format reads.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from . import gemini, logs
from .base import Message
from .parts import is_map

NAME = "gemini-cli"

_NOTICES = frozenset({"error", "warning"})
_KNOWN = frozenset({"user", "gemini", "info"}) | _NOTICES


def _is_header(value: Any) -> bool:
    """The session's metadata: its id and where or when it ran, but no record's type (a
    Claude Code or Qwen Code record holds a session id too, beside its ``type``)."""
    return is_map(value) and isinstance(value.get("sessionId"), str) \
        and "type" not in value and "uuid" not in value \
        and ("projectHash" in value or "startTime" in value)


def is_log(doc: Any) -> bool:
    if is_map(doc):
        return _is_header(doc) and isinstance(doc.get("messages"), list)
    return isinstance(doc, list) and bool(doc) and _is_header(doc[0]) \
        and "messages" not in doc[0]


def log_text(text: str) -> Any:
    found = logs.first_record(text, ('"sessionId"',))
    # a ConversationRecord written on one line is read as the JSON document it is
    return logs.json_lines(text) if _is_header(found) and "messages" not in found else None


def _records(doc: Any) -> list[Mapping[str, Any]]:
    """The message records of the conversation, in order: a record written again stands
    where it was first, and a rewind drops those after the message it went back to."""
    if is_map(doc):
        return [r for r in doc["messages"] if is_map(r)]
    kept: list[Mapping[str, Any]] = []
    where: dict[str, int] = {}
    for record in doc[1:]:
        if not is_map(record) or "$set" in record:
            continue
        if "$rewindTo" in record:
            target = record["$rewindTo"]
            if isinstance(target, str) and target in where:
                del kept[where[target] + 1:]
                where = {k: i for k, i in where.items() if i < len(kept)}
            continue
        ident = record.get("id")
        if isinstance(ident, str) and ident in where:
            kept[where[ident]] = record
            continue
        if isinstance(ident, str):
            where[ident] = len(kept)
        kept.append(record)
    return kept


def _parts(content: Any) -> list[Any]:
    """A record's content (text, a part, or a list of both) as Gemini parts."""
    if isinstance(content, str):
        return [{"text": content}] if content else []
    if is_map(content):
        return [content]
    if isinstance(content, list):
        return [{"text": p} if isinstance(p, str) else p for p in content
                if isinstance(p, str) or is_map(p)]
    return []


def _thought(thought: Any) -> dict[str, Any] | None:
    if isinstance(thought, str):
        return {"text": thought, "thought": True} if thought else None
    if not is_map(thought):
        return None
    said = ": ".join(t for t in (thought.get("subject"), thought.get("description"))
                     if isinstance(t, str) and t)
    return {"text": said, "thought": True} if said else None


def _text(parts: list[Any], where: str) -> str:
    """The text of parts that hold no call: responses' outputs as the text of their tool
    messages."""
    found = gemini.convert(None, {"role": "user", "parts": parts}, where).messages
    return "\n".join(m["content"] for m in found if m.get("content"))


def _result(call: Mapping[str, Any], where: str) -> str | None:
    """The text of a call's result, or None when the record holds none yet."""
    parts = _parts(call.get("result"))
    if parts:
        text: str | None = _text(parts, where)
    else:
        display = call.get("resultDisplay")
        text = display if isinstance(display, str) else None
    status = call.get("status")
    if status == "error" and not (text or "").startswith("[error]"):
        text = f"[error] {text}" if text else "[error]"
    elif status == "cancelled":
        text = f"[cancelled] {text}" if text else "[cancelled]"
    return text


def _reply(record: Mapping[str, Any], where: str) -> list[Message]:
    """A ``gemini`` record: the model's thoughts, text and calls, then each call's result."""
    parts = [p for p in map(_thought, record.get("thoughts") or ()) if p is not None]
    parts += _parts(record.get("content"))
    calls = [c for c in record.get("toolCalls") or () if is_map(c)]
    idents = []
    for number, found in enumerate(calls):
        ident = found.get("id")
        if not isinstance(ident, str) or not ident:
            ident = f"{record.get('id')}-{number}"
        idents.append(ident)
        parts.append({"functionCall": {"id": ident, "name": found.get("name"),
                                       "args": found.get("args")}})
    if not parts:
        return []
    out = list(gemini.convert(None, {"role": "model", "parts": parts}, where).messages)
    for found, ident in zip(calls, idents):
        text = _result(found, where)
        if text is not None:
            out.append({"role": "tool", "tool_call_id": ident, "content": text})
    return out


def unknown(doc: Any) -> tuple[str, ...]:
    """The types of record in the session that this reader does not know (a line of a
    JSON-lines session that is no record by the key it holds), each once, in order."""
    found: dict[str, None] = {}
    for record in _records(doc):
        kind = record.get("type")
        if kind not in _KNOWN:
            name = kind if isinstance(kind, str) else next(
                (k for k in record if k.startswith("$")), "without a type")
            found.setdefault(f"record {name}")
    return tuple(found)


def read_log(doc: Any) -> list[dict[str, Any]]:
    out: list[Message] = []
    for index, record in enumerate(_records(doc)):
        kind = record.get("type")
        where = f"message {index}"
        if kind == "user":
            parts = _parts(record.get("content"))
            if parts:
                out += gemini.convert(None, {"role": "user", "parts": parts}, where).messages
        elif kind == "gemini":
            out += _reply(record, where)
        elif kind in _NOTICES:
            text = _text(_parts(record.get("content")), where)
            if text.strip():
                out.append({"role": "user",
                            "content": f"<console>\n[{kind}] {text.strip()}\n</console>"})
    return logs.chat(out)


READER = logs.reader(NAME, read_log, is_log, log_text, unknown)
