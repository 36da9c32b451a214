"""mini-swe-agent trajectories (``<instance>.traj.json``, one JSON document): ``messages``
as chat messages, ``info`` the run's end.

The agent acts in text: each reply ends with a fenced ``bash`` block, and the next user
message holds what it printed, as ``<returncode>N</returncode>`` and ``<output>...``.
Harnesses built on it that call a tool instead write ``tool_calls`` and tool messages,
read as they are. The last command (the one that submits) is not answered in the
messages: the harness's final record (an ``exit`` message) or ``info.exit_status`` and
``info.submission`` answer it.
"""

from __future__ import annotations

from typing import Any

from . import logs, swe_agent

from .parts import is_map

NAME = "mini-swe-agent"

_ROLES = frozenset({"system", "user", "assistant", "tool"})


def is_log(doc: Any) -> bool:
    if not is_map(doc) or not isinstance(doc.get("messages"), list):
        return False
    if str(doc.get("trajectory_format", "")).startswith(NAME):
        return True
    info = doc.get("info")
    return is_map(info) and ("exit_status" in info or "submission" in info)


def read_log(doc: Any) -> list[dict[str, Any]]:
    info = doc.get("info")
    info = info if is_map(info) else {}
    items = [m for m in doc["messages"] if is_map(m)]
    # the harness's own final record: what the last command was answered with
    said = None
    while items and items[-1].get("role") not in _ROLES:
        said = logs.text(items.pop().get("content")) or said
    messages = swe_agent.messages_of(items, "message")
    return logs.chat(logs.with_end(messages, info.get("exit_status"), info.get("submission"),
                                   said))


READER = logs.reader(NAME, read_log, is_log)
