"""aider's chat history (``.aider.chat.history.md`` in the project it ran in): markdown.

``# aider chat started at ...`` opens a session; ``#### `` lines are the user's turn;
``> `` lines are aider's console (the commands it ran and what they printed, "Applied edit
to FILE", its questions such as "Add file to the chat?"); the other lines are the model's
reply, with the edits it makes written in its text (``<<<<<<< SEARCH`` ...
``>>>>>>> REPLACE`` blocks, or whole files, under each file's name).

Read as chat messages, every session in the file in order:

- a session's start and the console lines before its first turn: a system message;
- a turn: a user message; ``/ask``, ``/code`` and ``/architect`` turns by their request;
- a command the user ran (``/run CMD``, ``/test CMD``, ``!CMD``) with what it printed: a
  user message as a terminal shows it (``$ CMD`` then the output);
- other console lines (what aider did with the reply, its other commands): a user message
  in a ``<console>`` block, which the summarizer reads as a harness's text, not the user's;
- the model's reply: an assistant message, its edit blocks as written.
"""

from __future__ import annotations

import re
from typing import Any

from . import logs
from .base import LogText, Message

NAME = "aider"

_STARTED = "# aider chat started at"
_START = re.compile(r"^" + re.escape(_STARTED), re.MULTILINE)
# Turns that ask the model, by their request; commands whose output is a shell's.
_ASKING = frozenset({"ask", "code", "architect", "context"})
_RUNNING = frozenset({"run", "test"})


def is_log(doc: Any) -> bool:
    return isinstance(doc, LogText) and doc.format == NAME


def log_text(text: str) -> Any:
    head = text.lstrip()[:1]
    if head in ("{", "[") or _START.search(text) is None:
        return None
    return LogText(NAME, text)


def _blocks(text: str) -> list[tuple[str, list[str]]]:
    """The text as (kind, lines) blocks, in order: "session", "user", "console" or
    "reply". Blank lines belong to a reply; between console lines, to the console."""
    blocks: list[tuple[str, list[str]]] = []
    blank = 0
    for line in text.splitlines():
        if line.startswith(_STARTED):
            kind, body = "session", line[len(_STARTED):].strip()
        elif line.startswith("####") and line[4:5] in (" ", ""):
            kind, body = "user", line[5:].rstrip()
        elif line.startswith(">") and line[1:2] in (" ", ""):
            kind, body = "console", line[2:].rstrip()
        elif not line.strip():
            blank += 1
            continue
        else:
            kind, body = "reply", line
        if blocks and blocks[-1][0] == kind and kind != "session":
            if kind != "user":
                blocks[-1][1].extend([""] * blank)
            blocks[-1][1].append(body)
        else:
            blocks.append((kind, [body]))
        blank = 0
    return blocks


def _console(lines: list[str]) -> str:
    return "\n".join(lines).strip("\n")


def read_log(doc: Any) -> list[Message]:
    out: list[Message] = []
    ran: str | None = None  # the command of the turn that ran one
    command: str | None = None  # the turn that gave aider another command
    started = False  # the console lines go with the session's start
    for kind, lines in _blocks(doc.text):
        if kind == "session":
            out.append({"role": "system", "content": f"aider chat started at {lines[0]}"})
            started = True
            continue
        if kind == "console":
            printed = _console(lines)
            if started:
                out[-1] = {"role": "system", "content": f"{out[-1]['content']}\n{printed}"}
            elif ran is not None:
                out.append({"role": "user", "content": f"$ {ran}\n{printed}"})
            else:
                shown = f"{command}\n{printed}" if command else printed
                out.append({"role": "user", "content": f"<console>\n{shown}\n</console>"})
            ran = command = None
            continue
        if ran is not None:
            out.append({"role": "user", "content": f"$ {ran}"})
        elif command is not None:
            out.append({"role": "user", "content": f"<console>\n{command}\n</console>"})
        ran = command = None
        started = False
        said = "\n".join(lines).strip("\n")
        if kind == "reply":
            out.append({"role": "assistant", "content": said})
            continue
        if said.startswith("!"):
            ran = said[1:].strip()
        elif said.startswith("/"):
            name, _, rest = said[1:].partition(" ")
            if name in _ASKING and rest.strip():
                out.append({"role": "user", "content": rest.strip()})
            elif name in _RUNNING and rest.strip():
                ran = rest.strip()
            else:
                command = said
        else:
            out.append({"role": "user", "content": said})
    if ran is not None:
        out.append({"role": "user", "content": f"$ {ran}"})
    elif command is not None:
        out.append({"role": "user", "content": f"<console>\n{command}\n</console>"})
    return out


READER = logs.reader(NAME, read_log, is_log, log_text)
