"""Cline's task histories, and those of its forks Roo Code and Kilo Code (4.x):
``tasks/<taskId>/api_conversation_history.json`` in the extension's storage, one JSON list
of Anthropic messages as the model was sent them, with the extension's own keys beside
``role`` and ``content`` (``ts``, ``modelInfo``, ``metrics``; Roo's ``isSummary``,
``condenseParent``, ...).

Each message is read by the Anthropic reader. In the classic mode the model calls its
tools in XML within its text (``<read_file><path>x</path></read_file>``), which stays as
written, and the results come back as the user's text blocks (``[read_file for 'x']
Result:`` and what it gave); in the native mode they are ``tool_use`` and ``tool_result``
blocks, read as calls and tool messages paired by id. Along the way:

- the ``<environment_details>`` block the extension adds to each user message (open files,
  the terminals, the time, the workspace's files) stays where it is, a tagged block of its
  own that the summarizer reads as the agent's context, not as the user's words (and the
  ``<task>`` tag around the request as the user's words in a harness's wrapping);
- Roo's condensing keeps the messages it stood for, marked with its ``condenseId`` in
  their ``condenseParent`` (and a truncation's with its ``truncationParent``): those are no
  longer the conversation, and are left out, while the summary (``isSummary``) is kept in
  a ``<compaction-summary>`` block of a user message, as context; the truncation marker is
  left out;
- a reasoning item between the messages keeps its summary as ``[reasoning]`` text (the
  encrypted reasoning is left out).

An item of another kind is left out, and named by `unknown`.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from . import anthropic, logs
from .base import Message
from .parts import Rendered, is_map, render_part

NAME = "cline"

_ROLES = frozenset({"user", "assistant"})
# Keys the extension stores beside a message: no API's request holds them.
_STORED = ("modelInfo", "metrics", "isSummary", "condenseId", "condenseParent", "truncationId",
           "truncationParent", "isTruncationMarker")
_ENVIRONMENT = "<environment_details>"


def _is_message(value: Any) -> bool:
    return is_map(value) and value.get("role") in _ROLES and "content" in value


def _is_reasoning(value: Any) -> bool:
    return is_map(value) and value.get("type") == "reasoning" and "role" not in value


def _stored(message: Mapping[str, Any]) -> bool:
    return isinstance(message.get("ts"), (int, float)) or any(k in message for k in _STORED)


def _has_environment(message: Mapping[str, Any]) -> bool:
    """The environment block in a text block of its own (the chat messages this reader
    gives hold it in text content: they are no task history)."""
    content = message.get("content")
    return isinstance(content, list) and any(
        is_map(b) and isinstance(b.get("text"), str) and _ENVIRONMENT in b["text"]
        for b in content)


def is_log(doc: Any) -> bool:
    """A list of Anthropic messages that starts with the user's and holds what only the
    extension writes: its keys beside a message, or its environment block."""
    if not isinstance(doc, list) or not doc or not _is_message(doc[0]) \
            or doc[0]["role"] != "user":
        return False
    head = doc[:3]
    if not all(_is_message(m) or _is_reasoning(m) for m in head):
        return False
    return any(_stored(m) for m in head) or _has_environment(doc[0])


def _ids(items: list[Mapping[str, Any]], key: str) -> set[str]:
    return {found for m in items if isinstance(found := m.get(key), str)}


def _hidden(message: Mapping[str, Any], condensed: set[str], truncated: set[str]) -> bool:
    """A message that a condensing or a truncation in the history stands in for."""
    parent = message.get("condenseParent")
    if isinstance(parent, str) and parent in condensed:
        return True
    parent = message.get("truncationParent")
    return isinstance(parent, str) and parent in truncated


def unknown(doc: Any) -> tuple[str, ...]:
    """The kinds of item in the history that are neither a message nor reasoning, each
    once, in the order found."""
    found: dict[str, None] = {}
    for item in doc:
        if is_map(item) and item.get("role") not in _ROLES and not _is_reasoning(item):
            found.setdefault(f"item {item.get('type') or item.get('role')}")
    return tuple(found)


def read_log(doc: Any) -> list[dict[str, Any]]:
    items = [m for m in doc if is_map(m)]
    condensed, truncated = _ids(items, "condenseId"), _ids(items, "truncationId")
    out: list[Message] = []
    for index, item in enumerate(items):
        if _hidden(item, condensed, truncated) or item.get("isTruncationMarker"):
            continue
        if _is_reasoning(item):
            run = Rendered()
            render_part(item, run)
            if run.pieces:
                out.append({"role": "assistant", "content": run.text()})
            continue
        role = item.get("role")
        if role not in _ROLES:
            continue
        content = item.get("content")
        if item.get("isSummary"):
            out.append({"role": "user", "content": "<compaction-summary>\n"
                        f"{logs.text(content).strip()}\n</compaction-summary>"})
            continue
        message = {"role": role, "content": content if content is not None else ""}
        out += anthropic.convert(message, message, f"message {index}").messages
    return logs.chat(out)


READER = logs.reader(NAME, read_log, is_log, unknown=unknown)
