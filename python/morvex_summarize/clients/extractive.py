"""An offline, model-free client: builds the summary JSON from the transcript in the request."""

from __future__ import annotations

import json
import re
from typing import Any

from . import Reply

CONVERSATION_HEADING = "## Conversation to Summarize:\n"
PREVIOUS_HEADING = "## Previous Summary (build on this):\n"

_LINE = re.compile(
    r"^\[(?:(User)|(Assistant)|Assistant called (?P<tool>[^\]\n]*)|Tool Result \((?P<id>[^)\n]*)\))\]: ",
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


def _clip(text: str, limit: int = _MAX_ITEM) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3].rstrip() + "..."


def parse_transcript(transcript: str) -> list[tuple[str, str, str]]:
    """Splits a transcript into (kind, label, text) entries; kind is user, assistant, call
    or result. A line that starts no entry continues the one before it."""
    entries: list[tuple[str, str, str]] = []
    for line in transcript.split("\n"):
        match = _LINE.match(line)
        if match is None:
            if entries:
                kind, label, text = entries[-1]
                entries[-1] = (kind, label, text + "\n" + line)
            continue
        body = line[match.end():]
        if match.group(1):
            entries.append(("user", "", body))
        elif match.group(2):
            entries.append(("assistant", "", body))
        elif match.group("tool") is not None:
            entries.append(("call", match.group("tool"), body))
        else:
            entries.append(("result", match.group("id") or "", body))
    return entries


def _split_request(system_text: str) -> tuple[str, str]:
    """(earlier summary, transcript) from the system message."""
    head, sep, transcript = system_text.partition(CONVERSATION_HEADING)
    if not sep:
        return "", ""
    _, psep, previous = head.partition(PREVIOUS_HEADING)
    return (previous.rstrip("\n") if psep else ""), transcript


def _bounded(items: list[str]) -> list[str]:
    seen: list[str] = []
    for item in items:
        if item and item not in seen:
            seen.append(item)
    return seen[-_MAX_ITEMS:] if len(seen) > _MAX_ITEMS else seen


def summarize_transcript(transcript: str, previous: str = "") -> dict[str, Any]:
    """The summary object (goals, progress, ... summary) for a transcript."""
    entries = parse_transcript(transcript)
    users = [text for kind, _, text in entries if kind == "user"]
    said = [text for kind, _, text in entries if kind == "assistant"]
    calls = [(label, text) for kind, label, text in entries if kind == "call"]
    results = [(label, text) for kind, label, text in entries if kind == "result"]

    later = users[1:]
    constraints = [u for u in later if _CONSTRAINT.search(u)]
    goals = [_clip(users[0])] if users else []
    goals += [_clip(u) for u in later if u not in constraints and _REQUEST.search(u.strip())]
    progress = [_clip(f"Called {name}" + (f" ({args})" if args else "")) for name, args in calls]
    facts = [_clip(f"{tool_id}: {text}") for tool_id, text in results
             if text.strip() and not _TROUBLE.search(text)]
    blockers = [_clip(f"{tool_id}: {text}") for tool_id, text in results if _TROUBLE.search(text)]
    blockers += [_clip(t) for t in said if _REFUSAL.search(t)]
    decisions = [_clip(t) for t in said if _DECISION.search(t)]
    decisions += [_clip(u) for u in constraints]
    state = _clip(said[-1]) if said else ""
    next_steps: list[str] = []
    last_kind, last_label, last_text = entries[-1] if entries else ("", "", "")
    if last_kind == "call":
        next_steps.append(_clip(f"Wait for the result of {last_label}"))
    elif last_kind == "user":
        next_steps.append(_clip(f"Answer the user: {last_text}"))
    elif last_kind == "result" and _TROUBLE.search(last_text):
        next_steps.append(_clip(f"Resolve the failure of {last_label}: {last_text}"))
    narrative_parts = []
    if previous:
        narrative_parts.append(f"Continues an earlier summary ({_clip(previous, 200)}).")
    narrative_parts.append(
        f"{len(users)} user message(s), {len(said)} assistant message(s), "
        f"{len(calls)} tool call(s), {len(results)} tool result(s)."
    )
    if goals:
        narrative_parts.append(f"The user asked: {goals[0]}")
    if state:
        narrative_parts.append(f"Last assistant message: {state}")
    return {
        "goals": _bounded(goals),
        "progress": _bounded(progress),
        "current_state": state,
        "key_decisions": _bounded(decisions),
        "key_facts": _bounded(facts),
        "blockers": _bounded(blockers),
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
        previous, transcript = _split_request(system)
        return Reply(json.dumps(summarize_transcript(transcript, previous), ensure_ascii=False))
