"""Summaries that build on the one before: reading a rendered summary back into its lists,
merging an earlier summary with a new one within bounds, and making a summary smaller
until its context text fits a budget.

What is kept, in order of importance: the user's first request, the user's constraints
and the choices made are never dropped; then blockers, the requests the user added later
and facts, of which the salient ones (errors, paths, versions, ports, counts, identifiers)
outlast the others; progress goes first, but for the files the work changed, which outlast
the facts. Among equals the oldest go first."""

from __future__ import annotations

import functools
import os
import re
from collections.abc import Callable, Iterator, Mapping
from typing import Any

from .session import evidence
from .native import TOOL_RESULT_LIMIT
from .records import LIST_KEYS

CONSTRAINT_PREFIX = "Constraint: "

LIMITS = {"goals": 16, "progress": 12, "key_decisions": 16, "key_facts": 24, "blockers": 12,
          "next_steps": 6}
"""Items each list keeps when an earlier summary is merged with a new one."""
CONSTRAINTS_KEPT = 8
"""The user's constraints a summary keeps beside the goal: the earliest, which the user
states first and means most."""

# The order in which lists give up items to fit a budget: least important first.
# Of the goals, only the requests added later may leave; the choices made never leave.
SHRINK_ORDER = ("progress", "next_steps", "key_facts", "goals", "blockers")

# What makes a line of a tool output worth keeping: the words of a failure, or a mark of
# something one refers to later. Possessive quantifiers keep each alternative from
# backtracking through a word it cannot use; the marks are looked for only in a line that
# has a digit, a slash or a colon, which every one of them needs.
_FAILURE_WORDS = re.compile(
    r"\b(?:errors?|fail(?:ed|ure)|fatal|exception|traceback|panic|denied|refused|"
    r"not found|cannot|timed? ?out|conflict)\b")
# Beside what may make `evidence.failure_line` read a line as a failure, the words the
# failure words above need (in lower case).
_FAILURE_HINTS = evidence.FAILURE_HINTS + ("traceback", "denied", "refused", "cannot", "time",
                                           "conflict")
# A port, a URL or an absolute path: where something runs or lies. Each kind of mark has
# its own pattern, looked for only in a line that has the characters the mark needs.
_PATH = re.compile(r"(?:^|[\s'\"(=])(?:~|\.{1,2})?+/[\w.@%+-]++/[\w.@%+-]")
_URL = re.compile(r"\b[a-z][\w+.-]*+://\S")
_PORT_WORD = re.compile(
    r"(?i:\bport\b|_port\b|\blistening on|\blisten\b)\s*+[:=]?\s*+(?:\S*:)?\d{2,5}\b")
_COLON_PORT = re.compile(r":\d{2,5}(?![\w:]|\.\d)")
_HOST = re.compile(r"(?:localhost|\d{1,3}(?:\.\d{1,3}){3}|[\w-]*[A-Za-z][\w-]*(?:\.[\w-]+)*)\Z")
_TOKEN_END = re.compile(r"[\s@'\"(=,\[]|//")
# A file's name before a colon and a number is a line number, not a port.
_SOURCE = re.compile(r"\.(?:py|pyi|rs|go|js|jsx|ts|tsx|c|h|cc|cpp|hpp|java|kt|rb|php|cs|swift|"
                     r"m|scala|sh|ya?ml|toml|json|ini|cfg|conf|txt|md|html|css|sql|lua|ex|exs)\Z")
# A version, a count, a ticket, a hash or an id: what one refers to later.
_VERSION = re.compile(r"\bv?\d++\.\d++(?:\.\d++)++|\bv\d++\.\d++\b")
_COUNT = re.compile(
    r"\b\d[\d,]*+\s++(?i:tests?|files?|passed|failed|errors?|warnings?|rows?|records?|"
    r"items?|requests?|users?|lines?|bytes|[kmg]b|ms|seconds?|matches|entries|packages)\b")
_TICKET = re.compile(r"\b[A-Z][A-Z0-9]{1,9}-\d")
_HASH = re.compile(r"\b[0-9a-fA-F]{7,40}\b")
_NUMBER = re.compile(r"(?<![\w.:,-])\d{4,}(?![\w.:,-])")
_RELATIVE = re.compile(r"\b[\w-]+/[\w./-]*?\.\w")
# A date or a time of day, which is no count and no port.
_CLOCK = re.compile(r"\b\d{4}-\d\d-\d\d(?:[ T]\d\d:\d\d(?::\d\d)?(?:[.,]\d+)?)?"
                    r"|\b\d\d:\d\d:\d\d(?:[.,]\d+)?")


def _places(text: str) -> bool:
    """The text names a port, a URL or an absolute path."""
    if "/" in text and (_PATH.search(text) or ("://" in text and _URL.search(text))):
        return True
    low = text.lower()
    if ("port" in low or "listen" in low) and _PORT_WORD.search(text):
        return True
    if ":" in text:
        for match in _COLON_PORT.finditer(text):
            token = _TOKEN_END.split(text[:match.start()])[-1]
            if not token or (_HOST.match(token) and not _SOURCE.search(token)):
                # ":8080", "localhost:8080", "db.internal:5432"; not "app.py:12"
                return True
    return False


def _ids(text: str) -> bool:
    """The text names a version, a count, a ticket, a hash or an id."""
    if "." in text and _VERSION.search(text):
        return True
    if "-" in text and _TICKET.search(text):
        return True
    return bool(_COUNT.search(text) or _HASH.search(text) or _NUMBER.search(text))


@functools.lru_cache(maxsize=8192)
def grade(text: str) -> int:
    """What a line is worth keeping for: 4 it names a failure; 3 a port, URL or absolute
    path; 2 a version, count, ticket, hash or id; 1 only a relative path; 0 nothing."""
    if _FAILURE_WORDS.search(text.lower()):
        return 4
    return _marks(text)


def may_mark(text: str) -> bool:
    """The text has a character that every mark needs (a digit, a slash or a colon): a
    text without one has no line worth keeping for its marks."""
    return "/" in text or ":" in text or evidence.has_digit(text)


def _marks(text: str) -> int:
    """What a line without the words of a failure is worth keeping for (see `grade`)."""
    if not may_mark(text):
        return 0
    if "-" in text and ":" in text:
        text = _CLOCK.sub(" ", text)
    if _places(text):
        return 3
    if _ids(text):
        return 2
    return 1 if "/" in text and _RELATIVE.search(text) else 0


DECIDED = re.compile(
    r"(?i)\b(?:plan|decision|approach)\s*:|\b(decided|decision|the plan is|going with|"
    r"go with|switching to|"
    r"switch(?:ed)? to|opt(?:ing|ed)? for|chose|chosen|choosing|choice is|settled on|"
    r"instead of|rather than|"
    r"(?:cleanest|simplest|safest|best|right|quickest|easiest) (?:fix|option|approach|way|"
    r"move|path|choice)|best option|we(?:'ll| will) use|i(?:'ll| will) use)\b")
"""Words by which a decision is told from a plan of the next step."""


USER_PREFIX = "User: "
"""In front of what the user stated, among the facts."""
ASKED_PREFIX = "Asked: "
"""In front of a question of the agent and the user's answer, among the facts."""
CHANGED_PREFIX = "Changed: "
"""In front of a change of the work (an edit, a write), in the progress."""
INSTALLED_PREFIX = "Installed: "
"""In front of an install, a change of the environment rather than of the work."""
COMMITTED_PREFIX = "Committed: "
"""In front of a commit (a merge, a rebase, a tag) of the work's changes."""
PUSHED_PREFIX = "Pushed: "
"""In front of a push (a pull request opened or merged)."""
RESOLVED_PREFIX = "Resolved: "
"""In front of a failure that a later run settled, among the facts."""
WENT_ON_PREFIX = "Was in the way, then the work went on: "
"""In front of what someone said stopped the work, among the facts, when the work went on
past it: it may still hold, but it no longer stops anything."""
REPRODUCED_PREFIX = "Reproduced: "
"""In front of a failure seen before any fix: the problem shown, among the facts."""
EXPECTED_PREFIX = "Expected by the assistant: "
"""In front of a failure the assistant then said was the outcome it wanted."""
LOOKED_PREFIX = "Looked around: "
"""In front of the count of reads and searches, in the progress."""
NOT_APPLIED_PREFIX = "Not applied: "
"""In front of the harness's refusal of the last edit the agent wrote, a blocker until an
edit goes in."""
NOT_RUN = "could not run"
"""How an item names a check that never started (its program or module missing)."""
FAILED_ITEM = re.compile(r"^`(?P<shown>[^`]+)` (?:failed|could not run): (?P<quote>.*)$",
                         re.DOTALL)
"""A failure as a blocker: the command in backquotes, then the line it failed with."""

_FIRST = (USER_PREFIX, ASKED_PREFIX, CHANGED_PREFIX, INSTALLED_PREFIX, COMMITTED_PREFIX,
          PUSHED_PREFIX, CONSTRAINT_PREFIX, NOT_APPLIED_PREFIX)


@functools.lru_cache(maxsize=8192)
def importance(item: str) -> int:
    """3 for what the user stated or answered, a change of the work, a failure still open
    and a port, URL or absolute path; 2 for an item that names an error, an identifier
    (not only a relative path) or a choice made, and for a settled failure; 1 for any other
    (the count of reads among them)."""
    if item.startswith(_FIRST) or FAILED_ITEM.match(item):
        return 3
    if item.startswith(LOOKED_PREFIX):
        return 1
    worth = grade(item)
    if worth == 3:
        return 3
    return 2 if worth >= 2 or DECIDED.search(item) else 1


def _distinct(items: list[Any]) -> list[Any]:
    seen: set[str] = set()
    out = []
    for item in items:
        mark = _mark(item)
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
    """What tells two items apart: their words in lower case."""
    if type(item) is str:
        return _text_mark(item)
    return " ".join(str(item).split()).lower()


@functools.lru_cache(maxsize=4096)
def _text_mark(text: str) -> str:  # the same items are merged again at every turn
    return " ".join(text.split()).lower()


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


def merge_fallback(previous: Mapping[str, Any] | None, fallback: Mapping[str, Any],
                   earlier_text: str | None) -> dict[str, Any]:
    """A fallback summary knows only the messages it was given; without this the goals
    and facts of the earlier summary would be dropped.  Keeps the earlier lists (followed
    by the fallback's new entries) and both narratives, in a new record.  Without the
    earlier record (only its text is known), the earlier text goes into the narrative."""
    merged = dict(fallback)
    if not isinstance(previous, Mapping):
        if earlier_text:
            merged["summary"] = (f"{fallback.get('summary', '')}\n\n"
                                 f"Earlier summary:\n{earlier_text}")
        return merged
    for key in LIST_KEYS:
        old, new = previous.get(key), fallback.get(key)
        if isinstance(old, list) and isinstance(new, list):
            merged[key] = old + [item for item in new if item not in old]
        elif old and not new:
            merged[key] = old
    old_summary = previous.get("summary")
    if old_summary:
        merged["summary"] = f"{old_summary}\n\n{fallback.get('summary', '')}"
    return merged


EXCERPT_LINES = 400
"""Lines of a long output, from its end, among which a skim looks for the salient ones."""


@functools.lru_cache(maxsize=4096)
def excerpt(text: str, limit: int = TOOL_RESULT_LIMIT) -> str:
    """A long tool output within ``limit`` characters, as a reader would skim it: its first
    line, its salient lines (failures first, then ports, URLs and paths, then versions,
    counts and ids; among equals the last ones first) and its last line, in their order.
    A shorter text stays whole. Remembered for the latest outputs, which a condenser
    skims again at every turn."""
    if len(text) <= limit:
        return text
    first_end = text.find("\n")
    last_start = text.rfind("\n") + 1
    if first_end < 0 or last_start <= first_end:
        return text[:limit - 3] + "..."
    first, last = text[:first_end].rstrip(), text[last_start:].rstrip()
    room = limit - len(first) - len(last) - 2
    # The lines between, the last EXCERPT_LINES of them at most, best first: a failure,
    # then a place, then an identifier; among equals the last first. They are taken in
    # that order until the room is used, so a line is graded only when it is reached: the
    # lines that may show a failure come from searches over the whole text, and only they
    # are read as failures; the marks of the others are read as the ranking reaches them.
    lines = text[first_end + 1:last_start - 1].split("\n")[-EXCERPT_LINES:]
    body = "\n".join(lines)
    maybe = evidence.lines_holding(_FAILURE_HINTS, body.lower())
    if evidence.has_digit(body):  # each failure shape has one
        maybe |= evidence.lines_with(evidence.FAILURE_SHAPES, body)
    shown = {}  # the lines that could be kept, the last first
    for index in range(len(lines) - 1, -1, -1):
        line = lines[index].rstrip()
        if line and len(line) < room:
            shown[index] = line
    failures = [index for index in shown if index in maybe
                and (_FAILURE_WORDS.search(shown[index].lower())
                     or evidence.failure_line(shown[index]))]
    failed = set(failures)
    others = [index for index in shown if index not in failed]

    def ranked() -> Iterator[int]:
        yield from failures
        marks: dict[int, int] = {}
        for worth in (3, 2, 1):
            for index in others:
                found = marks.get(index)
                if found is None:
                    found = marks[index] = grade(shown[index])
                if found == worth:
                    yield index

    picked = []
    for index in ranked():
        line = shown[index]
        if len(line) + 1 <= room:
            picked.append((index, line))
            room -= len(line) + 1
            if room < 16:  # no room left for a line worth reading
                break
    out = "\n".join(part for part in [first, *(line for _, line in sorted(picked)), last]
                    if part)
    return out if len(out) <= limit else out[:limit - 3] + "..."


def skim_outputs(messages: list[Any], limit: int = TOOL_RESULT_LIMIT) -> list[Any]:
    """The messages as a summarizer is handed them: a tool output longer than ``limit`` by
    its skim (`excerpt`: first line, salient lines, last line), since only its beginning
    reaches the transcript and failures are mostly at its end. The records themselves are
    not changed; the others are the same objects."""
    out = []
    for message in messages:
        content = message.get("content") if isinstance(message, Mapping) else None
        if isinstance(content, str) and len(content) > limit and \
                message.get("role") == "tool":
            message = {**message, "content": excerpt(content, limit)}
        out.append(message)
    return out


def _clip(value: Any, limit: int) -> Any:
    if not isinstance(value, str) or len(value) <= limit:
        return value
    return value[:max(limit - 3, 0)].rstrip() + "..."


def _said_elsewhere(record: Mapping[str, Any]) -> set[tuple[str, int]]:
    """The items of the lists in SHRINK_ORDER that the record says again elsewhere: the
    same words in a list kept longer, or within a longer item of any other list."""
    marks = {key: [_mark(item) for item in record[key]]
             for key in SHRINK_ORDER if isinstance(record.get(key), list)}
    said = set()
    for rank, key in enumerate(SHRINK_ORDER):
        for index, mark in enumerate(marks.get(key, ())):
            if not mark:
                continue
            for other, others in marks.items():
                if other == key:
                    continue
                later = other not in SHRINK_ORDER or SHRINK_ORDER.index(other) > rank
                if any(mark in text and (len(text) > len(mark) or later) for text in others):
                    said.add((key, index))
                    break
    return said


# The texts a summary made smaller shortens, each to a number of characters (0: none),
# in the order of the steps; a text takes the shortest of its steps taken.
_CLIPS = (("summary", 120), ("summary", 0), ("current_state", 120), ("current_state", 60),
          ("current_state", 0))


# A change as progress names its files: "Changed: `Edit` a.py", "Changed: `Edit` in /src/: a.py,
# b.py and 3 more" (the tools may be several, after a merge). A change by a command names
# the command instead, and is left as it is.
_FILES_FORM = re.compile(r"Changed: (?P<tools>`[^`\n]+`(?:, `[^`\n]+`)*)(?: in (?P<folder>/[^\n]*?)/:)? "
                         r"(?P<names>[^\n]+?)(?: and (?P<more>\d+) more)?")
_MERGED_ITEM = 700  # characters the merged item of changed files takes, at most
_MERGE = ("progress:merge", 0)
"""The step that folds the progress's changes of files into one item: what a summary
made smaller gives up before it drops a change (the tools' names, the order)."""


def shown_name(name: str) -> str:
    """A file's name as a list of changed files shows it: a bare name with no extension
    ("Makefile", ".gitignore") reads as a word, so it is shown from its folder."""
    if "/" not in name and not os.path.splitext(name)[1]:
        return "./" + name
    return name


def _files_of(item: Any) -> tuple[list[str], list[str], int] | None:
    """(the tools, the files, the count of files not named) of a change of files, or None."""
    match = _FILES_FORM.fullmatch(item) if type(item) is str else None
    if match is None:
        return None
    folder = match["folder"]
    names = match["names"].split(", ")
    names = [name[2:] if name.startswith("./") else name for name in names]
    files = [f"{folder}/{name}" for name in names] if folder else names
    return re.findall(r"`([^`]+)`", match["tools"]), files, int(match["more"] or 0)


def merged_changes(items: list[Any]) -> list[Any]:
    """The items with their changes of files folded into one, where the first of them
    stood: each file named once, the newest kept when they do not all fit."""
    tools: list[str] = []
    files: list[str] = []
    more, at, out = 0, -1, []
    for item in items:
        found = _files_of(item)
        if found is None:
            out.append(item)
            continue
        if at < 0:
            at = len(out)
        tools += [t for t in found[0] if t not in tools]
        files = [f for f in files if f not in found[1]] + list(dict.fromkeys(found[1]))
        more += found[2]
    if at < 0 or sum(1 for item in items if _files_of(item) is not None) < 2:
        return items
    folder = ""
    if len(files) > 1 and all(f.startswith("/") for f in files):
        common = os.path.commonpath(files)
        if common.count("/") >= 2 and common not in files:
            folder = common
    shown = [shown_name(f[len(folder) + 1:] if folder else f) for f in files]
    head = CHANGED_PREFIX + ", ".join(f"`{t}`" for t in tools) + (f" in {folder}/:" if folder else "")
    while len(shown) > 1 and len(head) + sum(len(f) + 2 for f in shown) > _MERGED_ITEM:
        shown.pop(0)
        more += 1
    out.insert(at, f"{head} {', '.join(shown)}" + (f" and {more} more" if more else ""))
    return out


_CHANGES_RANK = SHRINK_ORDER.index("key_facts") + 0.5


def _rank(key: str, rank: int, item: Any) -> float:
    """Where an item stands in SHRINK_ORDER among items worth as much: the changes of
    files in the progress outlast the facts (what the work did is what a summary must not
    lose), the rest of the progress goes first."""
    return _CHANGES_RANK if key == "progress" and _files_of(item) is not None else rank


def _standing(key: str, item: Any) -> int:
    """How late an item of the list ``key`` leaves a summary made smaller, from 0 to 3: by
    its `importance`; a request the user added, and what stops the work, are worth as much
    as the most important fact (and leave after it, by SHRINK_ORDER)."""
    if key in ("goals", "blockers"):
        return 3
    return importance(str(item))


def _fill_back(without: Callable[[set[tuple[str, int]]], dict[str, Any]],
               gone: set[tuple[str, int]], left: list[tuple[int, float, int, str]],
               cost: Callable[[Mapping[str, Any]], int], budget: int) -> dict[str, Any]:
    """The record without ``gone`` (the items of ``left``, in the order they left), with
    those of them put back that still fit, the last to leave (the most important) first:
    the item whose leaving made the record fit may have freed more room than it needed."""
    smaller = without(gone)
    room = budget - cost(smaller)
    for _, _, index, key in reversed(left):
        if room <= 0:
            break
        if key in ("summary", "current_state", _MERGE[0]):
            continue  # a text shortened, changes folded: the items are worth more
        trial = gone - {(key, index)}
        bigger = without(trial)
        spent = cost(bigger)
        if spent <= budget:
            gone, smaller, room = trial, bigger, budget - spent
    return smaller


def shrink_to_fit(record: Mapping[str, Any], cost: Callable[[Mapping[str, Any]], int],
                  budget: int) -> tuple[dict[str, Any], bool]:
    """(a record whose cost is within ``budget``, made smaller than ``record`` as little
    as it takes, True) or (the smallest such record, False) when even that is over.

    Steps, each tried until the cost fits, as few of them as it takes: items leave the
    lists in SHRINK_ORDER (of the goals, only those added later), the least important of
    them all first (then by that order, then the oldest), the narrative and the current
    state made shorter once the least important items are gone, and the current state
    shortened further and cleared before the most important go. Items that left early are
    put back when there is room for them. The first goal, the constraints and the choices
    made stay whole."""
    current = {k: (list(v) if isinstance(v, list) else v) for k, v in record.items()}
    if cost(current) <= budget:
        return current, True
    # Every item that may leave, the first to leave first: the least important, then by
    # SHRINK_ORDER, then the oldest. An item that another list already says, word for word
    # or within a longer item, leaves before all others.
    said = _said_elsewhere(current)
    order: list[tuple[int, float, int, str]] = sorted(
        (-1 if (key, index) in said else _standing(key, item), _rank(key, rank, item), index, key)
        for rank, key in enumerate(SHRINK_ORDER) if isinstance(current.get(key), list)
        for index, item in enumerate(current[key])
        if key != "goals" or (index and not str(item).startswith(CONSTRAINT_PREFIX)))
    # After the least important items, before the others: the narrative and the current
    # state, made shorter. Before the most important ones, the current state, shorter
    # still, then none: beside the kept messages, which are newer, it is the least news.
    cut = next((i for i, entry in enumerate(order) if entry[0] > 1), len(order))
    order[cut:cut] = [(1, 0, limit, key) for key, limit in _CLIPS[:3]]
    cut = next((i for i, entry in enumerate(order) if entry[0] > 2), len(order))
    order[cut:cut] = [(2, 0, _MERGE[1], _MERGE[0])] + [
        (2, 0, limit, key) for key, limit in _CLIPS[3:]]
    lists = [key for key in SHRINK_ORDER if isinstance(current.get(key), list)]

    def without(gone: set[tuple[str, int]]) -> dict[str, Any]:
        """The record with the items of ``gone`` left out, and its texts clipped to the
        shortest of their limits in ``gone``."""
        smaller = dict(current)
        for key in lists:
            smaller[key] = [item for i, item in enumerate(current[key]) if (key, i) not in gone]
        for key, limit in _CLIPS:
            if (key, limit) in gone:
                smaller[key] = _clip(current.get(key), limit) if limit else ""
        if _MERGE in gone and "progress" in lists:
            smaller["progress"] = merged_changes(smaller["progress"])
        return smaller

    def first(count: int) -> set[tuple[str, int]]:
        return {(key, index) for _, _, index, key in order[:count]}

    # The fewest steps, found by bisection: the cost falls with each step.
    low, high = 0, len(order)
    if cost(without(first(high))) > budget:
        return without(first(high)), False
    while high - low > 1:
        middle = (low + high) // 2
        if cost(without(first(middle))) <= budget:
            high = middle
        else:
            low = middle
    return _fill_back(without, first(high), order[:high], cost, budget), True


SET_ASIDE = ("key_facts", "progress")
"""Lists whose items a summary made smaller sets aside, for a later summary with more room:
what was found and what was done stay true. A blocker does not (a later run may settle
it), nor does a next step."""


def left_out(record: Mapping[str, Any], fitted: Mapping[str, Any]) -> dict[str, list[Any]]:
    """The items of the SET_ASIDE lists of ``record`` that ``fitted`` (it made smaller) left
    out, in their order."""
    aside = {}
    for key in SET_ASIDE:
        full, kept = record.get(key), fitted.get(key)
        if isinstance(full, list) and full:
            marks = {_mark(item) for item in kept} if isinstance(kept, list) else set()
            gone = [item for item in full if _mark(item) not in marks]
            if gone:
                aside[key] = gone
    return aside


def put_back(record: Mapping[str, Any], aside: Mapping[str, list[Any]] | None
             ) -> dict[str, Any]:
    """The record with the items an earlier summary set aside in front of its own (they
    are older), within LIMITS as a merge bounds them."""
    merged = dict(record)
    for key, items in (aside or {}).items():
        now = merged.get(key)
        merged[key] = bounded(_distinct(items + (now if isinstance(now, list) else [])),
                              LIMITS[key])
    return merged
