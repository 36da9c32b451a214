"""The transcript the module renders, as entries: each heading (`[User]: `, `[Assistant]: `,
`[Assistant called NAME]: `, `[Tool Result (ID)]: `) and the text up to the next one."""

from __future__ import annotations

import re
from collections.abc import Iterator

from ..native import TRANSCRIPT_ENTRY


_ENTRY = TRANSCRIPT_ENTRY


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


def spans(text: str, start: int = 0) -> Iterator[tuple[re.Match[str], int]]:
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


def heading(match: re.Match[str]) -> tuple[str, str]:
    """(kind, label) of an entry's heading."""
    group = match.lastindex or 0
    return _KINDS[group], (match.group(group) if group > 2 else "")


def parse_transcript(transcript: str) -> list[tuple[str, str, str]]:
    """Splits a transcript into (kind, label, text) entries; kind is user, assistant, call
    or result. A line that starts no entry continues the one before it."""
    return [(*heading(match), transcript[match.end():end])
            for match, end in spans(transcript)]
