"""What a message says in its own words: the request it makes, whole to a sentence end; the
rules it sets; the context a harness or an IDE wraps around it (environment and instruction
blocks, a console's text, an earlier part's summary); its sentences and the facts it states.
"""

from __future__ import annotations

import bisect
import re
from typing import NamedTuple

from . import steps, tools
from .phrases import (ADDRESSED, ASKS, BANNER, CONSOLE_FIRST, CONSOLE_PROMPT, CONTINUED,
                      HARNESS, HARNESS_HINTS, LABEL, NAMING, NARRATION, PLEASE, QUOTED,
                      QUOTED_TAGS, QUOTE_HINTS, RULE, STATED, STATED_NEGATION)


_MAX_ITEM = 300


def clip(text: str, limit: int = _MAX_ITEM) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3].rstrip() + "..."


_SENTENCE_END = re.compile(r"[.!?](?=\s|$)")


def request(text: str, limit: int = _MAX_ITEM) -> str:
    """A request as the user said it: whole up to the end of the sentence that runs past
    ``limit`` (its verb may come late), and never more than twice as long."""
    text = " ".join(text.split())
    if len(text) <= limit:
        return text
    end = _SENTENCE_END.search(text, limit - 1)
    kept = text[:end.end()] if end is not None and end.end() <= 2 * limit else \
        clip(text, 2 * limit)
    asks_later = [s for s in sentences(text[len(kept):]) if ASKS.search(s.strip()) or
              PLEASE.search(s)]
    if asks_later:  # the request comes after what it explains: it stays, with the start
        asked = clip(asks_later[-1], limit)
        kept = clip(kept, max(2 * limit - len(asked) - 1, limit // 2))
        return f"{kept.removesuffix('...')}... {asked}"
    return kept


PREAMBLE = 80  # a short greeting first is read with the request after it


WHOLE_RULE = 200  # a user message that sets a rule, up to this long, is kept whole


PASTED_FIRST = re.compile(r"\s*(?:```|Traceback \(most recent call last\)|\$ |>)")


def own_words(text: str) -> str:
    """A user message without what it quotes (`QUOTED`)."""
    if text.startswith(">") or steps.holds_any(text, QUOTE_HINTS):
        return QUOTED.sub("\n", text)
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
_MATERIAL_TAG = re.compile(QUOTED_TAGS, re.IGNORECASE)


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


def frame(text: str) -> _Framed:
    """``text`` apart from its context: the blocks in tags of their own (a block the user
    hands over as material stays: a tag that names a report, an example, a log, or that the
    text introduces with a colon or names), and an instructions file's contents (to the end
    of the block that follows its line, else to the end of the message)."""
    opening = text[:200]
    if ("ontinu" in opening or "ummary" in opening) and CONTINUED.match(opening):
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


def without_note(output: str) -> str:
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


def is_rule(sentence: str) -> bool:
    """A sentence that sets a rule for the agent: not the speaker's narration, nor a
    statement of what someone never does."""
    if sentence.lstrip().startswith("("):
        return False  # an aside: how to fill in a form, not a rule of the work
    return bool(RULE.search(sentence)) and not (
        (NARRATION.match(sentence) or STATED_NEGATION.search(sentence))
        and not ADDRESSED.search(sentence))


def console(text: str) -> bool:
    """A user message that is an interactive tool's console: its banner, its counter, its
    yes/no questions (each pattern read only where its words are)."""
    head = text.lstrip()[:1000]
    low = head.lower()
    banner, asks = "started at" in low, "(y" in low or "[y" in low
    if not (banner or asks or " sent" in low):
        return False
    first = head.split("\n", 1)[0]
    return bool(CONSOLE_FIRST.search(first)) or bool(banner and BANNER.search(head)) or \
        bool(asks and CONSOLE_PROMPT.search("\n".join(head.split("\n", 3)[:3])))


def harness(text: str) -> bool:
    """A user message a harness wrote: a complaint about the reply's form, a counter."""
    if len(text) >= 400:
        return False
    low = text[:300].lower()
    return steps.holds_any(low, HARNESS_HINTS) and HARNESS.search(low)


_SENTENCE = re.compile(r"(?<=[.!?;])\s+|\n+")


def asking(text: str) -> bool:
    """A later message of the user's that asks for something: by its first words, or by a
    question of its own, in any language."""
    if ASKS.search(text):
        return True
    said = _CODE.sub(" ", text[:4000])
    return any(sentence.endswith("?") for sentence in sentences(said))


def question(text: str) -> str:
    """The question an assistant message ends with, with the sentence before it when the
    question alone says little ("Shall I?")."""
    text = text.rstrip()
    if not text.endswith("?"):
        return ""
    said = sentences(text[-600:])
    asked = said[-1]
    if len(asked.split()) < 6 and len(said) > 1:
        asked = f"{said[-2]} {asked}"
    return clip(asked, 200)


def sentences(text: str) -> list[str]:
    return [s.strip() for s in _SENTENCE.split(text) if s and s.strip()]


def unlabel(sentence: str) -> str:
    """A sentence without the label in front of it ("Constraints: ", "FYI: ")."""
    bare = LABEL.sub("", sentence, count=1)
    return bare or sentence


def user_facts(text: str) -> list[str]:
    """The sentences of a user message that state something to know."""
    out = []
    for sentence in sentences(text):
        if RULE.search(sentence):
            continue
        bare = unlabel(sentence)
        if NAMING.search(bare) or (STATED.search(bare) and len(bare.split()) >= 4):
            out.append(bare)
    return out


_CODE = re.compile(r"```.*?(?:```|\Z)|`[^`\n]*`", re.DOTALL)
