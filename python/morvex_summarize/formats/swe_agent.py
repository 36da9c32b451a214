"""SWE-agent trajectories (``<instance>.traj``, one JSON document): ``history`` is the
conversation the model saw, ``trajectory`` the same steps one by one, ``info`` the run's end.

``history`` holds chat messages: ``content`` a str or a list of text blocks, the
assistant's ``tool_calls``, and the ``tool_call_ids`` a tool message answers. Older runs act
in text: the command in a fenced block that ends the assistant's message, the observation
in the next user message. The demonstrations a run is shown first (``is_demo``) are another
task's, and are left out. The end (``info.exit_status``, ``info.submission``) is read as
`logs.with_end` writes it: the output of a last action nothing answers, or a note of a run
that stopped without a submission.
"""

from __future__ import annotations

from typing import Any

from . import logs
from .base import FormatError
from .parts import is_map

NAME = "swe-agent"


def is_log(doc: Any) -> bool:
    return is_map(doc) and isinstance(doc.get("history"), list) and (
        "trajectory" in doc or "info" in doc)


def messages_of(items: list[Any], what: str) -> list[dict[str, Any]]:
    """A harness's chat messages as OpenAI's: text content, calls as they are, and a tool
    message for each call id it answers."""
    out: list[dict[str, Any]] = []
    for index, item in enumerate(items):
        if not is_map(item) or item.get("is_demo"):
            continue
        role = item.get("role")
        if not isinstance(role, str):
            raise FormatError(f"{what} {index} has no role")
        content = logs.text(item.get("content"))
        if role == "tool":
            ids = item.get("tool_call_ids") or [item.get("tool_call_id")]
            out += [{"role": "tool", "tool_call_id": i, "content": content} for i in ids]
        elif role == "assistant":
            message: dict[str, Any] = {"role": "assistant", "content": content}
            if item.get("tool_calls"):
                message["tool_calls"] = list(item["tool_calls"])
            out.append(message)
        else:
            out.append({"role": role, "content": content})
    return out


def read_log(doc: Any) -> list[dict[str, Any]]:
    info = doc.get("info")
    info = info if is_map(info) else {}
    messages = messages_of(doc["history"], "history item")
    return logs.chat(logs.with_end(messages, info.get("exit_status"), info.get("submission")))


READER = logs.reader(NAME, read_log, is_log)
