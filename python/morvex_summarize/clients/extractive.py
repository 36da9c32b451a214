"""An offline, model-free client: builds the summary JSON from the transcript in the request."""

from __future__ import annotations

import json
import re
from array import array
from collections.abc import Iterator
from typing import Any

from . import Reply

CONVERSATION_HEADING = "## Conversation to Summarize:\n"
PREVIOUS_HEADING = "## Previous Summary (build on this):\n"

# An entry starts a line; the lines after it that start none continue it.
_ENTRY = re.compile(
    r"^\[(?:(User)|(Assistant)|Assistant called (?P<tool>[^\]\n]*)|Tool Result \((?P<id>[^)\n]*)\))\]: ",
    re.MULTILINE,
)
_TROUBLE = re.compile(
    r"\b(error|errors|failed|failure|fatal|exception|traceback|denied|not found|cannot|"
    r"can't|unable|refused?)\b",
    re.IGNORECASE,
)
_REFUSAL = re.compile(r"\b(sorry|cannot|can't|unable|won't)\b", re.IGNORECASE)
_CONSTRAINT = re.compile(r"\b(don't|do not|never|must|mustn't|only|avoid)\b", re.IGNORECASE)
_REQUEST = re.compile(r"(?i)^(also|and|then|now|next|please|could you|can you|add|make|fix)\b|\?$")
_DECISION = re.compile(r"^(i'll|i will|let's|we'll|decided|understood|instead)\b|\binstead\b",
                       re.IGNORECASE)
_MAX_ITEM = 300
_MAX_ITEMS = 12
_NEWEST = 64 * _MAX_ITEMS  # items that _bounded looks at first


def _clip(text: str, limit: int = _MAX_ITEM) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3].rstrip() + "..."


def _spans(text: str, start: int = 0) -> Iterator[tuple[re.Match[str], int]]:
    """Each entry of ``text`` from ``start`` on (which must begin a line): the match of its
    heading and where its text ends. Nothing of the text is copied."""
    previous = None
    for match in _ENTRY.finditer(text, start):
        if previous is not None:
            yield previous, match.start() - 1
        previous = match
    if previous is not None:
        yield previous, len(text)


_KINDS = ("", "user", "assistant", "call", "result")  # by the heading's group


def _heading(match: re.Match[str]) -> tuple[str, str]:
    """(kind, label) of an entry's heading."""
    group = match.lastindex or 0
    return _KINDS[group], (match.group(group) if group > 2 else "")


def parse_transcript(transcript: str) -> list[tuple[str, str, str]]:
    """Splits a transcript into (kind, label, text) entries; kind is user, assistant, call
    or result. A line that starts no entry continues the one before it."""
    return [(*_heading(match), transcript[match.end():end])
            for match, end in _spans(transcript)]


def _split_request(system_text: str) -> tuple[str, int]:
    """(earlier summary, where the transcript starts in the system message, or -1)."""
    at = system_text.find(CONVERSATION_HEADING)
    if at < 0:
        return "", -1
    _, psep, previous = system_text[:at].partition(PREVIOUS_HEADING)
    return (previous.rstrip("\n") if psep else ""), at + len(CONVERSATION_HEADING)


def _item(kind: str, label: str, body: str) -> str:
    """What an entry says in a summary list."""
    if kind == "call":
        return _clip(f"Called {label}" + (f" ({body})" if body else ""))
    if kind == "result":
        return _clip(f"{label}: {body}")
    return _clip(body)


class _Found:
    """The entries that give the items of one list, as where they are in the transcript:
    a large transcript gives many items, of which only the newest few are kept, so an item
    is made from its entry when it is looked at."""

    __slots__ = ("spans", "text")

    def __init__(self, text: str) -> None:
        self.text = text
        self.spans = array("q")  # entry start, text end; per entry

    def add(self, match: re.Match[str], end: int) -> None:
        self.spans.append(match.start())
        self.spans.append(end)

    def __len__(self) -> int:
        return len(self.spans) // 2

    def __getitem__(self, index: int) -> str:
        match = _ENTRY.match(self.text, self.spans[2 * index])
        assert match is not None
        return _item(*_heading(match), self.text[match.end():self.spans[2 * index + 1]])


def _bounded(*groups: _Found) -> list[str]:
    """The newest _MAX_ITEMS distinct non-empty items of the groups one after the other, in
    the order each first came. Takes the distinct items of a newest part, drops those that
    came before it, and widens the part while fewer than _MAX_ITEMS are left. So it holds
    the distinct items of all entries only when the newest ones mostly repeat older ones."""
    def item(index: int) -> str:
        for group in groups:
            if index < len(group):
                return group[index]
            index -= len(group)
        raise IndexError(index)

    count = sum(len(g) for g in groups)
    size = _NEWEST
    while True:
        cut = max(count - size, 0)
        new = dict.fromkeys(filter(None, map(item, range(cut, count))))
        for index in range(cut):
            if not new:
                break
            new.pop(item(index), None)
        if len(new) >= _MAX_ITEMS or not cut:
            return list(new)[-_MAX_ITEMS:]
        size *= 8


def summarize_transcript(transcript: str, previous: str = "") -> dict[str, Any]:
    """The summary object (goals, progress, ... summary) for a transcript."""
    return _summarize(transcript, 0, previous)


def _summarize(text: str, start: int, previous: str) -> dict[str, Any]:
    """The summary of the transcript in ``text`` from ``start`` on. Reads each entry once,
    keeping counts, the last entry and where the listed ones are, never their texts."""
    users = said = calls = results = 0
    first_goal = last_said = None
    goals, progress, facts, troubles, refusals, decisions, constraints = (
        _Found(text) for _ in range(7))
    kind = label = body = ""
    for match, end in _spans(text, start):
        kind, label = _heading(match)
        body = text[match.end():end]
        if kind == "user":
            if not users:
                first_goal = _clip(body)
                goals.add(match, end)
            elif _CONSTRAINT.search(body):
                constraints.add(match, end)
            elif _REQUEST.search(body.strip()):
                goals.add(match, end)
            users += 1
        elif kind == "assistant":
            said += 1
            last_said = body
            if _REFUSAL.search(body):
                refusals.add(match, end)
            if _DECISION.search(body):
                decisions.add(match, end)
        elif kind == "call":
            calls += 1
            progress.add(match, end)
        else:
            results += 1
            if _TROUBLE.search(body):
                troubles.add(match, end)
            elif body.strip():
                facts.add(match, end)
    state = _clip(last_said) if last_said is not None else ""
    next_steps: list[str] = []
    if kind == "call":
        next_steps.append(_clip(f"Wait for the result of {label}"))
    elif kind == "user":
        next_steps.append(_clip(f"Answer the user: {body}"))
    elif kind == "result" and _TROUBLE.search(body):
        next_steps.append(_clip(f"Resolve the failure of {label}: {body}"))
    narrative_parts = []
    if previous:
        narrative_parts.append(f"Continues an earlier summary ({_clip(previous, 200)}).")
    narrative_parts.append(
        f"{users} user message(s), {said} assistant message(s), "
        f"{calls} tool call(s), {results} tool result(s)."
    )
    if first_goal is not None:
        narrative_parts.append(f"The user asked: {first_goal}")
    if state:
        narrative_parts.append(f"Last assistant message: {state}")
    return {
        "goals": _bounded(goals),
        "progress": _bounded(progress),
        "current_state": state,
        "key_decisions": _bounded(decisions, constraints),
        "key_facts": _bounded(facts),
        "blockers": _bounded(troubles, refusals),
        "next_steps": next_steps,
        "summary": " ".join(narrative_parts),
    }


class ExtractiveClient:
    """Deterministic, offline and fast; answers with a JSON summary of the request's transcript."""

    name = "extractive"

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Reply:
        system = ""
        for message in messages:
            if isinstance(message, dict) and message.get("role") == "system":
                system = str(message.get("content") or "")
                break
        previous, start = _split_request(system)
        summary = _summarize(system, start, previous) if start >= 0 else _summarize("", 0, "")
        return Reply(json.dumps(summary, ensure_ascii=False))
