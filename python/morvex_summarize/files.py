"""Files in and out: a conversation or an earlier summary read from a file or standard
input, and output written whole or not at all, each failing as one of the package's errors
with one clear line."""

from __future__ import annotations

import contextlib
import json
import logging
import os
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import Any, cast

from .errors import (BadDocument, InputMissing, InvalidJSON, OptionRefused, OutputError,
                     Unsummarizable, setting)
from .formats import (AUTO, LOG_FORMATS, Conversation, FormatError, NoMessages, WrongFormat,
                      detect_format, log_document, read_conversation)
from .formats.base import article


# ---- input ------------------------------------------------------------------------------

def where_of(path: str) -> str:
    return "<stdin>" if path == "-" else path


def read_text(path: str) -> str:
    """The UTF-8 text of a file, or of standard input for ``-``: both refuse other bytes."""
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except FileNotFoundError:
        raise InputMissing(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputMissing(f"{path}: is a directory") from None
    except OSError as exc:
        raise InputMissing(f"{where_of(path)}: {exc.strerror}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise InvalidJSON(f"{where_of(path)}: not UTF-8 text ({exc.reason} at byte "
                          f"{exc.start})") from None


def parse_json(text: str, object_hook: Callable[[dict[str, Any]], Any] | None = None) -> Any:
    """A JSON document, or the reason it is not one (as ValueError): also for what
    ``json.loads`` refuses with other exceptions (nesting too deep, huge integers)."""
    try:
        return json.loads(text, object_hook=object_hook)
    except json.JSONDecodeError as exc:
        raise ValueError(f"invalid JSON at line {exc.lineno} column {exc.colno}: "
                         f"{exc.msg}") from None
    except RecursionError:
        raise ValueError("invalid JSON: nested too deeply") from None
    except ValueError as exc:  # e.g. an integer of more digits than the limit
        raise ValueError(f"invalid JSON: {' '.join(str(exc).split())}") from None


_SHARED_VALUES = ("role", "type", "name")


def _share_values(obj: dict[str, Any], _seen: dict[str, str] = {}) -> dict[str, Any]:
    """One str object for each role, type and tool name, instead of one per message: in a
    long conversation of short messages they are a tenth of what the document holds."""
    for key in _SHARED_VALUES:
        value = obj.get(key)
        if type(value) is str:
            obj[key] = _seen.setdefault(value, value)
    return obj


def read_document(path: str) -> Any:
    """The document in a file (``-`` for stdin): an agent's log as its format reads it
    (JSON lines, markdown), else the JSON document."""
    return parse_document(read_text(path), where_of(path))


def parse_document(text: str, where: str) -> Any:
    """The document a file's text holds (``where`` names the file in errors). An empty
    file (or one of blanks only) is no document (BadDocument), not invalid JSON."""
    if not text.strip():
        raise BadDocument(f"{where}: empty: no conversation in it")
    try:
        found = log_document(text)
    except FormatError as exc:
        raise BadDocument(f"{where}: {exc}") from None
    except RecursionError:  # a reader's own parsing of a log's text
        raise BadDocument(f"{where}: nested too deeply") from None
    if found is not None:
        return found
    try:
        return parse_json(text, _share_values)
    except ValueError as exc:
        raise InvalidJSON(f"{where}: {exc}") from None


def is_log_text(text: str) -> bool:
    """The text is an agent's session log as it lies on disk (of any format the package
    reads), as opposed to a conversation's JSON or lines of them."""
    try:
        if log_document(text) is not None:
            return True
    except FormatError:
        return True  # a log's mark on its first line, the rest broken: still a log
    if not text.lstrip().startswith(("{", "[")):  # a log may be one JSON list
        return False
    try:
        return detect_format(parse_json(text)) in LOG_FORMATS
    except (ValueError, RecursionError):
        return False


@contextlib.contextmanager
def reading(where: str) -> Iterator[None]:
    """Within the block, a document no format reads raises BadDocument saying what was
    found in ``where``: Unsummarizable when it holds no user, assistant or tool message."""
    try:
        yield
    except WrongFormat as exc:
        named = setting("input_format")
        found = article(f"{exc.found} log") if exc.found in LOG_FORMATS else exc.found
        raise BadDocument(f"{where}: {exc.subject} is {found}, which {named} "
                          f"{exc.named} cannot read; use {named} {exc.found}") from None
    except NoMessages as exc:
        raise Unsummarizable(f"{where}: {exc}") from None
    except FormatError as exc:
        raise BadDocument(f"{where}: {exc}") from None
    except RecursionError:
        raise BadDocument(f"{where}: nested too deeply") from None


READING_LOG = logging.getLogger("morvex_summarize.reading")
"""Where reading a file tells what it left out: what an agent's log held that its reader
does not know (at INFO; the command line's ``-v`` shows it)."""


def read_messages(doc: Any, where: str, input_format: str = AUTO) -> list[dict[str, Any]]:
    """A conversation in any format as the summarizer's messages, or BadDocument saying
    what was found."""
    with reading(where):
        conversation = read_conversation(doc, input_format, require_messages=True)
    note_skipped(conversation, where)
    return cast("list[dict[str, Any]]", conversation.messages)


def note_skipped(conversation: Conversation, where: str) -> None:
    """Tells (`READING_LOG`) what reading ``where`` left out or read otherwise than the
    file has it, as warnings, and at INFO what its log held that its reader does not
    know."""
    for warning in conversation.warnings:
        READING_LOG.warning("%s: %s", where, warning)
    if conversation.skipped:
        READING_LOG.info("%s: skipped what its reader does not know: %s", where,
                         ", ".join(conversation.skipped))


def load_conversation(path: str, input_format: str = AUTO) -> list[dict[str, Any]]:
    """Loads a conversation file (``-`` for stdin) in any format, as the summarizer's
    messages."""
    return read_messages(read_document(path), where_of(path), input_format)


def text_conversation(text: str, where: str, input_format: str = AUTO
                      ) -> list[dict[str, Any]]:
    """`load_conversation` for a file's text already read."""
    return read_messages(parse_document(text, where), where, input_format)


# ---- output -----------------------------------------------------------------------------

def encode(text: str) -> bytes:
    """UTF-8, with a lone surrogate (which JSON text may hold as an escape) written as the
    same escape, so the output stays valid JSON and valid UTF-8."""
    return text.encode("utf-8", "backslashreplace")


def write_fd(fd: int, data: bytes, where: str) -> None:
    """Writes all of ``data``; OutputError naming ``where`` when it cannot. A reader that
    went away (``| head``) raises BrokenPipeError, which the tool ends quietly on."""
    view = memoryview(data)
    while view:
        try:
            written = os.write(fd, view)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(f"{where}: cannot write: {exc.strerror}") from None
        view = view[written:]


def is_regular_file(path: str) -> bool:
    """True for a regular file, or a path where none is yet (one will be made)."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True
    except OSError:
        return False


def check_output(path: str | None, *inputs: str | None) -> None:
    """OptionRefused, before anything is read or asked, for an output file that cannot be
    written as asked: one of the ``inputs`` (the same file by any name, links included),
    or a regular file with other names (hard links), which a whole new file in its place
    would part from it. A symbolic link is written through: its target is the file."""
    if path is None or path == "-":
        return
    try:
        found = os.stat(path)
    except OSError:
        return  # none yet (or none that can be looked at: writing it will tell)
    for given in inputs:
        if given is None or given == "-":
            continue
        try:
            same = os.path.samefile(given, path)
        except OSError:
            continue
        if same:
            raise OptionRefused(f"{setting('output')} {path}: is the input {given} itself; "
                                "write to another file")
    if stat.S_ISREG(found.st_mode) and found.st_nlink > 1:
        raise OptionRefused(f"{setting('output')} {path}: the file has "
                            f"{found.st_nlink} names (hard links), which writing it whole "
                            "would part; write to another file")


def output_file(path: str) -> tuple[str, int | None]:
    """The file an output path names (a symbolic link's target, which is written
    through), and the mode it has when it is there (kept when it is written)."""
    target = os.path.realpath(path)
    try:
        return target, stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        return target, None


def write_output(text: str, path: str | None) -> None:
    """Writes to standard output (None or ``-``) or to a file: a regular file is replaced
    at once when all of it is written, so a failure leaves no part of it behind; it keeps
    its mode, and a symbolic link keeps pointing to it (`check_output` refuses the rest)."""
    data = encode(text)
    if path is None or path == "-":
        write_fd(sys.stdout.fileno(), data, "standard output")
        return
    if not is_regular_file(path):
        try:
            fd = os.open(path, os.O_WRONLY)
        except OSError as exc:
            raise OutputError(f"{path}: cannot write: {exc.strerror}") from None
        try:
            write_fd(fd, data, path)
        finally:
            os.close(fd)
        return
    target, mode = output_file(path)
    with replacing(target, mode) as fd:
        write_fd(fd, data, path)


@contextlib.contextmanager
def replacing(path: str, mode: int | None = None, fsync: bool = False) -> Iterator[int]:
    """A new file beside ``path`` to write (its descriptor), put in its place with
    ``mode`` (default: a new file's, by the umask) when the block ends well (synced first
    when asked), and gone otherwise: a reader sees the old file or the new one, whole.
    OutputError when it cannot be."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".morvex-summarize-")
    except OSError as exc:
        raise OutputError(f"{path}: cannot write: {exc.strerror}") from None
    try:
        try:
            yield fd
            if fsync:
                os.fsync(fd)
        finally:
            os.close(fd)
        os.chmod(temporary, 0o666 & ~_umask() if mode is None else mode)
        os.replace(temporary, path)
    except OSError as exc:
        raise OutputError(f"{path}: cannot write: {exc.strerror}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
