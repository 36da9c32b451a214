"""The crude baseline a summary is measured against: the user's first message and the
last three messages, as they are, with nothing said about them.

    python -m benchmarks.baseline FILE --format json            the record
    python -m benchmarks.baseline condense FILE --budget N      the kept messages

It takes the command line of `morvex-summarize` (other options are ignored), so a judge of
summaries can run it in the tool's place (`benchmarks/baseline_tool`). A file is read as
the tool reads it, an agent's own log included.
"""
from __future__ import annotations

import json
import sys
from typing import Any

from morvex_summarize.formats import read_file

KEPT = 3  # the newest messages the baseline keeps


def _text(message: dict[str, Any]) -> str:
    content = message.get("content")
    if isinstance(content, list):
        content = "\n".join(str(p.get("text", "")) if isinstance(p, dict) else str(p)
                            for p in content)
    return content if isinstance(content, str) else ""


def record(messages: list[dict[str, Any]]) -> dict[str, Any]:
    """The first user message as the goal; the last messages as the state, unjudged."""
    first = next((_text(m) for m in messages if m.get("role") == "user"), "")
    last = "\n\n".join(_text(m) for m in messages[-KEPT:])
    return {"goals": [first] if first else [], "progress": [], "current_state": last,
            "key_decisions": [], "key_facts": [], "blockers": [], "next_steps": [],
            "summary": last}


def kept(messages: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The first user message and the last messages, in order, each once."""
    at = next((i for i, m in enumerate(messages) if m.get("role") == "user"), None)
    tail = list(range(max(len(messages) - KEPT, 0), len(messages)))
    chosen = sorted(set(tail) | ({at} if at is not None else set()))
    return [messages[i] for i in chosen]


def main(argv: list[str]) -> int:
    condense = bool(argv) and argv[0] == "condense"
    args = argv[1:] if condense else argv
    path = next((a for a in args if not a.startswith("-")), None)
    if path is None:
        print("usage: python -m benchmarks.baseline [condense] FILE [OPTIONS]", file=sys.stderr)
        return 2
    messages = [dict(m) for m in read_file(path).messages]
    json.dump(kept(messages) if condense else record(messages), sys.stdout, ensure_ascii=False)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
