"""Cursor's chats exported as markdown (its "Export Chat", and the exporters that write the
same shape): the chat's title, then each turn under a line that names its speaker
(``_**User**_``, ``**User**`` or a heading ``## User``; the model's turns ``Assistant``,
``Cursor`` or ``Agent``), the turns separated by ``---`` rules. aider's history, markdown
too, is told apart by its first lines: its session's heading is followed by its console's
``> `` lines or a ``#### `` turn, which stand before no export's first turn.

Read as chat messages:

- what stands before the first turn (the title, the line of the export's date): a system
  message;
- a user's turn: a user message;
- the model's turn: an assistant message. Cursor writes its parts apart, between ``---``
  rules (its text, each tool it used and what the tool gave); they are joined by blank
  lines. The export holds no calls: the tools stay in the text as Cursor wrote them
  ("Read file: PATH", a command in a fenced block and its output in the next one, a search
  in a ``<details>`` block under its ``<summary>``), where the summarizer reads them.

A speaker's line starts a turn when it is the first, or when a rule stands before it: a
reply's own bold "User" is part of the reply, and a code block left open ends with its turn.
"""

from __future__ import annotations

import re
from typing import Any

from . import logs
from .base import LogText, Message

NAME = "cursor"

_ROLES = {"User": "user", "Assistant": "assistant", "Cursor": "assistant",
          "Agent": "assistant"}
# The speaker's name, in bold (with or without italics) or a heading of the first three
# levels (aider's turns are of the fourth); a note in parentheses (the model, the mode, a
# time) may follow it.
_SPEAKER = re.compile(r"(?P<open>#{1,3}[ \t]+|_\*\*|\*\*)(?P<name>User|Assistant|Cursor|Agent)"
                      r"(?:[ \t]*\([^()\n]*\))?(?P<close>\*\*_|\*\*|)"
                      r"(?:[ \t]*\([^()\n]*\))?[ \t]*\Z")
_CLOSING = {"_**": "**_", "**": "**"}
_RULE = re.compile(r"[ \t]{0,3}-{3,}[ \t]*\Z")
_FENCE = re.compile(r"[ \t]{0,3}(`{3,}|~{3,})")


def _speaker(line: str) -> str | None:
    """The role of the speaker a line names, else None."""
    found = _SPEAKER.match(line.strip())
    if found is None:
        return None
    opened = found.group("open")
    closing = "" if opened.startswith("#") else _CLOSING[opened]
    return _ROLES[found.group("name")] if found.group("close") == closing else None


def _preamble(line: str) -> bool:
    """A line that may stand before the first turn: the title (a heading of the first
    level), the export's date line, a comment, a rule."""
    line = line.strip()
    return not line or line.startswith(("# ", "<!--")) or _RULE.match(line) is not None \
        or (line.startswith("_") and line.endswith("_"))


def is_log(doc: Any) -> bool:
    return isinstance(doc, LogText) and doc.format == NAME


def log_text(text: str) -> Any:
    """The export when the first line after its title and date lines names a speaker."""
    for line in text.splitlines():
        if _speaker(line) is not None:
            return LogText(NAME, text)
        if not _preamble(line):
            return None
    return None


def _turns(text: str) -> tuple[list[str], list[tuple[str, list[str]]]]:
    """(the lines before the first turn, each turn's role and lines)."""
    head: list[str] = []
    turns: list[tuple[str, list[str]]] = []
    ruled = False  # the last line that is not blank is a rule
    for line in text.splitlines():
        role = _speaker(line) if not turns or ruled else None
        if role is not None:
            turns.append((role, []))
            ruled = False
            continue
        (turns[-1][1] if turns else head).append(line)
        if line.strip():
            ruled = _RULE.match(line) is not None
    return head, turns


def _parts(lines: list[str]) -> list[str]:
    """A turn's parts: its text cut at the rules outside code blocks, each part without the
    blank lines around it."""
    parts: list[list[str]] = [[]]
    fence: str | None = None  # the fence of the code block the line is in
    for line in lines:
        found = _FENCE.match(line)
        if fence is None and found is not None:
            fence = found.group(1)
        elif fence is not None and found is not None and len(line.strip()) >= len(fence) \
                and set(line.strip()) == {fence[0]}:
            fence = None
        elif fence is None and _RULE.match(line):
            parts.append([])
            continue
        parts[-1].append(line)
    return [text for part in parts if (text := "\n".join(part).strip("\n").rstrip())]


def read_log(doc: Any) -> list[Message]:
    head, turns = _turns(doc.text)
    out: list[Message] = []
    title = "\n".join(line.strip() for line in head if line.strip() and
                      not line.lstrip().startswith("<!--") and not _RULE.match(line))
    if title:
        out.append({"role": "system", "content": title})
    for role, lines in turns:
        said = "\n\n".join(_parts(lines))
        if said:
            out.append({"role": role, "content": said})
    return out


READER = logs.reader(NAME, read_log, is_log, log_text)
