"""An offline, model-free client: builds the summary JSON from the transcript in the request.

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

import bisect
import json
import os
import re
from collections import Counter
from collections.abc import Iterator, Mapping
from typing import Any, NamedTuple

from ..session import evidence, steps, tools
from .. import carry
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


_PLEASE = _Blind(r"\b(?:please|can you|could you|would you|i need you to|i want you to)\b")
_SENTENCE_END = re.compile(r"[.!?](?=\s|$)")


def _request(text: str, limit: int = _MAX_ITEM) -> str:
    """A request as the user said it: whole up to the end of the sentence that runs past
    ``limit`` (its verb may come late), and never more than twice as long."""
    text = " ".join(text.split())
    if len(text) <= limit:
        return text
    end = _SENTENCE_END.search(text, limit - 1)
    kept = text[:end.end()] if end is not None and end.end() <= 2 * limit else \
        _clip(text, 2 * limit)
    asking = [s for s in _sentences(text[len(kept):]) if _ASKS.search(s.strip()) or
              _PLEASE.search(s)]
    if asking:  # the request comes after what it explains: it stays, with the start
        asked = _clip(asking[-1], limit)
        kept = _clip(kept, max(2 * limit - len(asked) - 1, limit // 2))
        return f"{kept.removesuffix('...')}... {asked}"
    return kept


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

# What a user message quotes rather than says: code blocks, tagged blocks that hold a
# report, an example or a log, a section headed as the text, quoted lines. A rule
# is read only outside them.
_QUOTED_TAGS = (r"description|issue|report|problem|bug|ticket|example|demonstration|log|output|"
                r"traceback|code|snippet|quote|uploaded_files|document|response")
_QUOTED = re.compile(
    r"```.*?(?:```|\Z)"
    r"|<(?P<tag>[\w-]*(?:" + _QUOTED_TAGS + r")[\w-]*)>"
    r".*?</(?P=tag)>"
    r"|^(?:ISSUE|ISSUE TEXT|BUG REPORT|PROBLEM STATEMENT|PR DESCRIPTION|BUG)[ \t]*:[ \t]*\n"
    r".*?(?=^[A-Z][A-Z _-]{3,}:[ \t]*$|\Z)"
    r"|^[^\n]*\b(?:here is|here's|below is|the following is|this is) (?:the|a|an|our|my) "
    r"(?:bug report|issue|report|error|log|traceback|stack trace|ticket|description|"
    r"problem statement|output)\b[^\n]*:[ \t]*\n.*?(?=\n[ \t]*\n[ \t]*(?:please|do not|"
    r"don't|never|you|keep|make sure|also|note|only)\b|^[A-Z][A-Z _-]{3,}:[ \t]*$|\Z)"
    r"|^>.*?$|\"[^\"\n]{12,}\"|\u201c[^\u201d\n]{12,}\u201d"
    r"|^Traceback \(most recent call last\):[ \t]*\n(?:[ \t]+[^\n]*\n)*[^\n]*$",
    re.DOTALL | re.MULTILINE | re.IGNORECASE)
_QUOTE_HINTS = ("```", "<", "\n>", "ISSUE", "BUG", "PROBLEM", "PR DESCRIPTION", "ere is",
                "ere's", "elow is", "ollowing is", "his is", '"', "\u201c", "Traceback")
_PASTED_FIRST = re.compile(r"\s*(?:```|Traceback \(most recent call last\)|\$ |>)")


def _said(text: str) -> str:
    """A user message without what it quotes (`_QUOTED`)."""
    if text.startswith(">") or steps.holds_any(text, _QUOTE_HINTS):
        return _QUOTED.sub("\n", text)
    return text


# A block wrapped in a tag of its own: the tag opens a line and its closing tag ends one.
# Agents wrap what frames the task in such blocks: the environment, the project's
# instructions, reminders, the tools and agents at hand, the budget left.
_BLOCK_OPEN = re.compile(r"^[ \t]*<(?P<tag>[A-Za-z][\w-]*)(?:[ \t][^>\n]*)?>", re.MULTILINE)
# The markup of the text itself (HTML in an issue pasted from the web): no block of its own.
_MARKUP = frozenset("a abbr b blockquote br code details div em h1 h2 h3 h4 h5 h6 hr i img "
                    "kbd li ol p pre s small span strong sub summary sup table tbody td th "
                    "thead tr u ul".split())
# What a user hands over in a tag as the task's material, not its frame.
_MATERIAL_TAG = re.compile(_QUOTED_TAGS, re.IGNORECASE)
_BLOCK_CLOSE = re.compile(r"</([A-Za-z][\w-]*)>[ \t]*$", re.MULTILINE)
# A line that introduces an instructions file's contents: "Contents of /r/CLAUDE.md
# (project instructions, ...):", "# AGENTS.md instructions for /r".
_INSTRUCTION_FILE = re.compile(
    r"^[^\w\n]*(?:contents of[ \t]+(?P<path>\S+?)(?P<rest>[ \t]*\([^)\n]*\))?"
    r"|\S+\.(?:md|mdc|txt)[ \t]+(?:instructions|rules|guidelines)[ \t]+(?:for|from|in)[ \t]+"
    r"\S+)[ \t]*:?[ \t]*$", re.IGNORECASE | re.MULTILINE)
_INSTRUCTING = re.compile(r"instruction|rules|guideline|agent|memory", re.IGNORECASE)


# Tags a harness wraps the user's own words in: what they hold is the request itself.
_REQUEST_TAG = re.compile(r"</?(?:task|user_?request|user_?query|user_?message|user_?input|"
                          r"user_?prompt|feedback|answer)>[ \t]*\n?", re.IGNORECASE)


class _Framed(NamedTuple):
    """A user message read apart from what frames it."""

    task: str  # the message without its context
    context: str  # the context: its tagged blocks and instructions files
    own: bool  # the user wrote words of their own, outside every tagged block


def _blocks(text: str) -> list[tuple[int, int, str]]:
    """The outermost tagged blocks of ``text``: (start, end, tag), in order."""
    closings: dict[str, list[int]] = {}  # tag -> where its closing tags that end a line end
    for closed in _BLOCK_CLOSE.finditer(text):
        closings.setdefault(closed.group(1), []).append(closed.end(1) + 1)
    found: list[tuple[int, int, str]] = []
    at = 0
    while True:
        opened = _BLOCK_OPEN.search(text, at)
        if opened is None:
            return found
        tag = opened.group("tag")
        at = opened.end()
        ends = closings.get(tag)
        if not ends or tag.lower() in _MARKUP:
            continue
        index = bisect.bisect_right(ends, at)
        if index < len(ends):
            found.append((opened.start(), ends[index], tag))
            at = ends[index]


def _introduced(text: str, start: int) -> bool:
    """The text before ``start`` introduces what follows: it ends with a colon."""
    while start > 0 and text[start - 1].isspace():
        start -= 1
    return text[start - 1:start] == ":"


def _instructions_file(found: re.Match[str]) -> bool:
    """The line ``found`` introduces the contents of a file of instructions to agents."""
    path = found.group("path")
    return path is None or bool(_INSTRUCTING.search(path.rsplit("/", 1)[-1]) or
                                _INSTRUCTING.search(found.group("rest") or ""))


# The opening of a summary of the conversation's earlier part, handed to the agent when its
# context ran out or a session was resumed.
_CONTINUED = _Blind(
    r"\W*(?:this (?:session|conversation|chat|thread) (?:is being|was|is|has been) continued "
    r"from|continuing (?:from )?(?:a |the |our )?(?:previous|earlier|prior) (?:conversation|"
    r"session)|(?:here is |here's |below is )?(?:a |the )?summary of (?:the |our |this )?"
    r"(?:earlier |previous |prior )?(?:conversation|session|chat) so far\b)")


def _frame(text: str) -> _Framed:
    """``text`` apart from its context: the blocks in tags of their own (a block the user
    hands over as material stays: a tag that names a report, an example, a log, or that the
    text introduces with a colon or names), and an instructions file's contents (to the end
    of the block that follows its line, else to the end of the message)."""
    if _CONTINUED.match(text[:200]):
        return _Framed("", text, False)  # an earlier part's summary, handed on: context
    if "</" in text and _REQUEST_TAG.search(text):
        text = _REQUEST_TAG.sub("", text)  # the user's own words, in a harness's wrapping
    names_file = "ontents of" in text or ".md" in text
    if "</" not in text and not names_file:
        return _Framed(text, "", bool(text.strip()))
    blocks = _blocks(text) if "</" in text else []
    files = [m for m in _INSTRUCTION_FILE.finditer(text) if _instructions_file(m)] \
        if names_file else []
    spans: list[tuple[int, int]] = []  # the context
    for found in files:
        start = found.start()
        if any(s <= start < e for s, e, _ in blocks) or (spans and start < spans[-1][1]):
            continue  # within a block: that block is the context
        end = len(text)
        after = next((b for b in blocks if b[0] >= found.end()), None)
        if after is not None and not text[found.end():after[0]].strip():
            end = after[1]  # the file's contents are in the block that follows
        spans.append((start, end))
    unsaid = list(spans)  # the context and the material: the user's words are around them
    blocks = [b for b in blocks if not any(s <= b[0] < e for s, e in spans)]
    unsaid += [(start, end) for start, end, _ in blocks]
    words = _cut(text, unsaid)  # the user's own words
    named = {tag: f"<{tag}>" in words for tag in {b[2] for b in blocks}}
    for start, end, tag in blocks:
        if not (named[tag] or _MATERIAL_TAG.search(tag) or _introduced(text, start)):
            spans.append((start, end))
    if not spans:
        return _Framed(text, "", bool(words.strip()))
    return _Framed(_cut(text, spans), "\n".join(text[s:e] for s, e in sorted(spans)),
                   bool(words.strip()))


def _without_note(output: str) -> str:
    """A tool's output without the note its harness ends it with, in a tag of its own
    (``<system-reminder>``, ``<token_budget>``): no fact of the work."""
    end = len(output.rstrip())
    blocks = [b for b in _blocks(output) if b[1] >= end]
    if not blocks:
        return output
    start, _, tag = blocks[-1]
    if ("-" in tag or "_" in tag) and not _MATERIAL_TAG.search(tag) and output[:start].strip():
        return output[:start]
    return output


def _cut(text: str, spans: list[tuple[int, int]]) -> str:
    """``text`` without the (non-overlapping) ``spans``, each left as a line break."""
    out, at = [], 0
    for start, end in sorted(spans):
        out.append(text[at:start])
        at = end
    out.append(text[at:])
    return "\n".join(out)


# A harness writing in the user role: a complaint about the reply's form, a step counter.
_HARNESS = _Blind(
    r"\bno (?:tool|function) calls?\b|\b(?:tool|function) calls? (?:was |were )?(?:not "
    r"found|missing)|\b(?:your|the) (?:last |previous )?(?:response|reply|output|message) "
    r"(?:must|should|did not|didn't|does not|doesn't|was not|has no|contained no|is "
    r"missing|could not be parsed)|\b(?:every|each) (?:response|reply|message|turn) "
    r"(?:must|should)|\b\d+ (?:steps?|turns?|calls?|actions?) (?:left|remaining)\b|"
    r"\b(?:steps?|turns?) (?:left|remaining)\s*:|\binvalid (?:format|response|action|tool "
    r"call)|\b(?:could not|couldn't|unable to|failed to) parse (?:your|the) (?:response|"
    r"reply|action|output|command)|^\W*applied edits? to\b")
# A message that shows how another task was done, given with the real one.
_DEMONSTRATION = _Blind(
    r"^[^.\n]{0,120}?\b(?:demonstration|worked example|example of (?:how|a|an)|"
    r"(?:an|one) example\b|sample (?:run|session|solution|trajectory)|solved (?:trajectory|"
    r"example|task|run)|(?:reference|example) (?:trajectory|run|session)|"
    r"for reference|how (?:an?|the|one) (?:earlier|previous|other|another|similar|past) "
    r"(?:session|agent|run|task|attempt))\b")
# Narration of the speaker's own doings: no rule for the agent, unless it addresses it.
_NARRATION = _Blind(r"^\W*(?:i|we|i've|we've|i'm|we're|because (?:i|we))\b")
_ADDRESSED = _Blind(r"\b(?:you|your|please|must|should|need to|have to|has to|want|"
                    r"let's)\b")


def _is_rule(sentence: str) -> bool:
    """A sentence that sets a rule for the agent: not the speaker's narration, nor a
    statement of what someone never does."""
    if sentence.lstrip().startswith("("):
        return False  # an aside: how to fill in a form, not a rule of the work
    return bool(_RULE.search(sentence)) and not (
        (_NARRATION.match(sentence) or _STATED_NEGATION.search(sentence))
        and not _ADDRESSED.search(sentence))


_STATED_NEGATION = _Blind(r"\b(?:we|i|they|he|she|it|that|this|which|who|users|people)\s+"
                          r"(?:\w+\s+)?(?:never|don't|do not|didn't|doesn't)\b")


# An interactive tool's own console in the user's turn: a session's banner, its token and
# cost counter, its yes/no questions. What it says is no request, rule or fact.
_CONSOLE_FIRST = _Blind(
    r"^\W*(?:[\w.-]+ )?(?:chat|session) started at \d|^tokens?\s*:\s*[\d.,]+\s*k?\s+sent\b")
_BANNER = re.compile(r"(?im)^#* ?[\w.-]+ (?:chat|session) started at \d{4}-\d\d-\d\d")
_CONSOLE_PROMPT = _Blind(r"\(y\)es/\(n\)o\b|\[y/n\]|\(y/n\)")


def _console(text: str) -> bool:
    head = text.lstrip()[:1000]
    first = head.split("\n", 1)[0]
    return bool(_CONSOLE_FIRST.search(first)) or bool(_BANNER.search(head)) or bool(
        _CONSOLE_PROMPT.search("\n".join(head.split("\n", 3)[:3])))


_HARNESS_HINTS = ("tool call", "function call", "respons", "reply", "remaining", " left",
                  "invalid", "parse", "applied edit")


def _harness(text: str) -> bool:
    """A user message a harness wrote: a complaint about the reply's form, a counter."""
    if len(text) >= 400:
        return False
    low = text[:300].lower()
    return steps.holds_any(low, _HARNESS_HINTS) and _HARNESS.search(low)


_SENTENCE = re.compile(r"(?<=[.!?;])\s+|\n+")
_FILLER = _Blind(
    r"\W*(?:(?:hi|hello|hey|good (?:morning|afternoon|evening)|hi there|hello there|"
    r"ok(?:ay)?|thanks?(?: you)?|thx|great|good|nice|cool|perfect|awesome|"
    r"yes|yep|yeah|sure|right|got it|sounds good|looks good|lgtm|go ahead|go on|continue|"
    r"carry on|keep going|proceed|please|do it|makes sense|understood)\W*)+(?:so far\W*)?")
_ASKS = _Blind(
    r"^(also|and|then|now|next|please|could you|can you|would you|add|make|fix|"
    r"implement|update|change|remove|rename|move|write|create|migrate|upgrade|we need|"
    r"i need|i want|let's|lets|how about|what about|why not|should we|shall we)\b")


def _asking(text: str) -> bool:
    """A later message of the user's that asks for something: by its first words, or by a
    question of its own, in any language."""
    if _ASKS.search(text):
        return True
    said = _CODE.sub(" ", text[:4000])
    return any(sentence.endswith("?") for sentence in _sentences(said))


_RULE = _Blind(
    r"\b(never(?! mind)|don't|do not|must not|mustn't|must stay|must remain|must keep|must be|"
    r"(?:use|touch|change|modify|edit|call) only|only (?:use|touch|change|modify|edit|call)|"
    r"avoid|no changes? to|no new|hard rule|rule:|remember|whatever (?:you do|happens)|"
    r"has to (?:stay|keep|remain)|stays?\b.{0,30}\b(?:as it is|off|on|unchanged|the same)|"
    r"without (?:touching|changing|modifying)|keep\b.{0,60}\b"
    r"(?:untouched|unchanged|as is|intact|stable)|leave\b.{0,60}\balone|stick to|stay on|"
    r"under no circumstances|not allowed|off[- ]limits|hands off|^\W*leave\b|"
    r"leave\b.{0,60}\b(?:as (?:it is|is)|untouched|unchanged|intact)|(?:must|has to|have to|"
    r"needs? to) (?:still )?(?:work|run|support|be compatible|stay compatible))\b")
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
            if 0 < worth < 4 and not _ROUTINE.search(line) and not _RAW.search(line) \
                    and not _NOISE.search(line) and not evidence.failure_line(line):
                ranked.append((worth, index, line))
    best = sorted(ranked, reverse=True)[:2]
    return [line for _, _, line in sorted(best, key=lambda r: r[1])]


# Lines no person keeps as a fact: counters and timings, banners, hints and warnings, a
# file's numbered lines, lines of code.
_NOISE = _Blind(
    r"\b(?:tokens?|cost)\s*[:=]?\s*\$?\d|\$\d+(?:\.\d+)? (?:message|session|total)\b|"
    r"\bwall time\b|\belapsed\b|\btook \d|\bduration\s*[:=]|\bfinished in \d|"
    r"\bin \d+(?:\.\d+)?\s?(?:ms|s|sec|secs|seconds)\b|^(?:real|user|sys)\s+\d|"
    r"^(?:running|ran) \d+ tests?\b|^chunk id:|\btoken count\b|^total output lines|"
    r"^(?:note|hint|tip|warning|warn|notice|deprecat\w*)\b\s*[:\]]|^npm (?:warn|notice)\b|"
    r"^\[(?:warn|warning|notice|info)\]|^\(use \"|\bwarning:|^welcome to\b|"
    r"^\d+\s*(?:→|│|\|)|"
    r"^(?:def|class|import|return|const|let|var|function|fn|pub fn|func|package|#include|"
    r"public|private|protected|static)\b|^from \S+ import\b|^@\w+|[;{]$|^[})\]]+[;,]?$")
# Lines that are the raw stuff of an output, no fact: a file's numbered lines, a diff's
# headers, a harness's notes and tags, a test runner's preamble, a traceback's frames, a
# search's hits in source code or docs.
_RAW = _Blind(
    r"^\d+\t|^(?:diff --git |index [0-9a-f]{6,}\.\.|--- (?:a/|/dev/null)|\+\+\+ (?:b/|"
    r"/dev/null)|@@ )|here's the result of running|<response clipped>|<note>|</?output>|"
    r"</?returncode>|eliding lines|^observation:|^platform \w+ -- python|^collect(?:ing|ed) |"
    r"^(?:rootdir|cachedir|plugins): |^file \"[^\"]+\", line \d+|^\((?:open file|current "
    r"directory): |^bash-\$|^\[file: |binary file matches|^\d+\.\d+s (?:setup|call|teardown) "
    r"|^(?:xfail|xpass|skipped|passed) |^[\w./-]+\.(?:py|pyi|js|jsx|"
    r"ts|tsx|go|rs|java|kt|c|h|cc|cpp|hpp|rb|php|cs|swift|scala|sh|md|rst|txt):\d+:")
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
            return _clip(self.line, 120)
        named = [m.group(1) or m.group(2) for m in _NAMED_ARGUMENT.finditer(self.brief)]
        if named:
            return _clip(f"{self.name} {' '.join(named)}", 120)
        return _clip(f"{self.name} {self.brief}" if self.brief else self.name, 120)

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
        maybe = [p for p in act.maybe if any(_same_file(p, n) for n in named)]
        if not maybe and len(act.maybe) == 1 and steps.says_changed(output):
            maybe = list(act.maybe)
        found = [_whole_path(p, output, text, upto) for p in (*act.edits, *maybe)]
        for name in named:
            if not any(_same_file(name, f) for f in found):
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


def _same_file(a: str, b: str) -> bool:
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
_CHECK_ITEM = re.compile(r"^`(?P<shown>[^`]+)` (?:passed|failed|" + _QUIET + r")\b")
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
            head = ": " + _clip(first, 100)
    return _clip(f"{_world_prefix(call)}`{call.shown()}`{head}", 200)


def _files_item(tool: str, files: list[str]) -> str:
    """The files one tool changed, the newest that fit the item whole; absolute paths
    under one folder are named from it."""
    shown = files[-_FILES_SHOWN:]
    folder = ""
    if len(shown) > 1 and all(f.startswith("/") for f in shown):
        common = os.path.commonpath(shown)
        if common.count("/") >= 2 and common not in shown:
            folder = common
            shown = [f[len(common) + 1:] for f in shown]
    head = f"{carry.CHANGED_PREFIX}`{tool}`" + (f" in {folder}/:" if folder else "")
    while len(shown) > 1 and len(head) + sum(len(f) + 2 for f in shown) > _FILES_ITEM:
        shown.pop(0)
    more = len(files) - len(shown)
    return _clip(f"{head} {', '.join(shown)}" + (f" and {more} more" if more else ""),
                 _FILES_ITEM + 20)


_FILES_ITEM = 700
_FILES_SHOWN = 20  # files named in one item, at most
_PATH_SHOWN = 160  # a changed file's path in the progress, at most


# What an assistant says of the run it just saw, when it takes a failing output as the
# outcome it wanted: the fix works, the error is the expected one.
_WORKED = _Blind(
    r"\b(?:fix(?:es)? (?:works|is working|worked)|(?:it|this|that|everything) works|"
    r"works (?:as expected|correctly|now|for all)|now (?:works|raises|rejects|reports|"
    r"fails as expected|passes|correctly)|as expected|(?:the )?(?:expected|correct|desired|"
    r"right) (?:error|exception|behaviou?r|output|result|validation)|correctly (?:raises|"
    r"rejects|reports|fails|errors|validates|handles|catches|detects)|is (?:now )?"
    r"(?:fixed|resolved)|successfully|all (?:tests|checks|cases) pass|(?:is|are) (?:now )?"
    r"(?:complete|done|finished|implemented|in place))")
_DOUBT = _Blind(r"\b(?:not|n't|still|fails? to|but|however|unfortunately|yet|instead|"
                r"hmm|wrong|unexpected|should have)\b")
_REPRODUCED = _Blind(r"\breproduc")
# A failure of the environment rather than of the work: a missing program or module.
_MISSING = _Blind(r"command not found|no module named|modulenotfounderror|"
                  r"is not installed|not recognized as an internal")


def _stopped(body: str) -> bool:
    """An assistant message says what stops the work: in its own words (not in code it
    shows), and not after saying the work went as it wanted."""
    if _reported_working(body):
        return False
    if "```" in body:
        body = _FENCED.sub(" ", body)
    # a sentence about code ("`parse` can't read dates") explains it, not what stops the
    # work
    # an item of a list (a report's findings, a plan's steps, what was built) or what
    # would be so if something held describes the work; only words that say it is stuck
    # make one a blocker
    return any(_STOPPED.search(sentence) and not _ABOUT_CODE.search(sentence)
               and (_STUCK.search(sentence) or not (
                   _PLAN.search(sentence) or _LISTED.match(sentence)
                   or _SUPPOSED.match(sentence)))
               for sentence in _sentences(body))


_EDIT_WORD = _Blind(r"\b(?:edit|edits|patch|patches|change|changes|diff)\b")
_LISTED = re.compile(r"\s*(?:[-*\u2022+]|\d+[.)]|\[[ xX]\])\s")
_SUPPOSED = _Blind(r"\W*(?:if|when|unless|whether|in case|once)\b")


# Words that say the work is stuck, whatever else the sentence plans; other words of what
# stops the work ("cannot", "is missing") count only outside a plan ("I'll add what is
# missing").
_STUCK = _Blind(r"\b(?:blocked|blocker|stuck|cannot (?:proceed|continue)|can't (?:proceed|"
                r"continue)|unable to (?:proceed|continue))\b")


_ABOUT_CODE = re.compile(r"`[^`\n]+`|\b\w+\(\)|\b[a-z]+_[a-z_]+\b|\b\w+\.(?:py|js|ts|go|rs|rb|java|c|h)\b")


_CODE = re.compile(r"```.*?(?:```|\Z)|`[^`\n]*`", re.DOTALL)
# A model's thinking as the formats render it: its mark starts a line; its first paragraph.
_THINKING = re.compile(r"<(?P<tag>think(?:ing)?(?:[-_][\w-]*)?|reasoning)>.*?(?:</(?P=tag)>|\Z)",
                       re.DOTALL | re.IGNORECASE)
_MUSING_MARK = re.compile(r"(?:^|\n)\[(?:thinking|reasoning)\]")
_MUSING = re.compile(r"(?:^|\n)\[(?:thinking|reasoning)\][^\n]*(?:\n(?!\n)[^\n]*)*")
_FENCED = re.compile(r"```.*?(?:```|\Z)", re.DOTALL)


def _reported_working(after: str) -> bool:
    """The assistant's next message opens by saying the run gave what it wanted."""
    head = " ".join(_sentences(after[:400])[:2])
    return bool(head) and _WORKED.search(head) and not _DOUBT.search(head)


class _Walk:
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
        self.goals, self.rules = _Kept(carry.LIMITS["goals"]), _Kept(carry.LIMITS["goals"])
        self.decisions = _Kept(carry.LIMITS["key_decisions"])
        self.facts = _Kept(carry.LIMITS["key_facts"])
        self.blockers = _Kept(carry.LIMITS["blockers"])
        # where a blocker is a hook's complaint, which the run's next steps may satisfy:
        # not a step's outcome, nor what the user or the agent says stops the work
        self.worded_at: set[int] = set()
        self.user_blocked_at: set[int] = set()
        self.refused_at: tuple[int, str] | None = None  # the newest edit not applied  # blockers in the user's turn
        self.requested_at: list[int] = []  # the user's later requests
        self.changes = _Kept(carry.LIMITS["progress"])
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
        for match, end in _spans(text, start):
            kind, label = _heading(match)
            body = text[match.end():end]
            self.kind, self.label, self.body = kind, label, body
            self.last_at = match.start()
            replied, self.replied = self.replied, match.start() if kind == "assistant" else -1
            if kind == "user":
                if replied >= 0 and _EDIT_WORD.search(body[:200]) and steps.edit_refused(body):
                    # the harness took no edit of the reply: open until an edit goes in
                    line = next(line.strip() for line in body.split("\n") if line.strip())
                    self.refused_at = (match.start(),
                                       _clip(f"{carry.NOT_APPLIED_PREFIX}{line}", 200))
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
        framed = _frame(body.strip())
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
            self.facts.add(where, _clip(f"{carry.ASKED_PREFIX}{asked} User: {stripped}", 240),
                           3)
        if _FILLER.fullmatch(stripped):
            return  # "thanks, keep going" asks for nothing new
        if stripped in self.heard or _harness(stripped) or _console(stripped):
            self.harness_at = where  # said again, or the harness's own words: no request
            return
        self.heard.add(stripped)
        task = stripped
        if is_goal and _PASTED_FIRST.match(task):
            # what the user pasted comes first: the request it is pasted for leads the goal
            quoted = _said(task)
            task = f"{quoted.strip()}\n{task}" if quoted.strip() else task
        if is_goal and _DEMONSTRATION.search(task.strip()[:300]):
            return  # how another task was done: the task comes next
        if is_goal:
            framing, self.framing = self.framing, []
            if not framed.own:
                # a task a harness wrote, all in its tags: the rules it sets in tags of
                # their own are the task's; the frame of a request in the user's own words
                # is context
                framing.append((where, framed.context))
                for at, context in framing:
                    for sentence in _sentences(_said(context)):
                        if _is_rule(sentence):
                            self.rules.add(at, carry.CONSTRAINT_PREFIX +
                                           _clip(_unlabel(sentence), 200))
        # what it says outside what it quotes, where a rule or a blocker may be
        has_rule, blocked = _RULE.search(stripped), _BLOCKED.search(stripped)
        own = _said(stripped) if has_rule or blocked else stripped
        sentences = _sentences(task.strip())
        if not has_rule:
            said_rules = []
        elif is_goal or len(stripped) > _WHOLE_RULE:
            said_rules = [_unlabel(s) for s in _sentences(own) if _is_rule(s)]
        else:
            # a short message that sets a rule is kept whole: its object may be in the
            # sentence after the rule's words
            said_rules = [_unlabel(stripped)] if _is_rule(own) else []
        for sentence in said_rules:
            self.rules.add(where, carry.CONSTRAINT_PREFIX + _clip(sentence, 200))
        if is_goal:
            rules = set(said_rules)
            rest = " ".join(_unlabel(s) for s in sentences if _unlabel(s) not in rules)
            self.first_goal = _request(rest or task.strip())
            # "hi, got a task for you": a greeting, or a few words that ask nothing
            self.preamble = len(self.first_goal) < _PREAMBLE and not said_rules and (
                _GREETING.match(stripped)
                or (len(self.first_goal.split()) <= 6 and not _ASKS.search(stripped)))
        elif self.preamble and not said_rules:
            # "hi, got a task for you" first: the request that follows is the goal too
            self.first_goal = _request(f"{self.first_goal} {stripped}")
            self.preamble = False
        elif not said_rules and _asking(stripped) and not asked:
            self.goals.add(where, _request(stripped))
            self.requested_at.append(where)
        elif not said_rules and not asked and not blocked:
            for fact in _user_facts(stripped):
                self.facts.add(where, _clip(carry.USER_PREFIX + fact, 240), 3)
        if blocked and not said_rules and not is_goal and not _asking(stripped) and \
                (own is stripped or _BLOCKED.search(own)):
            self.blockers.add(where, _clip(stripped, 200))  # the task itself is no blocker
            self.user_blocked_at.add(where)
            if _HOOK.search(stripped[:200]):
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
        sentences = _sentences(body) if _PLAN.search(body) else []
        chosen = [sentence for sentence in sentences if _PLAN.search(sentence)]
        for sentence in chosen:
            self.decisions.add(where, _clip(sentence, 200))
        if _STOPPED.search(body) and _stopped(body):
            # a choice made is not what stops the work ("Plan: wrap the writes in a
            # transaction so a crash can't leave half a file"); a next step may be
            decided = [s for s in chosen if carry.DECIDED.search(s)]
            if not decided:
                self.blockers.add(where, _clip(body, 200))
            else:
                rest = " ".join(s for s in sentences if s not in decided)
                if _STOPPED.search(rest):
                    self.blockers.add(where, _clip(rest, 200))
        self.question = _question(body)
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
            if _clip(path, _PATH_SHOWN) in files:
                files.remove(_clip(path, _PATH_SHOWN))
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
            target = _clip(path, _PATH_SHOWN)
            if target not in files:
                files.append(target)

    # -- the steps, newest first ---------------------------------------------------------

    def outcomes(self) -> "_Outcomes":
        """Tool outputs newest first: the latest evidence decides, a later run of the same
        check with no evidence of failure settles the older failures, and a fix followed
        by a passing run gets past a failure that is not run again."""
        found = _Outcomes()
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
                said = carry.REPRODUCED_PREFIX if _REPRODUCED.search(made.after[:200]) \
                    else carry.EXPECTED_PREFIX
                self.facts.add(made.where, _clip(
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

    def _passed(self, found: "_Outcomes", made: _Call | None, output: str, shown: str,
                where: int, command: evidence.Command) -> None:
        if made is not None and evidence.is_check(made.command):
            found.newest_pass = max(found.newest_pass, where)
            if shown not in found.checks:
                line = _pass_line(output)
                found.checks[shown] = (where, _clip(f"`{shown}` passed" +
                                                    (f": {line}" if line else ""), 200))
        if found.latest is None:
            line = _pass_line(output)
            found.latest = (where, shown, "passed" + (f": {line}" if line else ""))

    def _quiet(self, found: "_Outcomes", made: _Call, output: str) -> None:
        """A run that shows no failure and no pass: said as it is."""
        last = next((line.strip() for line in reversed(output.split("\n"))
                     if line.strip() and not _RAW.search(line.strip())
                     and not steps.PRINTED.match(line) and not evidence.failure_line(line)), "")
        outcome = _QUIET + (f": {_clip(last, 120)}" if last else "")
        shown = made.shown()
        if evidence.is_check(made.command) and shown not in found.quiet:
            # in the progress only when it settles an older failure of the check
            found.quiet[shown] = (made.where, _clip(f"`{shown}` {outcome}", 200))
        if found.latest is None:
            found.latest = (made.where, shown, outcome)

    def _failed(self, found: "_Outcomes", made: _Call | None, output: str, shown: str,
                where: int, command: evidence.Command,
                newest: dict[evidence.Command, str | None], passed_later: bool,
                fixed_later: bool) -> None:
        said_line = evidence.quote(output)
        # a program or module that is not there: the check never started, it did not fail
        verb = carry.NOT_RUN if _MISSING.search(said_line) else evidence.FAILED
        item = _clip(f"`{shown}` {verb}: {said_line}", 260)
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
        if settled:
            self.facts.add(where, carry.RESOLVED_PREFIX + item, 2)
        elif passed_later and _MISSING.search(said_line):
            self.facts.add(where, carry.RESOLVED_PREFIX + item, 2)  # worked around
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
            output = _without_note(output)
        # a value an output shows is told with the command that showed it
        if made is None or not made.reads:
            lines, rank = _salient_lines(output, not self.facts.full()), None
        else:
            lines, rank = (_salient_lines(output)[-1:] if not self.facts.full() else []), 1
        for line in lines:
            source = f"`{_clip(made.shown(), 60)}`: " if made is not None else ""
            self.facts.add(begin, _clip(source + line, 200), rank)


class _Outcomes:
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


def _summarize(text: str, start: int, previous: str) -> dict[str, Any]:
    """The summary of the transcript in ``text`` from ``start`` on, merged with the earlier
    summary's lists. Reads each entry once in order, then the tool outputs newest first,
    only as far as an older one can still change the lists."""
    earlier = parse_context(previous) if previous else {}
    walk = _Walk(text, earlier)
    walk.read(start)
    for waiting in walk.pending:  # calls still waiting: their change is not known yet
        if waiting.act.kind == steps.EDIT or waiting.world:
            walk.changes.add(waiting.where, _clip(f"Started: `{waiting.shown()}`", 200))
    found = walk.outcomes()
    progress = _Kept(carry.LIMITS["progress"])
    for where, item in found.checks.values():
        named = _CHECK_ITEM.match(item)
        count = walk.runs.get(named.group("shown"), 0) if named else 0
        progress.add(where, item + (f" (run {count}x)" if count > 2 else ""), 2)
    listed: list[str] = []
    for tool, (where, files) in walk.edits.items():
        walk.changes.add(where, _files_item(tool, files))
        listed += files
    if walk.diffed is not None:
        unlisted = [f for f in walk.diffed[1] if not any(_same_file(f, x) for x in listed)]
        if unlisted:
            walk.changes.add(walk.diffed[0], _files_item("git diff", unlisted))
    if walk.removed is not None:
        walk.changes.add(walk.removed[0], _clip(
            f"Removed: {', '.join(walk.removed[1][-8:])}", 300))
    for rank, where, item in walk.changes.found:
        progress.add(where, item, 3)
    if walk.reads:
        progress.add(walk.last_read_at, _reads_item(walk.reads), 2)
    return _record(walk, found, progress, previous, earlier)


_COUNTED = re.compile(r"(\d+) user message\(s\), (\d+) assistant message\(s\), (\d+) tool "
                      r"call\(s\), (\d+) tool result\(s\)")
_THOUGHT = re.compile(r"^\s*(?:THOUGHT|DISCUSSION|Thought|Reasoning|Thinking)\s*:\s*")


def _record(walk: _Walk, found: _Outcomes, progress: _Kept, previous: str,
            earlier: dict[str, Any]) -> dict[str, Any]:
    last_said = walk.last_said
    if last_said is not None and "```" in last_said:
        last_said = _FENCED.sub(" ", last_said)  # the code it shows is no state
    state = _clip(_THOUGHT.sub("", last_said)) if last_said is not None else ""
    latest = found.latest
    if latest is not None and latest[0] >= walk.last_said_at:
        state = _clip(f"{state} Latest result: `{latest[1]}` {latest[2]}".strip(), 400)
    next_steps: list[str] = []
    if walk.kind == "call":
        next_steps.append(_clip(f"Wait for the result of {walk.label}"))
    elif walk.kind == "user" and walk.harness_at < walk.last_at:
        next_steps.append(_clip(f"Answer the user: {walk.body}"))
    elif walk.kind == "result" and found.last_failure and latest is not None:
        reported = latest[2].partition(": ")[2]
        next_steps.append(_clip(f"{_RESOLVE_STEP}`{latest[1]}`: {reported}"))
    narrative_parts = []
    if earlier:
        narrative_parts.append("Continues an earlier summary.")
    elif previous:  # an earlier summary in words of its own, not in sections
        narrative_parts.append(f"Continues an earlier summary ({_clip(previous, 200)}).")
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
        narrative_parts.append(f"Last assistant message: {_clip(last_said or '')}"
                               if last_said else "")
    first_goal = walk.first_goal
    record = {
        "goals": ([first_goal] if first_goal else [])
        + walk.rules.result()[:carry.CONSTRAINTS_KEPT] + walk.goals.result(),
        "progress": progress.result(),
        "current_state": state,
        "key_decisions": walk.decisions.result(),
        "key_facts": walk.facts.result(),
        "blockers": _open_blockers(walk, found),
        "next_steps": next_steps,
        "summary": " ".join(p for p in narrative_parts if p),
    }
    if not earlier:
        return record
    return carry.merge(_settle(earlier, walk, found), record)


# A hook's words: the harness ran a check of its own on the agent's turn.
_HOOK = re.compile(r"(?i)^\W*(?:[\w-]+ )?hooks?\b|\bhook (?:feedback|error|denied|blocked|"
                   r"failed)\b|\[[^\]\n]*\bhooks?\b[^\]\n]*\]")


# What a blocker in words says cannot be done, and the prefixes of the progress items that
# show it done later (a push shows its commits made).
_DONE_LATER = ((_Blind(r"\bcommit"), (carry.COMMITTED_PREFIX, carry.PUSHED_PREFIX)),
               (_Blind(r"\bpush"), (carry.PUSHED_PREFIX,)),
               (_Blind(r"\binstall"), (carry.INSTALLED_PREFIX,)))


def _open_blockers(walk: _Walk, found: _Outcomes) -> list[str]:
    """The blockers still open at the end: a hook's complaint counts only when the run did
    not go on past it with a change, a passing check or more steps of its own; words that
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
        if where in walk.user_blocked_at:
            # the user went on to ask for more, and the agent did it: what the user said
            # stood in the way no longer does
            asked = next((at for at in walk.requested_at if at > where), None)
            if asked is not None and any(at > asked for at in changed):
                return True
        return not carry.FAILED_ITEM.match(item) and any(
            words.search(item) and done[prefixes] > where for words, prefixes in _DONE_LATER)

    walk.blockers.found = [entry for entry in walk.blockers.found
                           if not settled(entry[1], entry[2])]
    if walk.refused_at is not None and not any(at > walk.refused_at[0] for at in changed):
        walk.blockers.add(*walk.refused_at, 3)  # the last edit the run tried did not go in
    return walk.blockers.result()


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


def _settle(earlier: dict[str, Any], walk: _Walk, found: _Outcomes) -> dict[str, Any]:
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
            if str(item).startswith(carry.NOT_APPLIED_PREFIX) and any(
                    found_item.startswith(carry.CHANGED_PREFIX)
                    for _, _, found_item in walk.changes.found):
                continue  # an edit went in since
            # words that said a commit, a push or an install could not be done: done now
            if not any(words.search(str(item)) and prefixes in done
                       for words, prefixes in _DONE_LATER):
                kept.append(item)
            continue
        shown, quote = failed.group("shown"), failed.group("quote")
        command = steps.check_key(evidence.command_of(shown))
        named = evidence.failed_tests(quote)
        edited = steps.shell_action(shown).kind == steps.EDIT or "*** " in shown
        settled = found.fixed or (found.passed_any and bool(_MISSING.search(quote))) or (
            index == newest and walk.opening_worked) or (edited and any(
                path.rsplit("/", 1)[-1] in walk.changed_at
                for path in evidence.paths_in(shown))) or any(
            found.newest_pass > walk.changed_at.get(path.rsplit("/", 1)[-1],
                                                    found.newest_pass)
            for path in evidence.paths_in(quote))
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
            step for step in to_do if not str(step).startswith(_RESOLVE_STEP)
            or any(str(step)[len(_RESOLVE_STEP):].split(":")[0] in b for b in open_now)]
    if resolved:
        settled_now["key_facts"] = list(earlier.get("key_facts") or []) + resolved
    progress = earlier.get("progress")
    if isinstance(progress, list) and found.checks:
        newer = set(found.checks)
        settled_now["progress"] = [
            p for p in progress
            if not ((m := _CHECK_ITEM.match(str(p))) and m.group("shown") in newer)]
    return settled_now


def settle_with(record: Mapping[str, Any], transcript: str) -> dict[str, Any]:
    """``record`` with the failures it lists that the newer messages in ``transcript``
    settle (the same check passing, a fix then a passing run) moved to its facts, marked
    resolved: what a summary carries is checked again against what came after it."""
    if not transcript or not any(carry.FAILED_ITEM.match(str(item))
                                 for item in record.get("blockers") or ()):
        return dict(record)
    walk = _Walk(transcript, {})
    walk.read(0)
    settled = _settle(dict(record), walk, walk.outcomes())
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
