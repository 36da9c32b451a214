"""An offline, model-free client: builds the summary JSON from the transcript in the request.

The transcript is read by `morvex_summarize.session.reading`; this module turns what it
found into the record's lists and words.

What it reports is what the transcript shows (see `morvex_summarize.session.evidence`): a tool's
output is a failure only on evidence of failure, a blocker is the line a person would quote
from it, a later passing run of the same check (or a fix of the file it named, then a
passing check) settles it, and the current state comes from the latest evidence. The goal
and the user's constraints are kept apart; what the user states (names, hosts, ids, times,
answers) is kept as facts; progress is what changed the work, with repeated reads counted.
What frames the work is none of these: the agent's context in the tags its harness wraps it
in (environment, reminders, the tools and agents at hand), an instructions file included in a
message, and the model's thinking.
"""

from __future__ import annotations

import json
import re
from collections.abc import Mapping
from typing import Any

from .. import carry
from ..native import CONVERSATION_HEADING, PREVIOUS_HEADING, parse_context
from ..session import steps
from ..session.messages import clip
from ..session.reading import (CHECK_ITEM, FENCED, RESOLVE_STEP, Kept, Outcomes, Walk,
                               files_item, open_blockers, reads_item, same_file, settle)
from ..session.transcript import parse_transcript
from . import Reply


def _split_request(system_text: str) -> tuple[str, int]:
    """(earlier summary, where the transcript starts in the system message, or -1)."""
    at = system_text.find(CONVERSATION_HEADING)
    if at < 0:
        return "", -1
    _, psep, previous = system_text[:at].partition(PREVIOUS_HEADING)
    return (previous.rstrip("\n") if psep else ""), at + len(CONVERSATION_HEADING)


def summarize_transcript(transcript: str, previous: str = "") -> dict[str, Any]:
    """The summary object (goals, progress, ... summary) for a transcript, built on the
    earlier summary's text when there is one."""
    return _summarize(transcript, 0, previous)


def _summarize(text: str, start: int, previous: str) -> dict[str, Any]:
    """The summary of the transcript in ``text`` from ``start`` on, merged with the earlier
    summary's lists. Reads each entry once in order, then the tool outputs newest first,
    only as far as an older one can still change the lists."""
    earlier = parse_context(previous) if previous else {}
    walk = Walk(text, earlier)
    walk.read(start)
    for waiting in walk.pending:  # calls still waiting: their change is not known yet
        if waiting.act.kind == steps.EDIT or waiting.world:
            walk.changes.add(waiting.where, clip(f"Started: `{waiting.shown()}`", 200))
    found = walk.outcomes()
    progress = Kept(carry.LIMITS["progress"])
    for where, item in found.checks.values():
        named = CHECK_ITEM.match(item)
        count = walk.runs.get(named.group("shown"), 0) if named else 0
        progress.add(where, item + (f" (run {count}x)" if count > 2 else ""), 2)
    listed: list[str] = []
    for tool, (where, files) in walk.edits.items():
        walk.changes.add(where, files_item(tool, files))
        listed += files
    if walk.diffed is not None:
        unlisted = [f for f in walk.diffed[1] if not any(same_file(f, x) for x in listed)]
        if unlisted:
            walk.changes.add(walk.diffed[0], files_item("git diff", unlisted))
    if walk.removed is not None:
        walk.changes.add(walk.removed[0], clip(
            f"Removed: {', '.join(walk.removed[1][-8:])}", 300))
    for rank, where, item in walk.changes.found:
        progress.add(where, item, 3)
    if walk.reads:
        progress.add(walk.last_read_at, reads_item(walk.reads), 2)
    return _record(walk, found, progress, previous, earlier)


_COUNTED = re.compile(r"(\d+) user message\(s\), (\d+) assistant message\(s\), (\d+) tool "
                      r"call\(s\), (\d+) tool result\(s\)")


_THOUGHT = re.compile(r"^\s*(?:THOUGHT|DISCUSSION|Thought|Reasoning|Thinking)\s*:\s*")


def _record(walk: Walk, found: Outcomes, progress: Kept, previous: str,
            earlier: dict[str, Any]) -> dict[str, Any]:
    last_said = walk.last_said
    if last_said is not None and "```" in last_said:
        last_said = FENCED.sub(" ", last_said)  # the code it shows is no state
    state = clip(_THOUGHT.sub("", last_said)) if last_said is not None else ""
    latest = found.latest
    if latest is not None and latest[0] >= walk.last_said_at:
        state = clip(f"{state} Latest result: `{latest[1]}` {latest[2]}".strip(), 400)
    next_steps: list[str] = []
    if walk.kind == "call":
        next_steps.append(clip(f"Wait for the result of {walk.label}"))
    elif walk.kind == "user" and walk.harness_at < walk.last_at:
        next_steps.append(clip(f"Answer the user: {walk.body}"))
    elif walk.kind == "result" and found.last_failure and latest is not None:
        reported = latest[2].partition(": ")[2]
        next_steps.append(clip(f"{RESOLVE_STEP}`{latest[1]}`: {reported}"))
    narrative_parts = []
    if earlier:
        narrative_parts.append("Continues an earlier summary.")
    elif previous:  # an earlier summary in words of its own, not in sections
        narrative_parts.append(f"Continues an earlier summary ({clip(previous, 200)}).")
    # the counts cover the whole conversation: those of the summary built on, and these
    before = _COUNTED.search(str(earlier.get("summary") or "") if earlier else previous)
    users, said, calls, results = (int(n) for n in before.groups()) if before else (0, 0, 0, 0)
    narrative_parts.append(
        f"{walk.users + users} user message(s), {walk.said + said} assistant message(s), "
        f"{walk.calls + calls} tool call(s), {walk.results + results} tool result(s)."
    )
    if walk.first_goal is not None:
        narrative_parts.append(f"The user asked: {walk.first_goal}")
    if state:
        narrative_parts.append(f"Last assistant message: {clip(last_said or '')}"
                               if last_said else "")
    first_goal = walk.first_goal
    blockers = open_blockers(walk, found)  # what no longer stops the work joins the facts
    record = {
        "goals": ([first_goal] if first_goal else [])
        + walk.rules.result()[:carry.CONSTRAINTS_KEPT] + walk.goals.result(),
        "progress": progress.result(),
        "current_state": state,
        "key_decisions": walk.decisions.result(),
        "key_facts": walk.facts.result(),
        "blockers": blockers,
        "next_steps": next_steps,
        "summary": " ".join(p for p in narrative_parts if p),
    }
    if not earlier:
        return record
    return carry.merge(settle(earlier, walk, found), record)


def settle_with(record: Mapping[str, Any], transcript: str) -> dict[str, Any]:
    """``record`` with the blockers it lists that the newer messages in ``transcript``
    settle (the same check passing, a fix then a passing run, an edit going in after a
    refused one, the work going on past what was said to stop it) moved to its facts:
    what a summary carries is checked again against what came after it."""
    if not transcript or not record.get("blockers"):
        return dict(record)
    walk = Walk(transcript, {})
    walk.read(0)
    settled = settle(dict(record), walk, walk.outcomes())
    state = _LATEST_FAILED.match(str(settled.get("current_state") or ""))
    if state is not None and any(state.group(1) in str(f) for f in settled.get("key_facts") or ()
                                 if str(f).startswith(carry.RESOLVED_PREFIX)):
        settled["current_state"] = ""  # a failure since settled: the newer messages tell
    return settled


_LATEST_FAILED = re.compile(r"Latest result: (`[^`]+`) failed")


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
