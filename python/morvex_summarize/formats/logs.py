"""What the readers of agents' session logs share: JSON lines, the chat messages a log is
read into, and the end of a run as its harness recorded it.

A log reader turns a whole log into OpenAI chat messages (tool calls as ``function``
objects with their arguments as JSON text), so that the conversation is read, condensed and
written back as OpenAI's, whatever the log was."""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from . import openai_chat
from .base import FormatError, Message, Reader
from .parts import content_text, is_map


def first_record(text: str, marks: tuple[str, ...]) -> Any:
    """The JSON value on the first line of ``text`` that is not blank, or None when that
    line is no JSON object holding one of ``marks``: what tells a JSON-lines log's format.
    Only that line is parsed, and only when a mark is in it (a conversation written as
    one line of JSON is not parsed twice). FormatError when that line is nested too deeply
    to be read."""
    start = len(text) - len(text.lstrip())
    end = text.find("\n", start)
    line = text[start:] if end < 0 else text[start:end]
    if not line.startswith("{") or not any(mark in line for mark in marks):
        return None
    try:
        return json.loads(line)
    except ValueError:
        return None
    except RecursionError:  # a log's mark in it, but no record can be read from it
        raise FormatError("line 1: nested too deeply") from None


def json_lines(text: str) -> list[Any]:
    """The values of a JSON-lines text. A last line cut short (a log still being written)
    is left out; any other line that is no JSON is a FormatError naming it."""
    lines = text.split("\n")
    while lines and not lines[-1].strip():
        lines.pop()
    out = []
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            out.append(json.loads(line))
        except ValueError as exc:
            if number == len(lines):
                break
            raise FormatError(f"line {number} is no JSON ({exc})") from None
        except RecursionError:
            raise FormatError(f"line {number}: nested too deeply") from None
    return out


def text(content: Any) -> str:
    """A message's content (a str, or a list of text blocks) as its text."""
    if isinstance(content, str):
        return content
    return content_text(content)[0] if content is not None else ""


def chat(messages: Sequence[Message]) -> list[dict[str, Any]]:
    """The summarizer's messages as OpenAI chat messages: each tool call as a ``function``
    call whose arguments are JSON text."""
    out = []
    for message in messages:
        calls = message.get("tool_calls")
        if not calls:
            out.append(dict(message))
            continue
        written = dict(message)
        written["tool_calls"] = [_call(c) for c in calls]
        out.append(written)
    return out


def _call(found: Mapping[str, Any]) -> dict[str, Any]:
    function = found.get("function")
    if is_map(function):
        name, arguments = function.get("name"), function.get("arguments")
    else:
        name, arguments = found.get("name"), found.get("arguments")
    if not isinstance(arguments, str):
        arguments = json.dumps(arguments if arguments is not None else {}, ensure_ascii=False,
                               default=str)
    return {"id": found.get("id"), "type": "function",
            "function": {"name": name if isinstance(name, str) else "unknown",
                         "arguments": arguments}}


def reader(name: str, read: Callable[[Any], Sequence[Message]], is_log: Callable[[Any], bool],
           log_text: Callable[[str], Any] | None = None,
           unknown: Callable[[Any], tuple[str, ...]] | None = None,
           warnings: Callable[[Any], tuple[str, ...]] | None = None) -> Reader:
    """A log format's reader: the log is read whole by ``read``; the chat messages it gives
    are read, condensed and put back as OpenAI's. ``unknown`` names what of a log ``read``
    leaves out for not knowing it (`Reader.log_unknown`), ``warnings`` what it read
    otherwise than the log has it (`Reader.log_warnings`)."""
    return Reader(name, openai_chat.convert, openai_chat.place_context, openai_chat.note,
                  body_keys=(), read_log=read, is_log=is_log, log_text=log_text,
                  log_unknown=Reader.log_unknown if unknown is None else unknown,
                  log_warnings=Reader.log_warnings if warnings is None else warnings)


def compaction(summary: str) -> dict[str, Any]:
    """The agent's summary of the history it compacted, as the user message the agent sent
    it in: in a ``<compaction-summary>`` block, which the summarizer reads as context, not
    as a request."""
    return {"role": "user",
            "content": f"<compaction-summary>\n{summary.strip()}\n</compaction-summary>"}


# -- a run's end, from its harness's record ---------------------------------------------

_FENCED_END = re.compile(r"```[^\n]*\n(.*?)\n[ \t]*```\s*\Z", re.DOTALL)


def _waiting(messages: list[dict[str, Any]]) -> list[str] | None:
    """The ids of the calls the last assistant message made that no tool message answers,
    ``[]`` for a command it wrote in its text and nothing answers, else None."""
    if not messages or messages[-1].get("role") not in ("assistant", "tool"):
        return None
    answered = set()
    for message in reversed(messages):
        if message.get("role") == "tool":
            answered.add(message.get("tool_call_id"))
            continue
        calls = message.get("tool_calls") or []
        if calls:
            ids = [c.get("id") for c in calls if c.get("id") not in answered]
            return ids or None
        if message is messages[-1] and _FENCED_END.search(str(message.get("content") or "")):
            return []
        return None
    return None


def with_end(messages: list[dict[str, Any]], exit_status: Any, submission: Any,
             said: str | None = None) -> list[dict[str, Any]]:
    """The messages with the run's end: ``said`` (what the harness answered the last action
    with, when the log holds it) or the exit status and the submitted patch, as the output
    of the last action when nothing answers it; else, for a run that ended without a
    submission, as a note of its own."""
    status = exit_status if isinstance(exit_status, str) and exit_status else None
    patch = submission if isinstance(submission, str) and submission.strip() else None
    if said is None and status is None and patch is None:
        return messages
    if said is None:
        said = f"The run ended (exit status: {status or 'unknown'})"
        said += f" and submitted this patch:\n\n{patch}" if patch else \
            " without submitting a patch."
    waiting = _waiting(messages)
    if waiting:
        return messages + [{"role": "tool", "tool_call_id": ident, "content": said}
                           for ident in waiting]
    if waiting is not None or (status is not None and not status.startswith("submitted")):
        return messages + [{"role": "user", "content": said}]
    return messages
