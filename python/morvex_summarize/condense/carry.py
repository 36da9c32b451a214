"""Summaries that build on the one before: reading a rendered summary back into its lists,
merging an earlier summary with a new one within bounds, and making a summary smaller
until its context text fits a budget.

What is kept, in order of importance: the goals (the user's first request, the requests
added later and the user's constraints) are never dropped; then blockers, decisions and
facts, of which the salient ones (errors, paths, versions, ports, counts, identifiers)
outlast the others; progress goes first. Among equals the oldest go first."""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from typing import Any

from ..native import TOOL_RESULT_LIMIT
from ..records import LIST_KEYS

CONSTRAINT_PREFIX = "Constraint: "

LIMITS = {"goals": 16, "progress": 12, "key_decisions": 16, "key_facts": 24, "blockers": 12,
          "next_steps": 6}
"""Items each list keeps when an earlier summary is merged with a new one."""
CONSTRAINTS_KEPT = 8
"""The user's constraints a summary keeps beside the goal: the earliest, which the user
states first and means most."""

# The order in which lists give up items to fit a budget: least important first.
SHRINK_ORDER = ("progress", "next_steps", "key_facts", "key_decisions", "blockers")

# What makes a line of a tool output worth keeping: the words of a failure, or a mark of
# something one refers to later. Possessive quantifiers keep each alternative from
# backtracking through a word it cannot use; the marks are looked for only in a line that
# has a digit, a slash or a colon, which every one of them needs.
_FAILURE_WORDS = re.compile(
    r"\b(?:errors?|fail(?:ed|ure)|fatal|exception|traceback|panic|denied|refused|"
    r"not found|cannot|timed? ?out|conflict)\b")
_MARKED = re.compile(r"[\d/:]")
_MARKS = re.compile(
    r"(?:^|[\s'\"(=])(?:~|\.{1,2})?+/[\w.@%+-]++(?:/[\w.@%+-]++)++"  # a path
    r"|\b[\w-]++/[\w-]*+\.\w{1,6}\b|\b[\w-]++/[\w.-]++(?<=\.\w)"  # a relative path
    r"|\bv?\d++\.\d++(?:\.\d++)++(?:[-+][\w.]++)?+|\bv\d++\.\d++\b"  # a version
    r"|(?i:\bport)\s*+:?\s*+\d{2,5}\b"  # a port
    r"|(?<![\w.])(?:localhost|[\w-]++(?:\.[\w-]++)*+):\d{2,5}\b"
    r"|\b\d[\d,]*+\s++(?i:tests?|files?|passed|failed|errors?|warnings?|rows?|records?|"
    r"items?|requests?|users?|lines?|bytes|[kmg]b|ms|seconds?)\b"  # a count
    r"|\b[A-Z][A-Z0-9]{1,9}-\d++\b|\b[0-9a-fA-F]{7,40}\b"  # a ticket or a hash
    r"|\b[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\b")


def salient(text: str) -> bool:
    """The text names a failure, or a path, version, port, count or identifier."""
    return _FAILURE_WORDS.search(text.lower()) is not None or (
        _MARKED.search(text) is not None and _MARKS.search(text) is not None)


DECIDED = re.compile(
    r"(?i)\b(decided|decision|plan\s*:|the plan is|going with|go with|switching to|"
    r"switch(?:ed)? to|opt(?:ing|ed)? for|chose|choosing|settled on|instead of|rather than|"
    r"(?:cleanest|simplest|safest|best|right|quickest|easiest) (?:fix|option|approach|way|"
    r"move|path|choice)|best option|we(?:'ll| will) use|i(?:'ll| will) use)\b")
"""Words by which a decision is told from a plan of the next step."""


def importance(item: str) -> int:
    """2 for an item that names an error, an identifier or a choice made, 1 for any
    other."""
    return 2 if salient(item) or DECIDED.search(item) else 1


def _distinct(items: list[Any]) -> list[Any]:
    seen: set[str] = set()
    out = []
    for item in items:
        mark = " ".join(str(item).split()).lower()
        if mark and mark not in seen:
            seen.add(mark)
            out.append(item)
    return out


def bounded(items: list[Any], limit: int) -> list[Any]:
    """At most ``limit`` items, in their order: the least important and, among equals,
    the oldest are left out first."""
    if len(items) <= limit:
        return items
    ranked = sorted(range(len(items)), key=lambda i: (importance(str(items[i])), i))
    keep = set(ranked[len(items) - limit:])
    return [item for i, item in enumerate(items) if i in keep]


def _mark(item: Any) -> str:
    return " ".join(str(item).split()).lower()


def _goals(pinned: list[Any], added: list[Any]) -> list[Any]:
    """The goals list: the pinned ones (the first goal, the user's constraints), then the
    newest of the goals added later, within LIMITS."""
    marks = {_mark(g) for g in pinned}
    later = [g for g in _distinct(added) if _mark(g) not in marks]
    return pinned + later[-LIMITS["goals"]:]


def _pinned(goals: list[Any]) -> tuple[list[Any], list[Any]]:
    """(the first goal and the constraints, the earliest CONSTRAINTS_KEPT of them; the
    other goals) of a goals list."""
    constraints = [g for g in goals[1:] if str(g).startswith(CONSTRAINT_PREFIX)]
    return (goals[:1] + constraints[:CONSTRAINTS_KEPT],
            [g for g in goals[1:] if not str(g).startswith(CONSTRAINT_PREFIX)])


def merge(earlier: Mapping[str, Any], new: Mapping[str, Any]) -> dict[str, Any]:
    """A new record that builds on an earlier one: the goals as first given, then the
    ones added; the other lists merged, earlier items first, within LIMITS; the current
    state, next steps and narrative of the new record."""
    merged = dict(new)
    for key in LIST_KEYS:
        found_old, found_new = earlier.get(key), new.get(key)
        old: list[Any] = found_old if isinstance(found_old, list) else []
        fresh: list[Any] = found_new if isinstance(found_new, list) else []
        if key == "next_steps":
            merged[key] = fresh or old
        elif key == "goals":  # never dropped: only the requests added later are bounded
            pinned, added = _pinned(_distinct(old + fresh))
            merged[key] = _goals(pinned, added)
        else:
            merged[key] = bounded(_distinct(old + fresh), LIMITS[key])
    if not merged.get("current_state") and earlier.get("current_state"):
        merged["current_state"] = earlier["current_state"]
    return merged


def restore_goals(earlier: Mapping[str, Any] | None, new: Mapping[str, Any]) -> dict[str, Any]:
    """The new record with the earlier goals it dropped put back: the first goal and the
    constraints in front, whatever the model made of them, then the goals added later,
    the newest within LIMITS."""
    record = dict(new)
    old = earlier.get("goals") if isinstance(earlier, Mapping) else None
    goals = record.get("goals")
    current = list(goals) if isinstance(goals, list) else []
    if not isinstance(old, list) or not old:
        return record
    pinned, added = _pinned(_distinct(old))
    pinned_marks = {_mark(g) for g in pinned}
    fresh = [g for g in current if _mark(g) not in pinned_marks]
    fresh_pinned = [g for g in fresh if str(g).startswith(CONSTRAINT_PREFIX)]
    record["goals"] = _goals(pinned + fresh_pinned,
                             added + [g for g in fresh if g not in fresh_pinned])
    return record


def excerpt(text: str, limit: int = TOOL_RESULT_LIMIT) -> str:
    """A long tool output within ``limit`` characters, as a reader would skim it: its first
    line, its salient lines (the last ones first, where failures are) and its last line,
    in their order. A shorter text stays whole. Reads the output from its end, only as far
    as there is room."""
    if len(text) <= limit:
        return text
    first_end = text.find("\n")
    last_start = text.rfind("\n") + 1
    if first_end < 0 or last_start <= first_end:
        return text[:limit - 3] + "..."
    first, last = text[:first_end].rstrip(), text[last_start:].rstrip()
    room = limit - len(first) - len(last) - 2
    picked: list[str] = []
    end = last_start - 1  # the line break before the last line
    while room >= 16 and end > first_end:  # no room left for a line worth reading
        start = text.rfind("\n", first_end, end) + 1
        line = text[start:end].rstrip()
        if line and len(line) + 1 <= room and salient(line):
            picked.append(line)
            room -= len(line) + 1
        end = start - 1
    out = "\n".join(part for part in [first, *reversed(picked), last] if part)
    return out if len(out) <= limit else out[:limit - 3] + "..."


def _clip(value: Any, limit: int) -> Any:
    if not isinstance(value, str) or len(value) <= limit:
        return value
    return value[:max(limit - 3, 0)].rstrip() + "..."


def shrink_to_fit(record: Mapping[str, Any], cost: Callable[[Mapping[str, Any]], int],
                  budget: int) -> tuple[dict[str, Any], bool]:
    """(a record whose cost is within ``budget``, made smaller than ``record`` as little
    as it takes, True) or (the smallest such record, False) when even that is over.

    Steps, each tried until the cost fits: items leave the lists in SHRINK_ORDER (the
    least important and oldest first); then the goals added later (the oldest first);
    then the narrative and the current state are shortened. The first goal and the
    constraints stay whole."""
    current = {k: (list(v) if isinstance(v, list) else v) for k, v in record.items()}
    if cost(current) <= budget:
        return current, True
    for key in SHRINK_ORDER:
        while isinstance(current.get(key), list) and current[key]:
            items = current[key]
            current[key] = bounded(items, len(items) - 1)
            if cost(current) <= budget:
                return current, True
    if isinstance(current.get("goals"), list):
        pinned, added = _pinned(current["goals"])
        while added:
            added = added[1:]
            current["goals"] = pinned + added
            if cost(current) <= budget:
                return current, True
    for limit in (200, 120, 60, 0):
        for key in ("summary", "current_state"):
            current[key] = _clip(current.get(key), limit) if limit else ""
        if cost(current) <= budget:
            return current, True
    return current, False
