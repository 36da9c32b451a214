"""Everything the package knows about ``morvex.core.summarizer``: the texts it writes (the
context text's header and headings, the request's headings, the transcript's entries, the
fallback summary, its log lines) and the readers built on them. No other module of the
package writes one of these texts; tests/companion/test_native_contract.py renders each
through the module and fails when the module changes one."""

from __future__ import annotations

import contextlib
import contextvars
import logging
import re
from collections.abc import Callable, Iterator, Mapping
from typing import Any

from .records import LIST_KEYS, SUMMARY_KEYS

RECORD_KEYS = SUMMARY_KEYS
"""The keys of a summary record, in the module's order."""

SOURCE_NAME = "morvex/core/summarizer.py"
"""The file name the module's traceback entries give."""

LOGGER_NAME = "morvex.summarizer"

PARSE_WARNING = "Could not parse summary JSON, using fallback"
"""Logged (as a warning) when the model's reply is no JSON: the record is then built from
its prose."""

FAILURE_PREFIX = "Summarization failed: "
"""Start of the error logged when the client raised: the record is then the fallback."""

# -- the context text (format_summary_for_context) --------------------------------------

CONTEXT_HEADER = "## Conversation History Summary"
"""First line of the context text."""

CONTEXT_NOTE = "*(Earlier messages were summarized to save context space)*"
"""Second line of the context text."""

HEADINGS: Mapping[str, str] = {
    "### Original Goals": "goals",
    "### Progress So Far": "progress",
    "### Current State": "current_state",
    "### Key Decisions": "key_decisions",
    "### Key Facts": "key_facts",
    "### Issues & Resolutions": "blockers",
    "### Next Steps": "next_steps",
    "### Narrative Summary": "summary",
}
"""Section heading -> record key, in the order the sections are rendered."""

BULLET = "  - "
"""Start of each item of a list section."""

# -- the request the module sends the model ---------------------------------------------

PREVIOUS_HEADING = "## Previous Summary (build on this):\n"
"""Heads the earlier summary in the request's system message."""

CONVERSATION_HEADING = "## Conversation to Summarize:\n"
"""Heads the transcript in the request's system message."""

TOOL_RESULT_LIMIT = 500
"""Characters of a tool result that reach the transcript."""

TRUNCATION_MARK = "... [truncated]"
"""Follows a tool result cut at TOOL_RESULT_LIMIT."""

TRANSCRIPT_ENTRY = re.compile(
    r"^\[(?:(User)|(Assistant)|Assistant called (?P<tool>[^\]\n]*)"
    r"|Tool Result \((?P<id>[^)\n]*)\))\]: ",
    re.MULTILINE,
)
"""An entry's heading in the transcript: it starts a line, and the lines after it that
start none continue it. Groups: 1 user, 2 assistant, ``tool`` a call's name, ``id`` a
result's call id."""

# -- the fallback summary ---------------------------------------------------------------

FALLBACK_STATE = re.compile(r"Conversation had \d+ messages before summarization\Z")
FALLBACK_SUMMARY = re.compile(r"Conversation with \d+ messages\. Primary request: ")


def is_fallback_summary(record: Any) -> bool:
    """True for a summary record that the module built without the model (its fallback
    summary: at most one goal, every other list empty, fixed texts)."""
    if not isinstance(record, Mapping):
        return False
    state, summary = record.get("current_state"), record.get("summary")
    if not (isinstance(state, str) and isinstance(summary, str)):
        return False
    if not (FALLBACK_STATE.match(state) and FALLBACK_SUMMARY.match(summary)):
        return False
    goals = record.get("goals")
    if not isinstance(goals, list) or len(goals) > 1:
        return False
    return all(record.get(key) == [] for key in LIST_KEYS[1:])


def is_context_text(text: Any) -> bool:
    """The text is a context text the module rendered (by its first line)."""
    return isinstance(text, str) and text.startswith(CONTEXT_HEADER + "\n")


def parse_context(text: str) -> dict[str, Any]:
    """The lists and texts of a rendered summary (its context text), by record key; the
    sections it lacks are left out."""
    found: dict[str, Any] = {}
    key: str | None = None
    lines: list[str] = []

    def close() -> None:
        if key is None:
            return
        if key in LIST_KEYS:
            items: list[str] = []
            for line in lines:
                if line.startswith(BULLET):
                    items.append(line[len(BULLET):])
                elif items and line.strip():
                    items[-1] += " " + line.strip()
            found[key] = items
        else:
            found[key] = "\n".join(lines).strip("\n")

    for line in text.split("\n"):
        heading = HEADINGS.get(line.rstrip())
        if heading is not None:
            close()
            key, lines = heading, []
        elif key is not None:
            lines.append(line)
    close()
    return found


# -- what the module refuses -------------------------------------------------------------

def _call_name(call: Any, position: int) -> str:
    ident = call.get("id")
    return f"tool call {ident!r}" if isinstance(ident, str) and ident else \
        f"tool call {position}"


def _no_length(value: Any) -> bool:
    return bool(value) and not hasattr(value, "__len__")


def record_refusal(message: Any, *, fallback: bool = False) -> str | None:
    """Why the summarizer would refuse one message record, or None when it reads it. It
    reads a message with ``get``; a tool result's content by its length; an assistant's
    ``tool_calls`` by iterating them, and the ``function`` of each call that is a dict with
    ``get`` (also when the call has its own name and arguments). Its fallback summary (when
    the model failed) reads a user's content by its length too (``fallback``)."""
    if not callable(getattr(message, "get", None)):
        return f"a {type(message).__name__}, not an object"
    role = message.get("role", "unknown")
    content = message.get("content", "")
    if (role == "tool" or (fallback and role == "user")) and _no_length(content):
        return f"content is {type(content).__name__}, not text"
    if role != "assistant":
        return None
    calls = message.get("tool_calls")
    if not calls:
        return None
    if not isinstance(calls, (list, tuple)):
        try:
            iter(calls)
        except TypeError:
            return f"tool_calls is {type(calls).__name__}, not a list"
        return None  # an iterator: reading it here would use it up
    for position, call in enumerate(calls):
        if not isinstance(call, dict):
            continue  # passed over by the summarizer
        function = call.get("function", {})
        if callable(getattr(function, "get", None)):
            continue
        if function is None:
            return f"{_call_name(call, position)} has no function"
        return f"{_call_name(call, position)}: function is {type(function).__name__}, " \
            "not an object"
    return None


def module_refusal(messages: Any, *, fallback: bool = False) -> str | None:
    """Why the summarizer would refuse these message records, as "message N: reason" (N
    counts from 0), or None when nothing it is known to refuse is there."""
    for index, message in enumerate(messages):
        reason = record_refusal(message, fallback=fallback)
        if reason is not None:
            return f"message {index}: {reason}"
    return None


# -- outcomes ---------------------------------------------------------------------------

def raised_by_module(exc: BaseException) -> bool:
    """The exception left the module's own code (its traceback ends in the module's
    source): the module refused what it was given, such as a conversation it cannot read.
    Any other exception arose elsewhere (a client, the caller's own code)."""
    tb = exc.__traceback__
    if tb is None:
        return False
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_filename == SOURCE_NAME


def is_failure_log(record: logging.LogRecord) -> bool:
    """The record is the module's own log line for a client that raised."""
    return record.name == LOGGER_NAME and record.getMessage().startswith(FAILURE_PREFIX)


# The module returns a record for a reply it could not parse as JSON exactly as for one it
# could; only its warning tells the two apart. So the watch reads the module's log: a
# filter on its logger calls the mark of the summary in progress in this task (a context
# variable), and the module logs from the awaiting task, so the mark lands on the right
# summary among many in flight.
_unparsed_mark: contextvars.ContextVar[Callable[[], None] | None] = contextvars.ContextVar(
    "unparsed_mark", default=None)


class _UnparsedWatch(logging.Filter):
    def filter(self, record: logging.LogRecord) -> bool:
        mark = _unparsed_mark.get()
        if mark is not None and record.getMessage() == PARSE_WARNING:
            mark()
        return True


_watch = _UnparsedWatch()


@contextlib.contextmanager
def watch_unparsed(mark: Callable[[], None]) -> Iterator[None]:
    """Within the block, ``mark()`` is called when the module, summarizing in this task,
    could not parse the model's reply as JSON."""
    logger = logging.getLogger(LOGGER_NAME)
    if _watch not in logger.filters:
        logger.addFilter(_watch)
    token = _unparsed_mark.set(mark)
    try:
        yield
    finally:
        _unparsed_mark.reset(token)
