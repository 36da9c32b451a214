"""A transcript read once, in order, as an agent's run: its messages, the steps its calls
and its text take, what each step's output settled, and what is still open at the end.

`Walk` reads the entries (user, assistant, call, result) and keeps, each in a bounded
list, the goals and the user's rules, the changes, the facts and the blockers found;
`Walk.outcomes` then reads the outputs newest first, where the latest evidence decides.
`settle` checks what an earlier summary carries against what came after it. The words by
which a message is read are in `phrases`; what an output shows, in `evidence`.
"""

from __future__ import annotations

import os
import re
from collections import Counter
from typing import Any

from . import evidence, steps, tools
from .. import carry
from ..native import TRUNCATION_MARK
from .messages import (PASTED_FIRST, PREAMBLE, WHOLE_RULE, asking, clip, console, frame,
                       harness, is_rule, own_words, question, request, sentences, unlabel,
                       user_facts, without_note)
from .phrases import (ASKS, BLOCKED, Blind, DEMONSTRATION, DOUBT, EDIT_WORD, FILLER, GREETING,
                      HOOK, MISSING, NOISE, PLAN, RAW, REPRODUCED, RULE, STOPPED, STUCK,
                      SUPPOSED, WORKED)
from .transcript import heading, spans


class Kept:
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
            if 0 < worth < 4 and not _ROUTINE.search(line) and not RAW.search(line) \
                    and not NOISE.search(line) and not evidence.failure_line(line):
                ranked.append((worth, index, line))
    best = sorted(ranked, reverse=True)[:2]
    return [line for _, _, line in sorted(best, key=lambda r: r[1])]


_SOURCE_FILE = re.compile(r"\.(?:py|pyi|js|jsx|ts|tsx|go|rs|java|kt|c|h|cc|cpp|hpp|rb|php|cs|"
                          r"swift|scala|sh|md|rst|txt|html|css)$")


_VIEWERS = frozenset({"cat", "nl", "head", "tail", "sed", "less", "more", "bat", "view", "open"})


def _shows_source(call: _Call) -> bool:
    """The call shows a file of code or prose (an editor's view, `cat` or `nl` of it): its
    lines are the file, no fact of the work."""
    if call.line is None:
        return call.act.kind == steps.READ and call.brief.startswith("command=")
    return call.command.program in _VIEWERS and any(
        _SOURCE_FILE.search(t) for t in call.command.targets)


_LISTERS = frozenset({"find", "fd", "ls", "ll", "tree", "git status", "git ls-files"})


_LISTING_TOOL = re.compile(r"(?i)glob|list|^ls$|find|tree|file_search")


def _lists(call: _Call) -> bool:
    """The call lists files (a glob, `find`, `ls`, a folder's listing): the names it lists
    are no fact. A search's hits may be."""
    if call.line is None:
        row = tools.lookup(call.name)
        return row is not None and row.kind == tools.SEARCH and \
            _LISTING_TOOL.search(call.name) is not None
    return call.command.program in _LISTERS


# Lines that say what every run says: a test listed as it passes, a progress bar, a file
# listing, the line of counts that ends a test run (the progress has it).
_ROUTINE = re.compile(
    r"::\w+.*\b(?:PASSED|SKIPPED|XFAIL|XPASS|ok)\b|\[\s*\d+%\]|^[-dlcbps][rwxsStT-]{9}[.@+]?\s"
    r"|^=+ .* =+$|^\d+ passed\b|\btest result: ok\b|^(?:Found 0|All checks passed)"
    r"|\[\s*PASSED\s*\]"
    r"|^\s*(?:Finished|Compiling|Checking|Running)\b")


class _Call:
    """A step: a tool call, or a command the agent wrote in its text, with what it does
    (`steps.Action`) and, once answered, how it ended and the files it changed."""

    __slots__ = ("name", "brief", "line", "act", "reads", "runs", "where", "span", "refused",
                 "changed", "after", "_outcome", "_command", "_shown", "_key")

    def __init__(self, name: str, brief: str, where: int, line: str | None = None) -> None:
        self.name = name
        self.brief = brief.strip()
        self.where = where
        self.line = evidence.shell_command(name, self.brief) if line is None else line
        self.act = act = steps.action(name, self.brief, self.line)
        # it only reads, or submits: what it prints is no failure of the work
        self.reads = act.kind == steps.READ or act.kind == steps.SUBMIT
        # it runs something whose outcome counts: tests, a script, a tool's own work
        self.runs = act.runs or act.kind == steps.RUN
        self.span = (-1, -1)  # where its output is, once answered
        self.refused = False  # its output says that the change did not happen
        self._outcome: object = _UNREAD
        self.changed: tuple[str, ...] = ()  # the files it changed
        self.after = ""  # the start of the assistant's next message
        self._command: evidence.Command | None = None
        self._key: evidence.Command | None = None
        self._shown: str | None = None


    @property
    def world(self) -> bool:
        """It changes the world rather than files: an install, a commit, a deployment."""
        if self.line is None:
            return self.act.kind == steps.EDIT and not self.act.edits
        return self.act.kind == steps.RUN and evidence.kinds(self.line).changes

    @property
    def command(self) -> evidence.Command:
        """The check the call runs: a shell's program and targets, or the tool and the
        paths its arguments name."""
        if self._command is None:
            self._command = (evidence.kinds(self.line).command if self.line is not None
                             else evidence.Command(self.name, evidence.paths_in(self.brief)))
        return self._command

    def key(self) -> evidence.Command:
        """The check's identity across its runs."""
        if self._key is None:
            act = self.act
            if not self.runs and (act.edits or act.removed):  # a change: by its files
                self._key = evidence.Command(f"edit:{self.name}",
                                             frozenset(act.edits or act.removed))
            else:
                self._key = steps.check_key(self.command, act.probe)
        return self._key

    def shown(self) -> str:
        """How a list names the call: the command line, or the tool and its arguments."""
        if self._shown is None:
            self._shown = self._named()
        return self._shown

    def _named(self) -> str:
        if self.line is not None:
            return clip(self.line, 120)
        named = [m.group(1) or m.group(2) for m in _NAMED_ARGUMENT.finditer(self.brief)]
        if named:
            return clip(f"{self.name} {' '.join(named)}", 120)
        return clip(f"{self.name} {self.brief}" if self.brief else self.name, 120)

    def answer(self, output: str, text: str, upto: int) -> None:
        """Reads what the call changed from its output (``text`` up to ``upto`` is the
        transcript before it, where a bare file name is looked up); how it ended is read
        only when asked (`outcome`), newest first."""
        act = self.act
        self.span = (upto, upto + len(output))
        if self.reads:
            return
        named_maybe = act.runs and steps.holds_any(output, _CHANGE_HINTS)
        if not (act.edits or act.maybe or act.patch or act.removed or named_maybe):
            return
        status = steps.status(output)
        if steps.edit_refused(output) or (
                status not in (None, 0) and not steps.says_changed(output)) or (
                evidence.outcome(output, reads=True) == evidence.FAILED):
            self.refused = True
            return
        named = steps.changed_in_output(output) if (act.patch or act.maybe or named_maybe) \
            else ()
        maybe = [p for p in act.maybe if any(same_file(p, n) for n in named)]
        if not maybe and len(act.maybe) == 1 and steps.says_changed(output):
            maybe = list(act.maybe)
        found = [_whole_path(p, output, text, upto) for p in (*act.edits, *maybe)]
        for name in named:
            if not any(same_file(name, f) for f in found):
                found.append(_resolve(name, text, upto))
        self.changed = tuple(f for f in found if not _scratch(f))

    def outcome(self, text: str, output: str | None = None) -> str | None:
        """FAILED, PASSED or None: how the call ended, read once from its output in
        ``text`` (or ``output``, when it is at hand). A change that did not happen failed;
        a read or a submission never."""
        if self._outcome is _UNREAD:
            found = None
            if self.span[0] >= 0 and not self.reads:
                if output is None:
                    output = _unquote_output(text[self.span[0]:self.span[1]])
                if self.runs:
                    found = steps.run_outcome(output, steps.status(output), self.line is None)
                if found is None and self.refused and (
                        self.act.edits or self.act.removed or self.act.patch):
                    found = evidence.FAILED
            self._outcome = found
        return self._outcome if isinstance(self._outcome, str) else None


_UNREAD = object()


_QUOTE_MARK = re.compile(r"^>[ \t]?", re.MULTILINE)


def _unquote_output(output: str) -> str:
    """An output pasted back as quoted lines ("> FAILED ...") without the marks."""
    return _QUOTE_MARK.sub("", output) if output.startswith(">") else output


# Words an output that says it changed a file holds (`steps.changed_in_output`).
_CHANGE_HINTS = ("atch", "pdat", "rote", "ritten", "odified", "dited", "aved", "reated",
                 "ixed", "eplaced", "pplied", "[File: ", "\nM ", "\nA ")


_TEXT_EDIT = "edit block"  # how the edits an assistant writes in its text are named


_SCRATCH = ("/tmp/", "/var/tmp/")


def _scratch(path: str) -> bool:
    """A file the agent keeps for itself (`/tmp/repro.py`): directly in a temporary folder.
    A project checked out under one (`/tmp/work/src/x.py`) is the work itself."""
    for folder in _SCRATCH:
        if path.startswith(folder):
            return "/" not in path[len(folder):]
    return False


_CUT_SHORT = "..."  # how the transcript ends an argument it cut short


_PATH_TOKEN = re.compile(r"[^\s'\"`,;()\[\]<>]+")


def _whole_path(path: str, output: str, text: str, upto: int) -> str:
    """A path the transcript cut short (`/src/app/compone...`), whole again from the
    call's output or an earlier mention of it, else as it stands."""
    if not path.endswith(_CUT_SHORT):
        return path
    stem = path[:-len(_CUT_SHORT)]
    for source in (output, text[max(0, upto - 200_000):upto]):
        at = source.find(stem)
        whole = _PATH_TOKEN.match(source, at) if at >= 0 else None
        if whole is not None:
            return whole.group(0).rstrip(".:")
    return path


def same_file(a: str, b: str) -> bool:
    a, b = a.lstrip("./"), b.lstrip("./")
    return a == b or a.endswith("/" + b) or b.endswith("/" + a)


def _resolve(name: str, text: str, upto: int) -> str:
    """A bare file name as the path the transcript last named it by, before ``upto``."""
    if "/" in name:
        return name
    at = text.rfind("/" + name, 0, upto)
    while at >= 0:
        end = at + 1 + len(name)
        if end >= len(text) or not (text[end].isalnum() or text[end] in "_."):
            start = at
            while start > 0 and (text[start - 1].isalnum() or text[start - 1] in "_./-"):
                start -= 1
            return text[start:end].lstrip("./") or name
        at = text.rfind("/" + name, 0, at)
    return name


# The arguments that name what a call works on.
_NAMED_ARGUMENT = re.compile(
    r"(?:^|, )(?:path|file|file_path|filename|target|dir|directory|name|url|package|"
    r"query|pattern)=([^,]{1,100})|\*\*\* (?:Update|Add|Delete) File: (\S+)")


_QUIET = "ran with no failure shown"


CHECK_ITEM = re.compile(r"^`(?P<shown>[^`]+)` (?:passed|failed|" + _QUIET + r")\b")


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


_LOOKS = frozenset({tools.READ, tools.SEARCH, tools.WEB})  # what "Looked around" counts


def reads_item(reads: Counter[tuple[str, str]]) -> str:
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


_WORLD = (  # what a change of the world rather than of the work's files is called
    (re.compile(r"^(?:pip3?|uv|poetry|npm|yarn|pnpm|bun|cargo|go|gem|bundle|composer|apt|"
                r"apt-get|brew|dnf|yum|apk|conda|mamba|mix|dotnet) (?:install|add|i|get|"
                r"sync|deps\.get|restore)$"), carry.INSTALLED_PREFIX),
    (re.compile(r"^git (?:commit|merge|rebase|cherry-pick|revert|tag)$"),
     carry.COMMITTED_PREFIX),
    (re.compile(r"^git push$|^gh pr (?:create|merge)$"), carry.PUSHED_PREFIX),
)


def _world_prefix(call: _Call) -> str:
    """How progress names a change of the world: an install, a commit, a push, else a
    change."""
    if call.line is not None:
        for step in reversed(evidence.commands_of(call.line)):
            for pattern, prefix in _WORLD:
                if pattern.match(step.program):
                    return prefix
    return carry.CHANGED_PREFIX


def _change_item(call: _Call, output: str | None) -> str:
    """A change as progress: what was changed, with the first line its tool answered."""
    head = ""
    if output:
        first = next((line.strip() for line in output.split("\n") if line.strip()), "")
        shown = call.shown()
        # what the tool answered, unless it only repeats what was changed
        if first and first.lower().strip(".!") not in ("ok", "done", "success", "true") and \
                not any(path in first for path in evidence.paths_in(shown)):
            head = ": " + clip(first, 100)
    return clip(f"{_world_prefix(call)}`{call.shown()}`{head}", 200)


def files_item(tool: str, files: list[str]) -> str:
    """The files one tool changed, the newest that fit the item whole; absolute paths
    under one folder are named from it."""
    shown = files[-_FILES_SHOWN:]
    folder = ""
    if len(shown) > 1 and all(f.startswith("/") for f in shown):
        common = os.path.commonpath(shown)
        if common.count("/") >= 2 and common not in shown:
            folder = common
            shown = [f[len(common) + 1:] for f in shown]
    shown = [carry.shown_name(f) for f in shown]
    head = f"{carry.CHANGED_PREFIX}`{tool}`" + (f" in {folder}/:" if folder else "")
    while len(shown) > 1 and len(head) + sum(len(f) + 2 for f in shown) > _FILES_ITEM:
        shown.pop(0)
    more = len(files) - len(shown)
    return clip(f"{head} {', '.join(shown)}" + (f" and {more} more" if more else ""),
                 _FILES_ITEM + 20)


_FILES_ITEM = 700


_FILES_SHOWN = 20  # files named in one item, at most


_PATH_SHOWN = 160  # a changed file's path in the progress, at most


def _stopped(body: str) -> bool:
    """An assistant message says what stops the work: in its own words (not in code it
    shows), and not after saying the work went as it wanted."""
    if _reported_working(body):
        return False
    if "```" in body:
        body = FENCED.sub(" ", body)
    # a sentence about code ("`parse` can't read dates") explains it, not what stops the
    # work
    # an item of a list (a report's findings, a plan's steps, what was built) or what
    # would be so if something held describes the work; only words that say it is stuck
    # make one a blocker
    return any(STOPPED.search(sentence) and not _ABOUT_CODE.search(sentence)
               and (STUCK.search(sentence) or not (
                   PLAN.search(sentence) or _LISTED.match(sentence)
                   or SUPPOSED.match(sentence)))
               for sentence in sentences(body))


_LISTED = re.compile(r"\s*(?:[-*\u2022+]|\d+[.)]|\[[ xX]\])\s")


_ABOUT_CODE = re.compile(r"`[^`\n]+`|\b\w+\(\)|\b[a-z]+_[a-z_]+\b|\b\w+\.(?:py|js|ts|go|rs|rb|java|c|h)\b")


# A model's thinking as the formats render it: its mark starts a line; its first paragraph.
_THINKING = re.compile(r"<(?P<tag>think(?:ing)?(?:[-_][\w-]*)?|reasoning)>.*?(?:</(?P=tag)>|\Z)",
                       re.DOTALL | re.IGNORECASE)


_MUSING_MARK = re.compile(r"(?:^|\n)\[(?:thinking|reasoning)\]")


_MUSING = re.compile(r"(?:^|\n)\[(?:thinking|reasoning)\][^\n]*(?:\n(?!\n)[^\n]*)*")


FENCED = re.compile(r"```.*?(?:```|\Z)", re.DOTALL)


def _reported_working(after: str) -> bool:
    """The assistant's next message opens by saying the run gave what it wanted."""
    head = " ".join(sentences(after[:400])[:2])
    return bool(head) and WORKED.search(head) and not DOUBT.search(head)


class Walk:
    """One reading of a transcript: the messages in order, then the steps newest first."""

    def __init__(self, text: str, earlier: dict[str, Any]) -> None:
        self.text = text
        self.earlier = earlier
        self.users = self.said = self.calls = self.results = 0
        self.first_goal: str | None = None
        self.last_said: str | None = None
        self.last_said_at = -1
        self.preamble = False
        # Building on an earlier summary, the goal is the one it holds: the first message
        # here is one more message, a goal only when it asks for something.
        self.continues = bool(earlier.get("goals"))
        self.goals, self.rules = Kept(carry.LIMITS["goals"]), Kept(carry.LIMITS["goals"])
        self.decisions = Kept(carry.LIMITS["key_decisions"])
        self.facts = Kept(carry.LIMITS["key_facts"])
        self.blockers = Kept(carry.LIMITS["blockers"])
        # where a blocker is a hook's complaint, which the run's next steps may satisfy:
        # not a step's outcome, nor what the user or the agent says stops the work
        self.worded_at: set[int] = set()
        self.user_blocked_at: set[int] = set()  # blockers in the user's turn
        self.agent_blocked_at: set[int] = set()  # blockers in the agent's own words
        self.refused_at: tuple[int, str] | None = None  # the newest edit not applied  # blockers in the user's turn
        self.requested_at: list[int] = []  # the user's later requests
        self.changes = Kept(carry.LIMITS["progress"])
        self.edits: dict[str, tuple[int, list[str]]] = {}  # tool -> (where last, files)
        self.diffed: tuple[int, list[str]] | None = None  # files a shown diff changes
        self.removed: tuple[int, list[str]] | None = None
        self.pending: list[_Call] = []  # calls of this round not answered yet, oldest first
        self.unanswered: list[_Call] = []  # calls of earlier rounds whose result was lost
        self.answering = False  # results have come since the round's last call
        self.answered: list[tuple[_Call | None, int, int, str]] = []
        self.commenting: list[_Call] = []  # answered calls the assistant has not spoken of
        self.reads: Counter[tuple[str, str]] = Counter()
        self.runs: Counter[str] = Counter()  # runs of each check
        self.changed_at: dict[str, int] = {}  # file name -> where it was last changed
        self.created: set[str] = set()  # files the run made anew
        self.first_fix = -1  # where a file the run did not make was first changed
        self.question = ""  # the assistant's question the next user message answers
        self.heard: set[str] = set()  # the user messages so far
        # the context the user messages before the request hold: (where, its text)
        self.framing: list[tuple[int, str]] = []
        self.harness_at = -1  # where the last message a harness wrote is
        self.acting: _Call | None = None  # a command in the agent's text, awaiting output
        self.text_edit: _Call | None = None  # edits in the agent's text, before an answer
        self.replied = -1  # where the assistant message just read is
        self.last_read_at = 0
        self.last_step_at = -1  # the newest call that is more than a look around
        self.kind = self.label = self.body = ""
        self.last_at = -1
        self.opening_worked = False  # the first message here says the last run went well

    # -- the messages, in order ------------------------------------------------------

    def read(self, start: int) -> None:
        text = self.text
        for match, end in spans(text, start):
            kind, label = heading(match)
            body = text[match.end():end]
            self.kind, self.label, self.body = kind, label, body
            self.last_at = match.start()
            replied, self.replied = self.replied, match.start() if kind == "assistant" else -1
            if kind == "user":
                if replied >= 0 and EDIT_WORD.search(body[:200]) and steps.edit_refused(body):
                    # the harness took no edit of the reply: open until an edit goes in
                    line = next(line.strip() for line in body.split("\n") if line.strip())
                    self.refused_at = (match.start(),
                                       clip(f"{carry.NOT_APPLIED_PREFIX}{line}", 200))
                if self.text_edit is not None:
                    self.refused_edit(self.text_edit, body)
                if replied >= 0:
                    self.applied(body, replied)
                if self.acting is not None:
                    self.kind = "result"
                    self.result(self.acting, match.end(), end, "output")
                    self.acting = None
                    continue
                pasted = steps.console(body) if body[:1] in "$>RrEeOo" else None
                if pasted is not None:  # a tool's console text, pasted back
                    self.kind = "result"
                    self.result(self.call("bash", "", match.start(), pasted[0]),
                                match.end() + pasted[1], end, "output")
                    continue
                self.user(body, match.start())
            elif kind == "assistant":
                self.acting = self.text_edit = None
                runs = steps.console_runs(body)
                said = body
                for _, begin, finish in reversed(runs):  # what a terminal printed is no word
                    said = said[:begin] + said[finish:]  # of the agent's
                self.assistant(said, match.start(), shown_run=bool(runs))
                for command, begin, finish in runs:
                    ran = self.call("bash", "", match.end() + begin, command)
                    self.result(ran, match.end() + begin, match.end() + finish, "output")
            elif kind == "call":
                self.acting = self.text_edit = None
                if self.answering:  # a new round of calls: an older call still waiting
                    self.answering = False  # lost its result, and answers nothing now
                    self.unanswered += self.pending
                    self.pending = []
                self.call(label, body, match.start())
            else:
                self.answering = True
                caller = self.answered_by(body)
                self.result(caller, match.end(), end, label)

    def user(self, body: str, where: int) -> None:
        self.users += 1
        framed = frame(body.strip())
        stripped = framed.task.strip()
        is_goal = self.first_goal is None and not self.continues
        if not stripped:
            if framed.context:
                # the agent's context alone (its environment, the project's instructions,
                # a reminder): no request, and no answer to a question
                self.harness_at = where
                if is_goal:
                    self.framing.append((where, framed.context))
            return
        asked, self.question = self.question, ""
        if asked:
            # an answer means what it answers: "yes" to "Shall I book BA304?"
            self.facts.add(where, clip(f"{carry.ASKED_PREFIX}{asked} User: {stripped}", 240),
                           3)
        if FILLER.fullmatch(stripped):
            return  # "thanks, keep going" asks for nothing new
        if stripped in self.heard or harness(stripped) or console(stripped):
            self.harness_at = where  # said again, or the harness's own words: no request
            return
        self.heard.add(stripped)
        task = stripped
        if is_goal and PASTED_FIRST.match(task):
            # what the user pasted comes first: the request it is pasted for leads the goal
            quoted = own_words(task)
            task = f"{quoted.strip()}\n{task}" if quoted.strip() else task
        if is_goal and DEMONSTRATION.search(task.strip()[:300]):
            return  # how another task was done: the task comes next
        if is_goal:
            framing, self.framing = self.framing, []
            if not framed.own:
                # a task a harness wrote, all in its tags: the rules it sets in tags of
                # their own are the task's; the frame of a request in the user's own words
                # is context
                framing.append((where, framed.context))
                for at, context in framing:
                    for sentence in sentences(own_words(context)):
                        if is_rule(sentence):
                            self.rules.add(at, carry.CONSTRAINT_PREFIX +
                                           clip(unlabel(sentence), 200))
        # what it says outside what it quotes, where a rule or a blocker may be
        has_rule, blocked = RULE.search(stripped), BLOCKED.search(stripped)
        own = own_words(stripped) if has_rule or blocked else stripped
        task_sentences = sentences(task.strip())
        if not has_rule:
            said_rules = []
        elif is_goal or len(stripped) > WHOLE_RULE:
            said_rules = [unlabel(s) for s in sentences(own) if is_rule(s)]
        else:
            # a short message that sets a rule is kept whole: its object may be in the
            # sentence after the rule's words
            said_rules = [unlabel(stripped)] if is_rule(own) else []
        for sentence in said_rules:
            self.rules.add(where, carry.CONSTRAINT_PREFIX + clip(sentence, 200))
        if is_goal:
            rules = set(said_rules)
            rest = " ".join(unlabel(s) for s in task_sentences if unlabel(s) not in rules)
            self.first_goal = request(rest or task.strip())
            # "hi, got a task for you": a greeting, or a few words that ask nothing
            self.preamble = len(self.first_goal) < PREAMBLE and not said_rules and (
                GREETING.match(stripped)
                or (len(self.first_goal.split()) <= 6 and not ASKS.search(stripped)))
        elif self.preamble and not said_rules:
            # "hi, got a task for you" first: the request that follows is the goal too
            self.first_goal = request(f"{self.first_goal} {stripped}")
            self.preamble = False
        elif not said_rules and asking(stripped) and not asked:
            self.goals.add(where, request(stripped))
            self.requested_at.append(where)
        elif not said_rules and not asked and not blocked:
            for fact in user_facts(stripped):
                self.facts.add(where, clip(carry.USER_PREFIX + fact, 240), 3)
        if blocked and not said_rules and not is_goal and not asking(stripped) and \
                (own is stripped or BLOCKED.search(own)):
            self.blockers.add(where, clip(stripped, 200))  # the task itself is no blocker
            self.user_blocked_at.add(where)
            if HOOK.search(stripped[:200]):
                self.worded_at.add(where)  # a hook's complaint: the run may satisfy it

    def assistant(self, body: str, where: int, shown_run: bool = False) -> None:
        self.said += 1
        if "<" in body and _THINKING.search(body) is not None:
            # the model's thinking in its own tags (`<think>`, `<thinking-...>`): what
            # it weighs, not what it says or does
            body = _THINKING.sub("", body).strip()
        written = body  # where the steps it writes in its text are read
        if "[thinking]" in body or "[reasoning]" in body:
            musing = _MUSING_MARK.search(body)
            if musing is not None:
                # the model's thinking is not what it says, and nothing marks where it
                # ends: what follows its mark is no decision, fact or state; the steps
                # written after its first paragraph are read still
                written = _MUSING.sub("", body).strip()
                body = body[:musing.start()].strip()
            if not body:
                if written:
                    self.steps_written(written, where)
                return
        if self.said == 1 and not self.calls and not self.results:
            self.opening_worked = _reported_working(body)
        self.last_said, self.last_said_at = body, where
        if self.commenting:
            after = body[:400]
            for call in self.commenting:
                call.after = after
            self.commenting = []
        # a sentence holds a plan's words only if the message does
        planned = sentences(body) if PLAN.search(body) else []
        chosen = [sentence for sentence in planned if PLAN.search(sentence)]
        for sentence in chosen:
            self.decisions.add(where, clip(sentence, 200))
        if STOPPED.search(body) and _stopped(body):
            # a choice made is not what stops the work ("Plan: wrap the writes in a
            # transaction so a crash can't leave half a file"); a next step may be
            decided = [s for s in chosen if carry.DECIDED.search(s)]
            if not decided:
                self.blockers.add(where, clip(body, 200))
                self.agent_blocked_at.add(where)
            else:
                rest = " ".join(s for s in planned if s not in decided)
                if STOPPED.search(rest):
                    self.blockers.add(where, clip(rest, 200))
                    self.agent_blocked_at.add(where)
        self.question = question(body)
        self.steps_written(written, where, shown_run)

    def steps_written(self, body: str, where: int, shown_run: bool = False) -> None:
        """Reads the command or the edits an assistant message writes in its text (a
        message that shows its runs with their output waits for no answer)."""
        command = None if shown_run else steps.text_action(body) if "```" in body \
            else steps.xml_command(body)
        if command is not None:
            self.acting = self.call("bash", "", where, command)
        edited = steps.text_edits(body) if ("<<<<<<<" in body or "```" in body
                                            or "</" in body) else ()
        if edited:
            # edits written in the text stand unless the answer says they did not apply
            call = _Call(_TEXT_EDIT, "", where)
            call.changed = tuple(edited)
            self.changes_of(call)
            self.text_edit = call

    def applied(self, answer: str, where: int) -> None:
        """Counts the files that the answer to the reply at ``where`` says its edits were
        applied to ("Applied edit to x.py"), whatever shape the reply wrote them in."""
        files = steps.applied_edits(answer)
        if files:
            call = _Call(_TEXT_EDIT, "", where)
            call.changed = files
            self.changes_of(call)

    def refused_edit(self, call: _Call, answer: str) -> None:
        """Takes back the edits of ``call`` when ``answer`` says they did not apply."""
        self.text_edit = None
        if not steps.edit_refused(answer):
            return
        files = self.edits.get(call.name, (call.where, []))[1]
        for path in call.changed:
            if clip(path, _PATH_SHOWN) in files:
                files.remove(clip(path, _PATH_SHOWN))
            self.changed_at.pop(path.rsplit("/", 1)[-1], None)
        if not files:
            self.edits.pop(call.name, None)

    def answered_by(self, output: str) -> _Call | None:
        """The call of this round a result answers: in order, unless its first lines name
        the file of exactly one other waiting call (a result lost before it)."""
        if not self.pending:
            return None
        if len(self.pending) > 1:
            head = output[:300]
            naming = [c for c in self.pending if c.act.edits and
                      any(path in head for path in c.act.edits)]
            if len(naming) == 1:
                self.pending.remove(naming[0])
                return naming[0]
        return self.pending.pop(0)

    def call(self, label: str, body: str, where: int, line: str | None = None) -> _Call:
        self.calls += 1
        self.question = ""
        call = _Call(label, body, where, line)
        if line is None:
            self.pending.append(call)
        if call.act.kind == steps.READ:
            row = tools.lookup(label) if line is None else None
            if row is None or row.kind in _LOOKS:
                self.last_read_at = where
                self.reads[call.name if call.line is None else call.command.program,
                           _folder(call)] += 1
            return call
        self.last_step_at = where
        if call.line is not None and call.runs and evidence.is_check(call.command):
            self.runs[call.shown()] += 1
        return call

    def result(self, caller: _Call | None, start: int, end: int, label: str) -> None:
        self.results += 1
        self.answered.append((caller, start, end, label))
        if caller is None:
            return
        self.commenting.append(caller)
        if caller.reads and caller.act.kind != steps.SUBMIT and caller.line is None:
            caller.span = (start, end)  # a read tool's output: nothing more to know now
            return
        output = self.text[start:end]
        caller.answer(output, self.text, start)
        if caller.act.kind == steps.SUBMIT or (caller.reads and caller.line is not None):
            shown = steps.diff_files(output)
            if shown:
                self.diffed = (caller.where, list(shown))
        if caller.act.removed and not caller.refused and \
                caller.outcome(self.text) != evidence.FAILED:
            where, files = self.removed or (caller.where, [])
            self.removed = (caller.where, files + [f for f in caller.act.removed
                                                   if f not in files])
        if caller.changed:
            self.changes_of(caller)
        elif caller.world and caller.outcome(self.text) != evidence.FAILED and \
                not steps.no_op(output):
            self.changes.add(caller.where, _change_item(caller, output), 3)

    def changes_of(self, caller: _Call) -> None:
        """Counts the files ``caller`` changed: where each was last changed, the first fix
        of a file the run did not make, and the files of each tool (or patch command)."""
        for path in caller.changed:
            self.changed_at[path.rsplit("/", 1)[-1]] = caller.where
            if path in caller.act.created:
                self.created.add(path)
            elif self.first_fix < 0 and path not in self.created:
                self.first_fix = caller.where
        # a patch applied from a file names the files it changed only in its output: the
        # command that applied it goes with them
        by = caller.shown() if caller.act.patch and caller.line is not None and \
            not caller.act.edits else caller.name
        files = self.edits.setdefault(by, (caller.where, []))[1]
        self.edits[by] = (caller.where, files)
        for path in caller.changed:
            target = clip(path, _PATH_SHOWN)
            if target not in files:
                files.append(target)

    # -- the steps, newest first ---------------------------------------------------------

    def outcomes(self) -> "Outcomes":
        """Tool outputs newest first: the latest evidence decides, a later run of the same
        check with no evidence of failure settles the older failures, and a fix followed
        by a passing run gets past a failure that is not run again."""
        found = Outcomes()
        passed_later = fixed_later = False
        newest: dict[evidence.Command, str | None] = {}  # key -> its newest run's result
        for index in range(len(self.answered) - 1, -1, -1):
            made, begin, finish, label = self.answered[index]
            if self.facts.full() and (self.blockers.full() or fixed_later):
                break  # nothing older can enter: a failure before a fix and a pass is past
            output = _unquote_output(self.text[begin:finish])
            if made is not None and made.changed:
                newest.setdefault(made.key(), None)
            if made is not None and made.changed and passed_later and any(
                    path not in self.created for path in made.changed):
                fixed_later = True
            result = made.outcome(self.text, output) if made is not None else \
                evidence.outcome(output)
            if result == evidence.FAILED and made is not None and _reported_working(made.after):
                # the assistant read the failure as the outcome it wanted: said as its word
                said = carry.REPRODUCED_PREFIX if REPRODUCED.search(made.after[:200]) \
                    else carry.EXPECTED_PREFIX
                self.facts.add(made.where, clip(
                    f"{said}`{made.shown()}` failed: {evidence.quote(output)}", 260), 2)
                result = None
            if result is not None:
                shown = made.shown() if made is not None else label
                where = made.where if made is not None else begin
                command = made.key() if made is not None else evidence.Command("", frozenset())
            if result == evidence.PASSED or (made is not None and made.runs and
                                              result is None):
                if made is not None:
                    found.passes.setdefault(made.key().program, []).append(made.key())
                    newest.setdefault(made.key(), result)
            if result == evidence.PASSED:
                self._passed(found, made, output, shown, where, command)
            elif result is None and made is not None and made.runs:
                self._quiet(found, made, output)
            elif result == evidence.FAILED:
                self._failed(found, made, output, shown, where, command, newest,
                             passed_later, fixed_later)
                if made is not None:
                    newest.setdefault(command, result)
            if result != evidence.FAILED and made is not None and made.runs:
                passed_later = True
                if made.changed and any(p not in self.created for p in made.changed):
                    fixed_later = True
            self._facts(made, output, result, begin)
        found.fixed, found.passed_any = fixed_later, passed_later
        return found

    def _passed(self, found: "Outcomes", made: _Call | None, output: str, shown: str,
                where: int, command: evidence.Command) -> None:
        if made is not None and evidence.is_check(made.command):
            found.newest_pass = max(found.newest_pass, where)
            if shown not in found.checks:
                line = _pass_line(output)
                found.checks[shown] = (where, clip(f"`{shown}` passed" +
                                                    (f": {line}" if line else ""), 200))
        if found.latest is None:
            line = _pass_line(output)
            found.latest = (where, shown, "passed" + (f": {line}" if line else ""))

    def _quiet(self, found: "Outcomes", made: _Call, output: str) -> None:
        """A run that shows no failure and no pass: said as it is."""
        last = next((line.strip() for line in reversed(output.split("\n"))
                     if line.strip() and not RAW.search(line.strip())
                     and not steps.PRINTED.match(line) and not evidence.failure_line(line)), "")
        outcome = _QUIET + (f": {clip(last, 120)}" if last else "")
        shown = made.shown()
        if evidence.is_check(made.command) and shown not in found.quiet:
            # in the progress only when it settles an older failure of the check
            found.quiet[shown] = (made.where, clip(f"`{shown}` {outcome}", 200))
        if found.latest is None:
            found.latest = (made.where, shown, outcome)

    def _failed(self, found: "Outcomes", made: _Call | None, output: str, shown: str,
                where: int, command: evidence.Command,
                newest: dict[evidence.Command, str | None], passed_later: bool,
                fixed_later: bool) -> None:
        said_line = evidence.quote(output)
        # a program or module that is not there: the check never started, it did not fail
        verb = carry.NOT_RUN if MISSING.search(said_line) else evidence.FAILED
        item = clip(f"`{shown}` {verb}: {said_line}", 260)
        earlier_passes = found.passes.get(command.program, ())
        named_tests = evidence.failed_tests(output) if earlier_passes else frozenset()
        rerun = command in newest or any(evidence.covers(p, command, named_tests)
                                         for p in earlier_passes)
        if made is not None and command in newest and newest[command] == evidence.FAILED:
            return  # an older failure of a check that still fails: the newer one says it
        settled = rerun and newest.get(command, evidence.PASSED) != evidence.FAILED
        if not settled and found.newest_pass > where:
            settled = any(self.changed_at.get(path.rsplit("/", 1)[-1], -1) > where
                          for path in evidence.paths_in(said_line))
        # a check that found nothing to run: no fix of the code makes it test anything,
        # only a run of it that passes settles it
        untested = evidence.ran_no_tests(output)
        if settled:
            self.facts.add(where, carry.RESOLVED_PREFIX + item, 2)
        elif passed_later and MISSING.search(said_line):
            self.facts.add(where, carry.RESOLVED_PREFIX + item, 2)  # worked around
        elif untested:
            self.blockers.add(where, item, 3)
            if found.latest is None:
                found.last_failure = item
        elif made is not None and made.runs and 0 <= self.first_fix and where < self.first_fix:
            self.facts.add(where, carry.REPRODUCED_PREFIX + item, 2)
        elif fixed_later:
            self.facts.add(where, carry.RESOLVED_PREFIX + item, 2)
        else:
            self.blockers.add(where, item, 3)
            if found.latest is None:
                found.last_failure = item
        if made is not None and evidence.is_check(made.command) and shown not in found.checks:
            found.checks[shown] = found.quiet.get(shown, (where, item))
        if found.latest is None:
            found.latest = (where, shown, f"{verb}: {said_line}")

    def _facts(self, made: _Call | None, output: str, result: str | None, begin: int) -> None:
        if result == evidence.FAILED or (made is not None and (made.changed or made.world)):
            return  # what a change answered is in the progress
        if made is not None and (made.act.kind == steps.SUBMIT or _shows_source(made)
                                 or _lists(made)):
            return
        if "</" in output:
            output = without_note(output)
        # a value an output shows is told with the command that showed it
        if made is None or not made.reads:
            lines, rank = _salient_lines(output, not self.facts.full()), None
        else:
            lines, rank = (_salient_lines(output)[-1:] if not self.facts.full() else []), 1
        for line in lines:
            source = f"`{clip(made.shown(), 60)}`: " if made is not None else ""
            self.facts.add(begin, clip(source + line, 200), rank)


class Outcomes:
    """What the steps, read newest first, settled."""

    def __init__(self) -> None:
        self.passes: dict[str, list[evidence.Command]] = {}
        self.newest_pass = -1  # where the newest passing check is
        self.checks: dict[str, tuple[int, str]] = {}  # shown -> (where, item): the latest
        self.quiet: dict[str, tuple[int, str]] = {}  # the same, of runs that showed nothing
        self.latest: tuple[int, str, str] | None = None  # (where, shown, outcome item)
        self.last_failure = ""
        self.fixed = False  # a fix followed by a passing run in this part
        self.passed_any = False  # a run with no evidence of failure in this part


# What a blocker in words says cannot be done, and the prefixes of the progress items that
# show it done later (a push shows its commits made).
_DONE_LATER = ((Blind(r"\bcommit"), (carry.COMMITTED_PREFIX, carry.PUSHED_PREFIX)),
               (Blind(r"\bpush"), (carry.PUSHED_PREFIX,)),
               (Blind(r"\binstall"), (carry.INSTALLED_PREFIX,)))


def open_blockers(walk: Walk, found: Outcomes) -> list[str]:
    """The blockers still open at the end: a hook's complaint counts only when the run did
    not go on past it with a change, a passing check or more steps of its own, and what
    the agent said stopped it only when no change or passing check came after; words that
    say a commit, a push or an install cannot be done count only until one is done."""
    went_on = max([found.newest_pass, walk.last_step_at,
                   *(where for _, where, _ in walk.changes.found)])
    done = {prefixes: max((where for _, where, item in walk.changes.found
                           if item.startswith(prefixes)), default=-1)
            for _, prefixes in _DONE_LATER}

    changed = [where for _, where, _ in walk.changes.found]

    def settled(where: int, item: str) -> bool:
        if where in walk.worded_at and where < went_on:
            return True
        if where in walk.agent_blocked_at and (found.newest_pass > where or any(
                at >= where for at in changed)) and not any(
                words.search(item) for words, _ in _DONE_LATER):
            # the agent said it could not go on, and went on: it changed the work, or a
            # check passed, since
            return True
        if where in walk.user_blocked_at:
            # the user went on to ask for more, and the agent did it: what the user said
            # stood in the way no longer does
            asked = next((at for at in walk.requested_at if at > where), None)
            if asked is not None and any(at > asked for at in changed):
                return True
        return not carry.FAILED_ITEM.match(item) and any(
            words.search(item) and done[prefixes] > where for words, prefixes in _DONE_LATER)

    still = []
    for entry in walk.blockers.found:
        if not settled(entry[1], entry[2]):
            still.append(entry)
        elif not carry.FAILED_ITEM.match(entry[2]):
            # what was said to stop the work stays known, as no blocker
            walk.facts.add(entry[1], carry.WENT_ON_PREFIX + entry[2], 2)
    walk.blockers.found = still
    if walk.refused_at is not None and not any(at > walk.refused_at[0] for at in changed):
        walk.blockers.add(*walk.refused_at, 3)  # the last edit the run tried did not go in
    return walk.blockers.result()


RESOLVE_STEP = "Resolve the failure of "


_PASS_LINE = re.compile(
    r"(?i)\b\d+ (?:tests? )?passed\b|\btest result: ok\b|\bok\b|\bpassed\b|\bsuccess|"
    r"\b0 (?:failed|errors?|failures?|problems?|vulnerabilities)\b|\bno (?:errors?|issues?|"
    r"problems?)\b|\bfailures=0\b|\ball (?:checks|tests) passed\b|\bPASS\b|\bHTTP/")


def _pass_line(output: str) -> str:
    """The line of a passing output that says so (the last such line), shortened."""
    lines = [line.strip() for line in output.split("\n") if line.strip()]
    for line in reversed(lines):
        if _PASS_LINE.search(line):
            return clip(line, 120)
    return ""


def settle(earlier: dict[str, Any], walk: Walk, found: Outcomes) -> dict[str, Any]:
    """The earlier summary with its blockers that this part of the conversation settled
    moved to its facts, marked resolved, and its check outcomes that a newer run of the
    same check replaces left out. A carried failure is settled as one found here would be:
    by a run of the same check with no evidence of failure, by a fix followed by a passing
    run, a missing program by any passing run, and the newest by the assistant opening
    this part with the outcome it wanted."""
    old_blockers = earlier.get("blockers")
    if not isinstance(old_blockers, list):
        return earlier
    settled_now = dict(earlier)
    kept, resolved = [], []
    newest = max((i for i, item in enumerate(old_blockers)
                  if carry.FAILED_ITEM.match(str(item))), default=-1)
    done = {prefixes for _, prefixes in _DONE_LATER
            if any(item.startswith(prefixes) for _, _, item in walk.changes.found)}
    for index, item in enumerate(old_blockers):
        failed = carry.FAILED_ITEM.match(str(item))
        if failed is None:
            edited = bool(walk.edits) or any(found_item.startswith(carry.CHANGED_PREFIX)
                                             for _, _, found_item in walk.changes.found)
            worded = [prefixes for words, prefixes in _DONE_LATER if words.search(str(item))]
            refused = str(item).startswith(carry.NOT_APPLIED_PREFIX)
            if not worded and (edited or (found.newest_pass >= 0 and not refused)):
                # words that the work could not go on, and the work went on since: an edit
                # went in, or (but for a refused edit) a check passed
                if not refused:
                    resolved.append(carry.WENT_ON_PREFIX + str(item))
                continue
            # words that said a commit, a push or an install could not be done: done now
            if not any(prefixes in done for prefixes in worded):
                kept.append(item)
            continue
        shown, quote = failed.group("shown"), failed.group("quote")
        command = steps.check_key(evidence.command_of(shown))
        named = evidence.failed_tests(quote)
        edited = steps.shell_action(shown).kind == steps.EDIT or "*** " in shown
        # a check that found nothing to run is settled only by a run of it that passes
        settled = not evidence.ran_no_tests(quote) and (
            found.fixed or (found.passed_any and bool(MISSING.search(quote))) or (
            index == newest and walk.opening_worked) or (edited and any(
                path.rsplit("/", 1)[-1] in walk.changed_at
                for path in evidence.paths_in(shown))) or any(
            found.newest_pass > walk.changed_at.get(path.rsplit("/", 1)[-1],
                                                    found.newest_pass)
            for path in evidence.paths_in(quote)))
        if settled or any(evidence.covers(p, command, named)
                          for p in found.passes.get(command.program, ())):
            resolved.append(carry.RESOLVED_PREFIX + str(item))
        else:
            kept.append(item)
    settled_now["blockers"] = kept
    to_do = earlier.get("next_steps")
    if isinstance(to_do, list):
        # a step to resolve a failure goes with the failure
        open_now = {str(item) for item in kept}
        settled_now["next_steps"] = [
            step for step in to_do if not str(step).startswith(RESOLVE_STEP)
            or any(str(step)[len(RESOLVE_STEP):].split(":")[0] in b for b in open_now)]
    if resolved:
        settled_now["key_facts"] = list(earlier.get("key_facts") or []) + resolved
    progress = earlier.get("progress")
    if isinstance(progress, list) and found.checks:
        newer = set(found.checks)
        settled_now["progress"] = [
            p for p in progress
            if not ((m := CHECK_ITEM.match(str(p))) and m.group("shown") in newer)]
    return settled_now
