"""Codex CLI's rollout logs (``~/.codex/sessions/YYYY/MM/DD/rollout-*.jsonl``): records
``{"timestamp", "type", "payload"}``.

The conversation is the ``response_item`` records' payloads, Responses API items read by
the Responses reader (messages, function calls and their outputs, shell and custom tool
calls, reasoning); the instructions in ``session_meta`` lead it as a system message. Calls
made in one reply, an item each, are one assistant message with all of them. The
``turn_context``, ``world_state`` and ``token_usage_record`` records and the ``event_msg``
notifications (which repeat the items) are no conversation. The ``<environment_context>`` and ``<user_instructions>`` blocks Codex
sends as user messages stay as they are: the summarizer reads tagged blocks as context.

Compacting writes a ``compacted`` record where the history was replaced: the items before
it are read all the same, and its summary stands in a ``<compaction-summary>`` block of a
user message (context, not a request); the replacement history, which repeats what came
before, is not read again. A record or an item of a type this reader does not know (each
release adds some) is left out, and named by `unknown`.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

from . import logs, responses
from .base import Message
from .parts import is_map

NAME = "codex"

# The records this reader knows: those it reads, and those it leaves out knowingly.
_RECORDS = frozenset({"session_meta", "response_item", "compacted", "turn_context",
                      "event_msg", "world_state", "token_usage_record"})


def is_record(value: Any) -> bool:
    return is_map(value) and isinstance(value.get("type"), str) and "payload" in value \
        and "timestamp" in value


def is_log(doc: Any) -> bool:
    return isinstance(doc, list) and bool(doc) and all(is_record(r) for r in doc[:3])


def log_text(text: str) -> Any:
    return logs.json_lines(text) if is_record(logs.first_record(text, ('"payload"',))) \
        else None


def _output(item: Mapping[str, Any]) -> Mapping[str, Any]:
    """A call's output written as JSON text with the exit code beside it (``{"output":
    ..., "metadata": {"exit_code": 1}}``) as the text a shell shows: the code first."""
    output = item.get("output")
    if not isinstance(output, str) or not output.startswith("{"):
        return item
    try:
        found = json.loads(output)
    except ValueError:
        return item
    if not is_map(found) or not isinstance(found.get("output"), str):
        return item
    metadata = found.get("metadata")
    code = metadata.get("exit_code") if is_map(metadata) else None
    text = found["output"] if code is None else f"Exit code: {code}\n{found['output']}"
    return {**item, "output": text}


def _known(item: Mapping[str, Any]) -> bool:
    """A response item of a type the Responses reader reads."""
    return item.get("type") in (None, "message") or responses.is_own(item)


def unknown(doc: Any) -> tuple[str, ...]:
    """The types of record and of response item in the rollout that this reader does not
    know, each once, in the order found."""
    found: dict[str, None] = {}
    for record in doc:
        if not is_map(record):
            continue
        kind = record.get("type")
        payload = record.get("payload")
        if kind not in _RECORDS:
            found.setdefault(f"record {kind}")
        elif kind == "response_item" and is_map(payload) and not _known(payload):
            found.setdefault(f"item {payload.get('type')}")
    return tuple(found)


def _one_reply(messages: list[Message]) -> list[Message]:
    """The messages with calls made in one reply (an item each, their outputs after the
    last) in one assistant message, as chat messages hold them: an assistant message's
    calls must be answered by the tool messages right after it."""
    out: list[Message] = []
    for message in messages:
        last = out[-1] if out else None
        if last is not None and last.get("role") == "assistant" and last.get("tool_calls") \
                and message.get("role") == "assistant" and message.get("tool_calls") \
                and not message.get("content"):
            out[-1] = {**last, "tool_calls": [*last["tool_calls"], *message["tool_calls"]]}
        else:
            out.append(message)
    return out


def read_log(doc: Any) -> list[dict[str, Any]]:
    out: list[Message] = []
    for index, record in enumerate(doc):
        if not is_map(record):
            continue
        payload = record.get("payload")
        kind = record.get("type")
        if kind == "session_meta" and is_map(payload):
            instructions = payload.get("instructions")
            if isinstance(instructions, str) and instructions.strip():
                out.append({"role": "system", "content": instructions})
        elif kind == "response_item" and is_map(payload) and _known(payload):
            if str(payload.get("type", "")).endswith("_output"):
                payload = _output(payload)
            out += responses.convert(payload, payload, f"record {index}").messages
        elif kind == "compacted" and is_map(payload):
            summary = payload.get("message")
            if isinstance(summary, str) and summary.strip():
                out.append(logs.compaction(summary))
    return logs.chat(_one_reply(out))


READER = logs.reader(NAME, read_log, is_log, log_text, unknown)
