"""What a client does to a model's reply before the summarizer reads it.

The summarizer parses a reply that is a JSON object, or one whose first line opens a code
fence around it. Models often write a sentence first ("Here you go:") or after, with the
object fenced or bare; such a reply is handed on as the object alone, so its fields are
kept. A reply that holds no JSON object at all is handed on as it is, and the summarizer
keeps its prose as the narrative."""

from __future__ import annotations

import json
from typing import Any

from ..records import SUMMARY_KEYS

MAX_STARTS = 64
"""Opening braces tried as the start of an object before the search gives up: each failed
attempt may read to the end of the reply, so the search stays linear in its length."""

_DECODER = json.JSONDecoder()
_FENCE = "```"


def _object(text: str) -> bool:
    """The text, once stripped (and unwrapped from a fence that opens it, as the
    summarizer does), is one JSON object."""
    body = text.strip()
    if body.startswith(_FENCE):
        lines = body.split("\n")[1:]
        for at, line in enumerate(lines):
            if line.strip() == _FENCE:
                lines = lines[:at]
                break
        body = "\n".join(lines)
    try:
        return isinstance(json.loads(body), dict)
    except (ValueError, RecursionError):
        return False


def objects_in(text: str) -> list[tuple[int, int, dict[str, Any]]]:
    """(start, end, object) of each JSON object in the text that no other one holds, in
    their order."""
    found: list[tuple[int, int, dict[str, Any]]] = []
    at = text.find("{")
    tries = 0
    while at >= 0 and tries < MAX_STARTS:
        try:
            value, end = _DECODER.raw_decode(text, at)
        except (ValueError, RecursionError):
            tries += 1
            at = text.find("{", at + 1)
            continue
        found.append((at, end, value))
        at = text.find("{", end)
    return found


def keep_json(text: str) -> str:
    """The reply as the summarizer should read it: unchanged when it is already a JSON
    object (bare or fenced from its start) or holds none; else the one object in it, or,
    of several, the first that has a field of the summary (the first of all when none
    has)."""
    if "{" not in text or _object(text):
        return text
    found = objects_in(text)
    if not found:
        return text
    start, end, _ = next((f for f in found if any(k in f[2] for k in SUMMARY_KEYS)),
                         found[0])
    return text[start:end]
