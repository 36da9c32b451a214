"""An offline, model-free client: builds the summary JSON from the transcript in the request.

What it reports is what the transcript shows (see `morvex_summarize.evidence`): a tool's
output is a failure only on evidence of failure, a blocker is the line a person would quote
from it, a later passing run of the same check (or a fix of the file it named, then a
passing check) settles it, and the current state comes from the latest evidence. The goal
and the user's constraints are kept apart; what the user states (names, hosts, ids, times,
answers) is kept as facts; progress is what changed the work, with repeated reads counted.
"""

from __future__ import annotations

import json
import re
from collections import Counter
from collections.abc import Iterator
from typing import Any

from .. import evidence
from ..condense import carry
from ..native import (CONVERSATION_HEADING, PREVIOUS_HEADING, TRANSCRIPT_ENTRY, TRUNCATION_MARK,
                      parse_context)
from . import Reply

_ENTRY = TRANSCRIPT_ENTRY


class _Blind:
    """A pattern that ignores case and only tells whether it is found, read fast: ASCII
    text is read in lower case by the pattern without the flag, which finds what the
    pattern with it would (its letters are all lower case); other text by the pattern
    with the flag."""

    __slots__ = ("_lower", "_any_case")

    def __init__(self, pattern: str) -> None:
        if re.search(r"(?<!\\)[A-Z]", pattern):
            raise ValueError(f"a capital letter in a case-blind pattern: {pattern!r}")
        self._lower = re.compile(pattern)
        self._any_case = re.compile(pattern, re.IGNORECASE)

    def search(self, text: str) -> bool:
        if text.isascii():
            return self._lower.search(text.lower()) is not None
        return self._any_case.search(text) is not None

    def match(self, text: str) -> bool:
        if text.isascii():
            return self._lower.match(text.lower()) is not None
        return self._any_case.match(text) is not None

    def fullmatch(self, text: str) -> bool:
        if text.isascii():
            return self._lower.fullmatch(text.lower()) is not None
        return self._any_case.fullmatch(text) is not None


_REFUSAL_WORDS = (r"\b(?:sorry, (?:i|but)|i can(?:no|')t|i won't|i'm unable|"
                  r"i am unable|unable to (?:proceed|continue|help))\b")
# What stops the work, in the words of the user or the agent.
_BLOCKED_WORDS = (
    r"\b(?:blocked|blocker|stuck|is down|are down|frozen|expired|waiting on|cannot|can't|"
    r"won't|unable|not (?:cleared|allowed|available|set|approved)|no deploys?|nothing merges|"
    r"bad news|is missing|are missing|rejects?|refuses?)\b")
_BLOCKED = _Blind(_BLOCKED_WORDS)
_STOPPED = _Blind(f"{_REFUSAL_WORDS}|{_BLOCKED_WORDS}")  # the agent refuses or is blocked
_MAX_ITEM = 300


def _clip(text: str, limit: int = _MAX_ITEM) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3].rstrip() + "..."


def _headings(text: str, start: int = 0) -> Iterator[re.Match[str]]:
    """The entries' headings in ``text`` from ``start`` on (which must begin a line), as
    ``_ENTRY.finditer`` finds them: each starts a line with a bracket, and only such lines
    are matched (a scan of the pattern over every character is slower)."""
    if text.startswith("[", start):
        at = start
    else:
        at = text.find("\n[", start) + 1
        if not at:
            return
    while True:
        found = _ENTRY.match(text, at)
        if found is not None:
            yield found
        at = text.find("\n[", at) + 1
        if not at:
            return


def _spans(text: str, start: int = 0) -> Iterator[tuple[re.Match[str], int]]:
    """Each entry of ``text`` from ``start`` on (which must begin a line): the match of its
    heading and where its text ends. Nothing of the text is copied."""
    previous = None
    for match in _headings(text, start):
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

    def add(self, where: int, item: str, rank: int | None = None) -> None:
        if item:
            rank = carry.importance(item) if rank is None else rank
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
_GREETING = _Blind(r"(?:hi|hello|hey|ok|okay|so|good (?:morning|afternoon|evening)"
                       r"|morning|afternoon|evening)\b")
_WHOLE_RULE = 200  # a user message that sets a rule, up to this long, is kept whole

_SENTENCE = re.compile(r"(?<=[.!?;])\s+|\n+")
_FILLER = _Blind(
    r"\W*(?:(?:hi|hello|hey|good (?:morning|afternoon|evening)|hi there|hello there|"
    r"ok(?:ay)?|thanks?(?: you)?|thx|great|good|nice|cool|perfect|awesome|"
    r"yes|yep|yeah|sure|right|got it|sounds good|looks good|lgtm|go ahead|go on|continue|"
    r"carry on|keep going|proceed|please|do it|makes sense|understood)\W*)+(?:so far\W*)?")
_ASKS = _Blind(
    r"^(also|and|then|now|next|please|could you|can you|would you|add|make|fix|"
    r"implement|update|change|remove|rename|move|write|create|migrate|upgrade|we need|"
    r"i need|i want|let's|how about|what about|why not|should we|shall we)\b")
_RULE = _Blind(
    r"\b(never(?! mind)|don't|do not|must not|mustn't|must stay|must remain|must keep|must be|"
    r"(?:use|touch|change|modify|edit|call) only|only (?:use|touch|change|modify|edit|call)|"
    r"avoid|no changes? to|no new|hard rule|rule:|remember|whatever (?:you do|happens)|"
    r"has to (?:stay|keep|remain)|stays?\b.{0,30}\b(?:as it is|off|on|unchanged|the same)|"
    r"without (?:touching|changing|modifying)|keep\b.{0,60}\b"
    r"(?:untouched|unchanged|as is|intact|stable)|leave\b.{0,60}\balone|stick to|stay on|"
    r"under no circumstances|not allowed|off[- ]limits|hands off)\b")
# A label the user puts in front of rules or facts, which the lists say in their own way.
_LABEL = re.compile(r"(?i)^\W*(?:constraints?|rules?|requirements?|hard rules?|note|fyi|goal|"
                    r"task|objective|"
                    r"btw|facts?(?: you should know| to know| for you)?|for the record|"
                    r"heads up|important|context)\s*[:\-–—]\s*")
_PLAN = _Blind(
    r"\b(i'll|i will|i'm going to|i am going to|let's|we'll|we will|we should|i'd|"
    r"plan|going with|go with|decide|decided|decision|switching|switch to|opting|opt for|"
    r"chose|chosen|choosing|choice|"
    r"settled|instead|rather than|cleanest|simplest|safest|best option|approach)\b")
# What the user states for the agent to know: a name, host, cluster, id, ticket, where the
# credentials are, a time or window, a port; the words that say so, or a token that names.
_STATED = _Blind(
    r"\b(?:is called|are called|is named|named|call(?:ed)? it|is at|is on|lives (?:at|in|"
    r"on)|runs on|hosted (?:at|on)|use port|on port|port|password|passwords|credentials?|"
    r"secrets?|tokens?|api keys?|username|user name|login|account|id is|ticket|window|"
    r"maintenance|deadline|until|before|after|between|at \d{1,2}(?::\d\d)?|utc|cet|pst|"
    r"o'clock|replicas?|nodes?|cluster|host|hostname|server|region|bucket|database|db|"
    r"branch|version|tag|budget|limit|quota|owner|contact|on-?call|fact|know that|note that|"
    r"keep in mind|for the record|fyi|remember that|the answer is)\b")
_NAMING = re.compile(
    r"\b[A-Z]{2,}[-_]?\d+[A-Z]?\b|\b[a-z][\w]*(?:[-_.][\w]+)*[-_.]\w*\d\w*\b|\b[\w-]+\.[\w.-]+"
    r"\.(?:com|net|org|io|dev|internal|local|lan|cloud)\b|\b\d{1,3}(?:\.\d{1,3}){3}\b|"
    r"\b\d{1,2}:\d\d\b|\b[\w.+-]+@[\w-]+\.[\w.]+\b|https?://\S+|(?:^|\s)[~.]?/[\w.-]+/\S+|"
    r"\b\d{2,}\b")


def _question(text: str) -> str:
    """The question an assistant message ends with, with the sentence before it when the
    question alone says little ("Shall I?")."""
    text = text.rstrip()
    if not text.endswith("?"):
        return ""
    sentences = _sentences(text[-600:])
    asked = sentences[-1]
    if len(asked.split()) < 6 and len(sentences) > 1:
        asked = f"{sentences[-2]} {asked}"
    return _clip(asked, 200)


def _sentences(text: str) -> list[str]:
    return [s.strip() for s in _SENTENCE.split(text) if s and s.strip()]


def _unlabel(sentence: str) -> str:
    """A sentence without the label in front of it ("Constraints: ", "FYI: ")."""
    bare = _LABEL.sub("", sentence, count=1)
    return bare or sentence


def _salient_lines(body: str, facts: bool = True) -> list[str]:
    """Up to two lines of an output worth keeping as facts, in their order: the ones that
    name a port, URL, path, version, count or identifier first (the last ones of equal
    worth), of the lines that show no failure."""
    if not facts or not carry.may_mark(body):
        return []  # no line of it has a mark: each is a failure's or worth nothing
    lines = [line.strip() for line in body.split("\n")]
    if body.endswith(TRUNCATION_MARK):
        lines.pop()  # cut short: not a line any more
    ranked = []
    for index, line in enumerate(lines):
        if line:
            worth = carry.grade(line)
            if 0 < worth < 4 and not _ROUTINE.search(line) and not evidence.failure_line(line):
                ranked.append((worth, index, line))
    best = sorted(ranked, reverse=True)[:2]
    return [line for _, _, line in sorted(best, key=lambda r: r[1])]


# Lines that say what every run says: a test listed as it passes, a progress bar, a file
# listing, the line of counts that ends a test run (the progress has it).
_ROUTINE = re.compile(
    r"::\w+.*\b(?:PASSED|SKIPPED|XFAIL|XPASS|ok)\b|\[\s*\d+%\]|^[-dlcbps][rwxsStT-]{9}[.@+]?\s"
    r"|^=+ .* =+$|^\d+ passed\b|\btest result: ok\b|^(?:Found 0|All checks passed)"
    r"|\[\s*PASSED\s*\]"
    r"|^\s*(?:Finished|Compiling|Checking|Running)\b")


def _user_facts(text: str) -> list[str]:
    """The sentences of a user message that state something to know."""
    out = []
    for sentence in _sentences(text):
        if _RULE.search(sentence):
            continue
        bare = _unlabel(sentence)
        if _NAMING.search(bare) or (_STATED.search(bare) and len(bare.split()) >= 4):
            out.append(bare)
    return out


class _Call:
    """A tool call as the transcript shows it: the tool, its arguments' brief, and for a
    shell the command line and the check it runs."""

    __slots__ = ("name", "brief", "line", "reads", "changes", "where", "_command", "_shown")

    def __init__(self, name: str, brief: str, where: int) -> None:
        self.name = name
        self.brief = brief.strip()
        self.where = where
        self.line = evidence.shell_command(name, self.brief)
        self._command: evidence.Command | None = None
        self._shown: str | None = None
        if self.line is not None:
            self._command, self.reads, self.changes = evidence.kinds(self.line)
        else:
            self.reads = evidence.tool_reads(name)
            self.changes = evidence.tool_changes(name)

    @property
    def command(self) -> evidence.Command:
        """The check the call runs: a shell's program and targets, or the tool and the
        paths its arguments name."""
        if self._command is None:
            self._command = evidence.Command(self.name, evidence.paths_in(self.brief))
        return self._command

    def shown(self) -> str:
        """How a list names the call: the command line, or the tool and its arguments."""
        if self._shown is None:
            self._shown = self._named()
        return self._shown

    def _named(self) -> str:
        if self.line is not None:
            return _clip(self.line, 120)
        named = [m.group(1) or m.group(2) for m in _NAMED_ARGUMENT.finditer(self.brief)]
        if named:
            return _clip(f"{self.name} {' '.join(named)}", 120)
        return _clip(f"{self.name} {self.brief}" if self.brief else self.name, 120)


# The arguments that name what a call works on.
_NAMED_ARGUMENT = re.compile(
    r"(?:^|, )(?:path|file|file_path|filename|target|dir|directory|name|url|package|"
    r"query|pattern)=([^,]{1,100})|\*\*\* (?:Update|Add|Delete) File: (\S+)")
_CHECK_ITEM = re.compile(r"^`(?P<shown>[^`]+)` (?:passed|failed)\b")
_READ_DIR = re.compile(r"(?:path|file|file_path|filename|dir|directory|target)=([^,\s]+)")


def _folder(call: _Call) -> str:
    """The folder a read looks in, for counting reads by folder."""
    found = _READ_DIR.search(call.brief)
    target = found.group(1) if found else ""
    if call.line is not None:
        target = next((w for w in call.line.split()[1:] if "/" in w or "." in w), "")
    if "/" not in target:
        return ""
    return target.strip("'\"").rsplit("/", 1)[0].lstrip("./") + "/"


def _reads_item(reads: Counter[tuple[str, str]]) -> str:
    """One item for all the reads: how many of each tool, under which folders."""
    by_tool: dict[str, Counter[str]] = {}
    for (tool, folder), count in reads.items():
        by_tool.setdefault(tool, Counter())[folder] += count
    parts = []
    for tool, folders in sorted(by_tool.items(), key=lambda kv: -sum(kv[1].values())):
        total = sum(folders.values())
        named = [f for f, _ in folders.most_common(3) if f]
        parts.append(f"{tool} {total}x" + (f" (under {', '.join(named)})" if named else ""))
    return carry.LOOKED_PREFIX + "; ".join(parts[:4])


def _change_item(call: _Call, output: str | None) -> str:
    """A change as progress: what was changed, with the first line its tool answered."""
    head = ""
    if output:
        first = next((line.strip() for line in output.split("\n") if line.strip()), "")
        shown = call.shown()
        # what the tool answered, unless it only repeats what was changed
        if first and first.lower().strip(".!") not in ("ok", "done", "success", "true") and \
                not any(path in first for path in evidence.paths_in(shown)):
            head = ": " + _clip(first, 100)
    return _clip(f"{carry.CHANGED_PREFIX}`{call.shown()}`{head}", 200)


def _summarize(text: str, start: int, previous: str) -> dict[str, Any]:
    """The summary of the transcript in ``text`` from ``start`` on, merged with the earlier
    summary's lists. Reads each entry once in order, then the tool outputs newest first,
    only as far as an older one can still change the lists."""
    users = said = calls = results = 0
    first_goal = last_said = None
    last_said_at = -1
    preamble = False
    earlier = parse_context(previous) if previous else {}
    # Building on an earlier summary, the goal is the one it holds: the first message here
    # is one more message, a goal only when it asks for something.
    continues = bool(earlier.get("goals"))
    goals, rules = _Kept(carry.LIMITS["goals"]), _Kept(carry.LIMITS["goals"])
    decisions = _Kept(carry.LIMITS["key_decisions"])
    facts, blockers = _Kept(carry.LIMITS["key_facts"]), _Kept(carry.LIMITS["blockers"])
    changes = _Kept(carry.LIMITS["progress"])
    edits: dict[str, tuple[int, list[str]]] = {}  # tool -> (where last, files it changed)
    pending: list[_Call] = []  # calls not answered yet, oldest first
    answered: list[tuple[_Call | None, int, int, str]] = []  # (call, start, end, label)
    reads: Counter[tuple[str, str]] = Counter()
    runs: Counter[str] = Counter()  # runs of each check
    changed_at: dict[str, int] = {}  # file name -> where it was last changed
    question = ""  # the assistant's question the next user message answers
    kind = label = body = ""
    last_read_at = 0
    for match, end in _spans(text, start):
        kind, label = _heading(match)
        body = text[match.end():end]
        where = match.start()
        if kind == "user":
            users += 1
            stripped = body.strip()
            asked, question = question, ""
            if asked and stripped:
                # an answer means what it answers: "yes" to "Shall I book BA304?"
                facts.add(where, _clip(f"{carry.ASKED_PREFIX}{asked} User: {stripped}", 240), 3)
                if _FILLER.fullmatch(stripped):
                    continue
            if not stripped or _FILLER.fullmatch(stripped):
                continue  # "thanks, keep going" asks for nothing new
            sentences = _sentences(stripped)
            is_goal = first_goal is None and not continues
            if is_goal or len(stripped) > _WHOLE_RULE:
                said_rules = [_unlabel(s) for s in sentences if _RULE.search(s)]
            else:
                # a short message that sets a rule is kept whole: its object may be in
                # the sentence after the rule's words
                said_rules = [_unlabel(stripped)] if _RULE.search(stripped) else []
            for sentence in said_rules:
                rules.add(where, carry.CONSTRAINT_PREFIX + _clip(sentence, 200))
            if is_goal:
                rest = " ".join(_unlabel(s) for s in sentences if not _RULE.search(s))
                first_goal = _clip(rest or stripped)
                # "hi, got a task for you": a greeting, or a few words that ask nothing
                preamble = len(first_goal) < _PREAMBLE and not said_rules and (
                    _GREETING.match(stripped)
                    or (len(first_goal.split()) <= 6 and not _ASKS.search(stripped)))
            elif preamble and not said_rules:
                # "hi, got a task for you" first: the request that follows is the goal too
                first_goal = _clip(f"{first_goal} {body}")
                preamble = False
            elif not said_rules and _ASKS.search(stripped) and not asked:
                goals.add(where, _clip(body))
            elif not said_rules and not asked and not _BLOCKED.search(stripped):
                for fact in _user_facts(stripped):
                    facts.add(where, _clip(carry.USER_PREFIX + fact, 240), 3)
            if not said_rules and _BLOCKED.search(stripped):
                blockers.add(where, _clip(stripped, 200))
        elif kind == "assistant":
            said += 1
            last_said, last_said_at = body, where
            # a sentence holds a plan's words only if the message does
            sentences = _sentences(body) if _PLAN.search(body) else []
            chosen = [sentence for sentence in sentences if _PLAN.search(sentence)]
            for sentence in chosen:
                decisions.add(where, _clip(sentence, 200))
            if _STOPPED.search(body):
                # a choice made is not what stops the work ("Plan: wrap the writes in a
                # transaction so a crash can't leave half a file"); a next step may be
                decided = [s for s in chosen if carry.DECIDED.search(s)]
                if not decided:
                    blockers.add(where, _clip(body, 200))
                else:
                    rest = " ".join(s for s in sentences if s not in decided)
                    if _STOPPED.search(rest):
                        blockers.add(where, _clip(rest, 200))
            question = _question(body)
        elif kind == "call":
            calls += 1
            question = ""
            call = _Call(label, body, where)
            pending.append(call)
            if call.reads:
                last_read_at = where
                reads[call.name if call.line is None else call.command.program,
                      _folder(call)] += 1
            elif call.line is not None and evidence.is_check(call.command):
                runs[call.shown()] += 1
        else:
            results += 1
            caller = pending.pop(0) if pending else None
            answered.append((caller, match.end(), end, label))
            if caller is not None and caller.changes:
                output = text[match.end():end]
                named = _NAMED_ARGUMENT.search(caller.brief)
                # a change that failed says so first or last, or by its error flag
                failed = evidence.outcome(output, reads=True) == evidence.FAILED
                if not failed:
                    for path in evidence.paths_in(caller.brief):
                        changed_at[path.rsplit("/", 1)[-1]] = caller.where
                if failed:
                    pass
                elif caller.line is None and named is not None:
                    # the files one tool changed make one item
                    files = edits.setdefault(caller.name, (caller.where, []))[1]
                    edits[caller.name] = (caller.where, files)
                    target = _clip(named.group(1) or named.group(2), 100)
                    if target not in files:
                        files.append(target)
                else:
                    changes.add(caller.where, _change_item(caller, output))
    for waiting in pending:  # calls still waiting: their change is not known yet
        if waiting.changes:
            changes.add(waiting.where, _clip(f"Started: `{waiting.shown()}`", 200))

    # Tool outputs newest first: the latest evidence decides, and a passing run settles
    # the older failures of the same check.
    passes: dict[str, list[evidence.Command]] = {}
    newest_pass = -1  # where the newest passing check is
    checks: dict[str, tuple[int, str]] = {}  # shown -> (where, item): the latest outcome
    latest: tuple[int, str, str] | None = None  # (where, shown, outcome item)
    last_failure = ""
    for index in range(len(answered) - 1, -1, -1):
        made, begin, finish, result_label = answered[index]
        if facts.full() and blockers.full():
            break
        output = text[begin:finish]
        reads_only = made is not None and made.reads
        result = evidence.outcome(output, reads_only)
        if result is not None:  # an output that settles nothing names no check
            shown = made.shown() if made is not None else result_label
            where = made.where if made is not None else begin
            command = made.command if made is not None else evidence.Command("", frozenset())
        if result == evidence.PASSED:
            passes.setdefault(command.program, []).append(command)
            if made is not None and evidence.is_check(command):
                newest_pass = max(newest_pass, where)
                if shown not in checks:
                    line = _pass_line(output)
                    checks[shown] = (where, _clip(f"`{shown}` passed" +
                                                  (f": {line}" if line else ""), 200))
            if latest is None:
                latest = (where, shown, "passed" + (f": {_pass_line(output)}"
                                                    if _pass_line(output) else ""))
        elif result == evidence.FAILED:
            said_line = evidence.quote(output)
            earlier_passes = passes.get(command.program, ())
            named_tests = evidence.failed_tests(output) if earlier_passes else frozenset()
            settled = any(evidence.covers(p, command, named_tests) for p in earlier_passes)
            if not settled and newest_pass > where:
                settled = any(changed_at.get(path.rsplit("/", 1)[-1], -1) > where
                              for path in evidence.paths_in(said_line))
            item = _clip(f"`{shown}` failed: {said_line}", 260)
            if settled:
                facts.add(where, carry.RESOLVED_PREFIX + item, 2)
            else:
                blockers.add(where, item, 3)
            if made is not None and evidence.is_check(command) and shown not in checks:
                checks[shown] = (where, item)
            if latest is None:
                latest = (where, shown, "failed: " + said_line)
                last_failure = item if not settled else ""
        if made is not None and made.changes:
            pass  # what a change answered is in the progress
        elif result != evidence.FAILED and not reads_only:
            for line in _salient_lines(output, not facts.full()):
                facts.add(begin, _clip(line, 200))
        elif result != evidence.FAILED and not facts.full():
            for line in _salient_lines(output)[-1:]:
                facts.add(begin, _clip(line, 200), 1)
    progress = _Kept(carry.LIMITS["progress"])
    for where, item in checks.values():
        named = _CHECK_ITEM.match(item)
        count = runs.get(named.group("shown"), 0) if named else 0
        progress.add(where, item + (f" (run {count}x)" if count > 2 else ""), 2)
    for tool, (where, files) in edits.items():
        changes.add(where, _clip(f"{carry.CHANGED_PREFIX}`{tool}` {', '.join(files[-8:])}"
                                 + (f" and {len(files) - 8} more" if len(files) > 8 else ""),
                                 300))
    for rank, where, item in changes.found:
        progress.add(where, item, 3)
    if reads:
        progress.add(last_read_at, _reads_item(reads), 2)
    state = _clip(last_said) if last_said is not None else ""
    if latest is not None and latest[0] > last_said_at:
        state = _clip(f"{state} Latest result: `{latest[1]}` {latest[2]}".strip(), 400)
    next_steps: list[str] = []
    if kind == "call":
        next_steps.append(_clip(f"Wait for the result of {label}"))
    elif kind == "user":
        next_steps.append(_clip(f"Answer the user: {body}"))
    elif kind == "result" and last_failure and latest is not None:
        next_steps.append(_clip(f"{_RESOLVE_STEP}`{latest[1]}`: {latest[2][8:]}"))
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
        narrative_parts.append(f"Last assistant message: {_clip(last_said or '')}"
                               if last_said else "")
    record = {
        "goals": ([first_goal] if first_goal else []) + rules.result()[:carry.CONSTRAINTS_KEPT]
        + goals.result(),
        "progress": progress.result(),
        "current_state": state,
        "key_decisions": decisions.result(),
        "key_facts": facts.result(),
        "blockers": blockers.result(),
        "next_steps": next_steps,
        "summary": " ".join(p for p in narrative_parts if p),
    }
    if not earlier:
        return record
    return carry.merge(_settle(earlier, passes, changed_at, newest_pass, checks), record)


_RESOLVE_STEP = "Resolve the failure of "
_PASS_LINE = re.compile(
    r"(?i)\b\d+ (?:tests? )?passed\b|\btest result: ok\b|\bok\b|\bpassed\b|\bsuccess|"
    r"\b0 (?:failed|errors?|failures?|problems?|vulnerabilities)\b|\bno (?:errors?|issues?|"
    r"problems?)\b|\bfailures=0\b|\ball (?:checks|tests) passed\b|\bPASS\b|\bHTTP/")


def _pass_line(output: str) -> str:
    """The line of a passing output that says so (the last such line), shortened."""
    lines = [line.strip() for line in output.split("\n") if line.strip()]
    for line in reversed(lines):
        if _PASS_LINE.search(line):
            return _clip(line, 120)
    return ""


def _settle(earlier: dict[str, Any], passes: dict[str, list[evidence.Command]],
            changed_at: dict[str, int], newest_pass: int,
            checks: dict[str, tuple[int, str]]) -> dict[str, Any]:
    """The earlier summary with its blockers that this part of the conversation settled
    moved to its facts, marked resolved, and its check outcomes that a newer run of the
    same check replaces left out."""
    old_blockers = earlier.get("blockers")
    if not isinstance(old_blockers, list):
        return earlier
    settled_now = dict(earlier)
    kept, resolved = [], []
    for item in old_blockers:
        found = carry.FAILED_ITEM.match(str(item))
        if found is None:
            kept.append(item)
            continue
        command = evidence.command_of(found.group("shown"))
        named = evidence.failed_tests(found.group("quote"))
        fixed = any(newest_pass > changed_at.get(path.rsplit("/", 1)[-1], newest_pass)
                    for path in evidence.paths_in(found.group("quote")))
        if fixed or any(evidence.covers(p, command, named)
                        for p in passes.get(command.program, ())):
            resolved.append(carry.RESOLVED_PREFIX + str(item))
        else:
            kept.append(item)
    settled_now["blockers"] = kept
    steps = earlier.get("next_steps")
    if isinstance(steps, list):
        # a step to resolve a failure goes with the failure
        open_now = {str(item) for item in kept}
        settled_now["next_steps"] = [
            step for step in steps if not str(step).startswith(_RESOLVE_STEP)
            or any(str(step)[len(_RESOLVE_STEP):].split(":")[0] in b for b in open_now)]
    if resolved:
        settled_now["key_facts"] = list(earlier.get("key_facts") or []) + resolved
    progress = earlier.get("progress")
    if isinstance(progress, list) and checks:
        newer = set(checks)
        settled_now["progress"] = [
            p for p in progress
            if not ((m := _CHECK_ITEM.match(str(p))) and m.group("shown") in newer)]
    return settled_now


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
