"""An offline, model-free client: builds the summary JSON from the transcript in the request."""

from __future__ import annotations

import json
import re
from array import array
from collections.abc import Iterator
from typing import Any

from ..condense import carry
from ..native import (CONVERSATION_HEADING, PREVIOUS_HEADING, TRANSCRIPT_ENTRY, TRUNCATION_MARK,
                      parse_context)
from . import Reply

_ENTRY = TRANSCRIPT_ENTRY
_TROUBLE = re.compile(
    r"\b(error|errors|failed|failure|fatal|exception|traceback|denied|not found|cannot|"
    r"can't|unable|refused?)\b",
    re.IGNORECASE,
)
_REFUSAL = re.compile(r"\b(sorry|cannot|can't|unable|won't)\b", re.IGNORECASE)
# What stops the work, in the words of the user or the agent.
_BLOCKED = re.compile(
    r"(?i)\b(blocked|blocker|stuck|is down|are down|frozen|expired|waiting on|cannot|can't|"
    r"won't|unable|not (?:cleared|allowed|available|set|approved)|no deploys?|nothing merges|"
    r"bad news|is missing|are missing|rejects?|refuses?)\b")
_MAX_ITEM = 300


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


def summarize_transcript(transcript: str, previous: str = "") -> dict[str, Any]:
    """The summary object (goals, progress, ... summary) for a transcript, built on the
    earlier summary's text when there is one."""
    return _summarize(transcript, 0, previous)


class _Kept:
    """The items of one list as they are found (in any order), each with where it stands
    in the transcript and its importance, holding at most a few times the list's limit:
    the least important and oldest leave first, as they would from the whole list."""

    __slots__ = ("found", "limit", "important")

    def __init__(self, limit: int) -> None:
        self.found: list[tuple[int, int, str]] = []  # (importance, where, item)
        self.limit = limit
        self.important = 0  # items of the higher importance among them

    def add(self, where: int, item: str) -> None:
        if item:
            rank = carry.importance(item)
            self.found.append((rank, where, item))
            self.important += rank > 1
            if len(self.found) > 4 * self.limit + 16:
                self.found = sorted(self.found)[-2 * self.limit:]
                self.important = sum(rank > 1 for rank, _, _ in self.found)

    def full(self) -> bool:
        """No item older than those found can enter any more."""
        return self.important >= self.limit

    def result(self) -> list[str]:
        """The items in transcript order: of equal ones the newest, within the limit."""
        newest: dict[str, tuple[int, int, str]] = {}
        for entry in self.found:
            if entry[2] not in newest or newest[entry[2]][1] < entry[1]:
                newest[entry[2]] = entry
        kept = sorted(newest.values())[-self.limit:]
        return [item for _, _, item in sorted(kept, key=lambda e: e[1])]


_PREAMBLE = 80  # a short greeting first is read with the request after it
_GREETING = re.compile(r"(?i)(?:hi|hello|hey|ok|okay|so|good (?:morning|afternoon|evening)"
                       r"|morning|afternoon|evening)\b")
_WHOLE_RULE = 200  # a user message that sets a rule, up to this long, is kept whole

_SENTENCE = re.compile(r"(?<=[.!?;])\s+|\n+")
_FILLER = re.compile(
    r"(?i)\W*(?:(?:hi|hello|hey|good (?:morning|afternoon|evening)|hi there|hello there|"
    r"ok(?:ay)?|thanks?(?: you)?|thx|great|good|nice|cool|perfect|awesome|"
    r"yes|yep|yeah|sure|right|got it|sounds good|looks good|lgtm|go ahead|go on|continue|"
    r"carry on|keep going|proceed|please|do it|makes sense|understood)\W*)+(?:so far\W*)?")
_ASKS = re.compile(
    r"(?i)^(also|and|then|now|next|please|could you|can you|would you|add|make|fix|"
    r"implement|update|change|remove|rename|move|write|create|migrate|upgrade|we need|"
    r"i need|i want|let's)\b|\?\s*$")
_RULE = re.compile(
    r"(?i)\b(never|don't|do not|must not|mustn't|must stay|must remain|must keep|must be|"
    r"(?:use|touch|change|modify|edit|call) only|only (?:use|touch|change|modify|edit|call)|"
    r"avoid|no changes? to|no new|hard rule|rule:|remember|whatever (?:you do|happens)|"
    r"has to (?:stay|keep|remain)|stays?\b.{0,30}\b(?:as it is|off|on|unchanged|the same)|"
    r"without (?:touching|changing|modifying)|keep\b.{0,60}\b"
    r"(?:untouched|unchanged|as is|intact|stable)|leave\b.{0,60}\balone|stick to|stay on|"
    r"under no circumstances|not allowed|off[- ]limits|hands off)\b")
_PLAN = re.compile(
    r"(?i)\b(i'll|i will|i'm going to|i am going to|let's|we'll|we will|we should|i'd|"
    r"plan|going with|go with|decided|switching|switch to|opting|opt for|chose|choosing|"
    r"settled|instead|rather than|cleanest|simplest|safest|best option|approach)\b")


def _sentences(text: str) -> list[str]:
    return [s.strip() for s in _SENTENCE.split(text) if s and s.strip()]


def _salient_lines(body: str, facts: bool = True) -> list[str]:
    """Up to three lines of a tool output worth keeping: errors first, the last ones first,
    then (when ``facts``) the other salient ones (paths, versions, ports, counts,
    identifiers)."""
    body = body.removesuffix(TRUNCATION_MARK)
    if not facts and not _TROUBLE.search(body):
        return []
    lines = [line.strip() for line in body.split("\n")]
    trouble = [line for line in lines if line and _TROUBLE.search(line)]
    other = [line for line in lines if facts and line and not _TROUBLE.search(line)
             and carry.salient(line)]
    picked = set((trouble[-2:] + other[-3:])[:3] if trouble else other[-3:])
    return [line for line in lines if line in picked]


def _summarize(text: str, start: int, previous: str) -> dict[str, Any]:
    """The summary of the transcript in ``text`` from ``start`` on, merged with the earlier
    summary's lists. Reads each entry once; each list holds a bounded number of items."""
    users = said = calls = results = 0
    first_goal = last_said = None
    preamble = False
    earlier = parse_context(previous) if previous else {}
    # Building on an earlier summary, the goal is the one it holds: the first message here
    # is one more message, a goal only when it asks for something.
    continues = bool(earlier.get("goals"))
    goals, rules = _Kept(carry.LIMITS["goals"]), _Kept(carry.LIMITS["goals"])
    progress, decisions = _Kept(carry.LIMITS["progress"]), _Kept(carry.LIMITS["key_decisions"])
    facts, blockers = _Kept(carry.LIMITS["key_facts"]), _Kept(carry.LIMITS["blockers"])
    outputs = array("q")  # where each tool output starts and ends
    kind = label = body = ""
    for match, end in _spans(text, start):
        kind, label = _heading(match)
        body = text[match.end():end]
        if kind == "user":
            users += 1
            stripped = body.strip()
            if not stripped or _FILLER.fullmatch(stripped):
                continue  # "thanks, keep going" asks for nothing new
            where = match.start()
            # a short message that sets a rule is kept whole: its object may be in the
            # sentence after the rule's words
            said_rules = ([stripped] if _RULE.search(stripped) else []) \
                if len(stripped) <= _WHOLE_RULE else \
                [s for s in _sentences(stripped) if _RULE.search(s)]
            for sentence in said_rules:
                rules.add(where, carry.CONSTRAINT_PREFIX + _clip(sentence, 200))
            if first_goal is None and not continues:
                first_goal = _clip(body)
                preamble = len(first_goal) < _PREAMBLE and (
                    _GREETING.match(stripped) is not None or not _ASKS.search(stripped))
            elif preamble and not said_rules:
                # "hi, got a task for you" first: the request that follows is the goal too
                first_goal = _clip(f"{first_goal} {body}")
                preamble = False
            elif not said_rules and _ASKS.search(stripped):
                goals.add(where, _clip(body))
            if not said_rules and _BLOCKED.search(stripped):
                blockers.add(where, _clip(stripped, 200))
        elif kind == "assistant":
            said += 1
            last_said = body
            for sentence in _sentences(body):
                if _PLAN.search(sentence):
                    decisions.add(match.start(), _clip(sentence, 200))
            if _REFUSAL.search(body) or _BLOCKED.search(body):
                blockers.add(match.start(), _clip(body, 200))
        elif kind == "call":
            calls += 1
            progress.add(match.start(), _item(kind, label, body))
        else:
            results += 1
            outputs.append(match.end())
            outputs.append(end)
    # Tool outputs are read newest first, and only while an older line can still enter
    # the lists: in a long transcript, the newest outputs fill them.
    for index in range(len(outputs) - 2, -1, -2):
        if facts.full() and blockers.full():
            break
        for line in _salient_lines(text[outputs[index]:outputs[index + 1]], not facts.full()):
            (blockers if _TROUBLE.search(line) else facts).add(outputs[index], _clip(line, 200))
    state = _clip(last_said) if last_said is not None else ""
    next_steps: list[str] = []
    if kind == "call":
        next_steps.append(_clip(f"Wait for the result of {label}"))
    elif kind == "user":
        next_steps.append(_clip(f"Answer the user: {body}"))
    elif kind == "result" and _TROUBLE.search(body):
        next_steps.append(_clip(f"Resolve the failure of {label}: {body}"))
    narrative_parts = []
    if earlier:
        narrative_parts.append("Continues an earlier summary.")
    elif previous:  # an earlier summary in words of its own, not in sections
        narrative_parts.append(f"Continues an earlier summary ({_clip(previous, 200)}).")
    narrative_parts.append(
        f"{users} user message(s), {said} assistant message(s), "
        f"{calls} tool call(s), {results} tool result(s)."
    )
    if first_goal is not None:
        narrative_parts.append(f"The user asked: {first_goal}")
    if state:
        narrative_parts.append(f"Last assistant message: {state}")
    record = {
        "goals": ([first_goal] if first_goal else []) + rules.result()[:carry.CONSTRAINTS_KEPT]
        + goals.result(),
        "progress": progress.result(),
        "current_state": state,
        "key_decisions": decisions.result(),
        "key_facts": facts.result(),
        "blockers": blockers.result(),
        "next_steps": next_steps,
        "summary": " ".join(narrative_parts),
    }
    return carry.merge(earlier, record) if earlier else record


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
