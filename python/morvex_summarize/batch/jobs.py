"""The batch run both engines share: jobs read from JSON lines, results written as JSON
lines, and the local engine's bounded concurrency. Each result is appended
and flushed as it finishes; a rerun skips the ids already in the output (or retries those
of the statuses it is told to), so an interrupted run loses nothing and repeats nothing."""

from __future__ import annotations

import asyncio
import json
import os
import stat
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import IO, Any

from ..errors import (DOCUMENT, BadDocument, Failure, InputMissing, InvalidJSON,
                      OptionRefused, OutputError, Refused, Unsummarizable,
                      classify_client_failure, setting)
from ..files import (encode, is_regular_file, load_conversation, output_file, parse_json,
                     read_messages, replacing, where_of, write_fd)
from ..formats import AUTO
from ..formats.base import json_type
from ..native import raised_by_module
from ..summarizing import close_client, refusal_reason, summarize_one
from ..settings import DEFAULT_CONTEXT_TOKENS

STATUSES = ("ok", "unparsed", "fallback", "failed")
"""Statuses of a written result: a summary from the model's JSON; from its prose reply; a
fallback summary built from the messages because the model failed; no summary, because
the conversation cannot be summarized (the error says why)."""


@dataclass
class Job:
    line: int
    id: Any
    messages: list[dict[str, Any]]
    previous: str | None
    unsummarizable: str | None = None
    """Why the conversation, read, cannot be summarized (it holds no message): its result
    is a failed one, without asking the model."""


@dataclass
class Counts:
    written: dict[str, int] = field(default_factory=lambda: dict.fromkeys(STATUSES, 0))
    not_written: int = 0
    bad_lines: int = 0
    skipped: int = 0
    first_error: str | None = None
    stopped: Failure | None = None

    @property
    def finished(self) -> int:
        return sum(self.written.values()) + self.not_written


def id_key(value: Any) -> str:
    """One text per id, so that 7 and "7" stay apart and equal ids compare equal."""
    return json.dumps(value, sort_keys=True)


def id_columns(value: Any) -> tuple[str, str]:
    """An id of any JSON type as two texts, for a column of one type: the id (a string as
    it is, anything else as its JSON text) and its JSON type ("string", "number", ...)."""
    kind = json_type(value)
    return (value if kind == "string" else id_key(value)), kind


def id_from_columns(text: str, kind: str) -> Any:
    """The id that `id_columns` wrote as these texts."""
    return text if kind == "string" else json.loads(text)


def parse_line(text: str, input_format: str = AUTO) -> Job | str:
    """A Job, or the reason the line is unusable. The conversation is ``messages`` in any
    format, with Anthropic's ``system`` beside it when the line has one."""
    try:
        doc = parse_json(text.rstrip("\r\n"))
    except ValueError as exc:
        return str(exc).replace(" at line 1 column ", " at column ")
    return parse_doc(doc, input_format)


def parse_line_bytes(data: bytes, input_format: str = AUTO) -> Job | str:
    """parse_line for a line as it was read, which may not be UTF-8 text."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        return f"not UTF-8 text ({exc.reason} at byte {exc.start + 1} of the line)"
    return parse_line(text, input_format)


def parse_doc(doc: Any, input_format: str = AUTO) -> Job | str:
    """A Job from one conversation's object (a parsed line, a dataset's row), or the
    reason it is unusable."""
    if not isinstance(doc, dict):
        return f"expected an object, got {type(doc).__name__}"
    ident = doc.get("id")
    if not isinstance(ident, (str, int, float)) or isinstance(ident, bool):
        return 'missing or unusable "id" (a string or number)'
    conversation = doc.get("messages")
    if "system" in doc and isinstance(conversation, list):
        conversation = {"system": doc["system"], "messages": conversation}
    unsummarizable = None
    try:
        messages = read_messages(conversation, '"messages"', input_format)
    except Unsummarizable as exc:
        messages, unsummarizable = [], str(exc)
    except BadDocument as exc:
        return str(exc)
    previous = doc.get("previous")
    if previous is not None and not isinstance(previous, str):
        return '"previous" must be a string'
    return Job(0, ident, messages, previous, unsummarizable)


def _result(line: bytes) -> dict[str, Any] | None:
    """A complete result line, or None."""
    try:
        doc = json.loads(line)
    except (ValueError, RecursionError):
        return None
    if isinstance(doc, dict) and "id" in doc and "summary" in doc:
        return doc
    return None


RESULT_START = b'{"id": '
"""How every result line the writer writes starts: a last line cut short while it was
written still does."""


def earlier_results(path: str) -> dict[str, str]:
    """The id keys of the results in an output file, each with the status of its last
    line. A file of another kind (a pipe, a device) has none: it is never read. A regular
    file must be a results file (empty, or result lines only, the last one perhaps cut
    short by an interrupted run): anything else is OptionRefused, and left as it is."""
    statuses: dict[str, str] = {}
    if not is_regular_file(path):
        return statuses
    try:
        with open(path, "rb") as f:
            for number, line in enumerate(f, 1):
                doc = _result(line)
                if doc is not None:
                    statuses[id_key(doc["id"])] = str(doc.get("status", "ok"))
                elif line.strip() and (line.endswith(b"\n")
                                       or not line.startswith(RESULT_START)):
                    raise OptionRefused(
                        f"{setting('output')} {path}: not a results file (line {number} is "
                        "no result): name a new file, or one a batch wrote")
    except FileNotFoundError:
        pass
    except OSError as exc:
        raise OutputError(f"{path}: cannot read the earlier results: {exc.strerror}") from None
    return statuses


def count_lines(path: str) -> int | None:
    if path == "-":
        return None
    with open(path, "rb") as f:
        return sum(1 for line in f if line.strip())


def read_jobs(path: str, skip: set[str], counts: Counts, input_format: str = AUTO,
              on_bad_line: Callable[[str], None] | None = None,
              on_skip: Callable[[], None] | None = None) -> Iterator[Job]:
    """The jobs of a JSON-lines file (``-`` for stdin), the ids in ``skip`` left out
    (``on_skip`` is told of each). A bad line or a repeated id is counted and told to
    ``on_bad_line`` as ``FILE:LINE: skipped: REASON``."""
    seen: set[str] = set()
    try:
        raw: IO[bytes] = sys.stdin.buffer if path == "-" else open(path, "rb")
    except OSError as exc:
        raise InputMissing(f"{path}: {exc.strerror}") from None
    where = where_of(path)
    try:
        number = 0
        # Lines are split on their bytes and each decoded on its own: a line that is not
        # UTF-8 is one bad line, and its number is the true one.
        for data in raw:
            number += 1
            if not data.strip():
                continue
            job = parse_line_bytes(data, input_format)
            key = None if isinstance(job, str) else id_key(job.id)
            if isinstance(job, str) or key in seen:
                counts.bad_lines += 1
                if on_bad_line is not None:
                    reason = job if isinstance(job, str) else f"duplicate id {key}"
                    on_bad_line(f"{where}:{number}: skipped: {reason}")
                continue
            assert key is not None
            seen.add(key)
            if key in skip:
                counts.skipped += 1
                if on_skip is not None:
                    on_skip()
                continue
            job.line = number
            yield job
    finally:
        if path != "-":
            raw.close()


_OTHER_FILES = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device"),
                (stat.S_ISDIR, "a folder"))


def file_kind(path: str) -> str | None:
    """None for a regular file (or a link to one), else what it is: "a FIFO", "a
    socket", "a device", "a link to nothing"... Told without opening it (a FIFO would
    wait for a writer)."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "a link to nothing"
    except OSError as exc:
        return f"not readable ({exc.strerror})"
    if stat.S_ISREG(mode):
        return None
    return next((name for test, name in _OTHER_FILES if test(mode)), "not a file")


def folder_files(folder: str, leave: str | None = None,
                 on_other: Callable[[str], None] | None = None) -> list[str]:
    """The regular files under a folder (its hidden folders, such as .git, passed by),
    sorted by their path in it; ``leave``, the batch's own output, is not one of them.
    Anything else there (a FIFO, a socket, a device) is never opened: ``on_other`` is told
    of each as ``PATH: skipped: not a regular file (WHAT)``."""
    found = []
    for root, folders, files in os.walk(folder):
        folders[:] = sorted(f for f in folders if not f.startswith("."))
        for name in sorted(files):
            path = os.path.join(root, name)
            kind = file_kind(path)
            if kind is None:
                found.append(path)
            elif on_other is not None:
                on_other(f"{path}: skipped: not a regular file ({kind})")
    if leave is not None and leave != "-" and os.path.exists(leave):
        found = [path for path in found if not os.path.samefile(path, leave)]
    return sorted(found, key=lambda path: os.path.relpath(path, folder))


def read_folder_jobs(folder: str, files: list[str], skip: set[str], counts: Counts,
                     input_format: str = AUTO,
                     on_bad_line: Callable[[str], None] | None = None,
                     on_skip: Callable[[], None] | None = None) -> Iterator[Job]:
    """One job per file of a folder (a conversation file or an agent's session log, read
    as `summarize` reads it), its id the file's path in the folder. A file that is no
    conversation is counted as a bad line and told to ``on_bad_line``."""
    for path in files:
        ident = os.path.relpath(path, folder)
        if id_key(ident) in skip:
            counts.skipped += 1
            if on_skip is not None:
                on_skip()
            continue
        job = file_job(ident, lambda: load_conversation(path, input_format))
        if isinstance(job, str):
            counts.bad_lines += 1
            if on_bad_line is not None:
                on_bad_line(f"skipped: {job}")
            continue
        yield job


def file_job(ident: str, read: Callable[[], list[dict[str, Any]]]) -> Job | str:
    """The Job of one file (``read`` gives its messages), or the reason it is none."""
    try:
        return Job(0, ident, read(), None)
    except Unsummarizable as exc:
        return Job(0, ident, [], None, str(exc))
    except (InputMissing, InvalidJSON, BadDocument) as exc:
        return str(exc)


class Writer:
    """Appends one JSON line per result, each written whole or not at all. A regular file
    is resumed: a last line that an interrupted run left unfinished is cut off, or, when
    it is a complete result that lacks only its line break, given one. Output of another
    kind (standard output, a pipe, a device) is written as it comes."""

    def __init__(self, path: str, fsync: bool = False) -> None:
        self.path = "standard output" if path == "-" else path
        self.fsync = fsync
        self.regular = path != "-" and is_regular_file(path)
        try:
            if path == "-":
                self.fd = sys.stdout.fileno()
            elif self.regular:
                self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o666)
            else:
                self.fd = os.open(path, os.O_WRONLY | os.O_APPEND)
        except OSError as exc:
            raise OutputError(f"{path}: cannot write: {exc.strerror}") from None
        self.size = 0
        if self.regular:
            self._repair_end()

    def _repair_end(self) -> None:
        try:
            size = os.lseek(self.fd, 0, os.SEEK_END)
            keep = self._complete_length(size)
            if keep != size:
                tail = os.pread(self.fd, size - keep, keep)
                if _result(tail) is not None:
                    write_fd(self.fd, b"\n", self.path)
                    keep = size + 1
                else:
                    os.ftruncate(self.fd, keep)
            self.size = keep
        except OSError as exc:
            raise OutputError(f"{self.path}: cannot write: {exc.strerror}") from None

    def _complete_length(self, size: int) -> int:
        """Length of the file up to and including its last line break."""
        block = 4096
        end = size
        while end > 0:
            start = max(0, end - block)
            chunk = os.pread(self.fd, end - start, start)
            at = chunk.rfind(b"\n")
            if at >= 0:
                return start + at + 1
            end = start
        return 0

    def write(self, doc: dict[str, Any]) -> None:
        data = encode(json.dumps(doc, ensure_ascii=False) + "\n")
        try:
            write_fd(self.fd, data, self.path)
            if self.fsync and self.regular:
                os.fsync(self.fd)
        except BrokenPipeError:
            raise  # the reader went away: the tool ends quietly
        except OutputError:
            if self.regular:  # no torn line: what was written of this one goes
                try:
                    os.ftruncate(self.fd, self.size)
                except OSError:
                    pass
            raise
        except OSError as exc:
            raise OutputError(f"{self.path}: cannot write: {exc.strerror}") from None
        self.size += len(data)

    def close(self) -> None:
        if self.fd != sys.stdout.fileno():
            os.close(self.fd)


def compact(path: str) -> None:
    """Rewrites a result file with only the last line of each id, when an id has several
    (a retried result and the one it replaces): atomically, so an interruption leaves
    either file whole."""
    lines: dict[str, bytes] = {}
    total = 0
    with open(path, "rb") as f:
        for line in f:
            doc = _result(line)
            if doc is None:
                continue
            total += 1
            key = id_key(doc["id"])
            lines.pop(key, None)  # the last line of an id keeps its place at the end
            lines[key] = line if line.endswith(b"\n") else line + b"\n"
    if total == len(lines):
        return
    target, mode = output_file(path)  # a symbolic link stays one
    with replacing(target, mode, fsync=True) as fd:
        write_fd(fd, b"".join(lines.values()), path)


def _failed(job: Job, reason: str) -> tuple[dict[str, Any], Failure]:
    return ({"id": job.id, "summary": None, "context": None, "status": "failed",
             "error": reason}, Failure(DOCUMENT, reason))


async def summarize_result(client: Any, job: Job, deadline: float | None,
                           context_tokens: int = DEFAULT_CONTEXT_TOKENS
                           ) -> tuple[dict[str, Any] | None, Failure | None]:
    """The result line of one job, or None when it is to be retried by a later run (a
    transient failure, or a fatal one that stops the batch), with the model's failure."""
    if job.unsummarizable is not None:
        return _failed(job, job.unsummarizable)
    try:
        record, context, outcome = await summarize_one(client, job.messages, job.previous,
                                                       deadline,
                                                       context_tokens=context_tokens)
    except Exception as exc:
        if not (isinstance(exc, Refused) or raised_by_module(exc)):
            raise
        # The summarizer refused these messages: a result of their own, and the run goes on.
        return _failed(job, refusal_reason(exc, job.messages))
    doc: dict[str, Any] = {"id": job.id, "summary": record, "context": context,
                           "status": outcome.status}
    if outcome.failure is None:
        return doc, None
    found = classify_client_failure(outcome.failure)
    if found.transient or found.fatal:
        return None, found  # not written: a rerun asks the model again
    doc["error"] = found.reason  # the model cannot summarize it: keep the fallback
    return doc, found


async def summarize_job(client: Any, job: Job, deadline: float | None,
                        counts: Counts, context_tokens: int = DEFAULT_CONTEXT_TOKENS
                        ) -> dict[str, Any] | None:
    """The result line of one job, or None when it is to be retried by a later run."""
    doc, found = await summarize_result(client, job, deadline, context_tokens)
    if found is not None:
        counts.first_error = counts.first_error or found.reason
        if found.fatal and counts.stopped is None:
            counts.stopped = found
    return doc


async def run_batch(client: Any, jobs: Iterator[Job], writer: Writer, concurrency: int,
                    counts: Counts, on_done: Callable[[int], None] | None = None,
                    deadline: float | None = None,
                    context_tokens: int = DEFAULT_CONTEXT_TOKENS) -> None:
    """Runs the jobs, at most ``concurrency`` at once, telling ``on_done`` the results
    finished so far after each. A failure to write ends the run at once (the results in
    flight are cancelled); any other failure is one job's result."""
    slots = asyncio.Semaphore(concurrency)

    async def one(job: Job) -> None:
        try:
            doc = await summarize_job(client, job, deadline, counts, context_tokens)
            if doc is None:
                counts.not_written += 1
            else:
                writer.write(doc)
                counts.written[doc["status"]] += 1
            if on_done is not None:
                on_done(counts.finished)
        finally:
            slots.release()

    try:
        async with asyncio.TaskGroup() as group:
            for job in jobs:
                await slots.acquire()
                if counts.stopped is not None:
                    slots.release()
                    break
                group.create_task(one(job))
    except BaseExceptionGroup as group_error:
        raise group_error.exceptions[0] from None
    finally:
        await close_client(client)


def is_parquet(path: str) -> bool:
    """A Parquet file or a folder of them (the Ray engine's dataset: a path ending in a
    slash names a folder, one that may not be there yet), else JSON lines."""
    return path.endswith((".parquet", "/", os.sep)) or os.path.isdir(path)


def check_output_folder(path: str) -> None:
    """OutputError naming what is missing when the folder a JSON-lines output goes in is
    not there (rather than the system's "No such file or directory")."""
    if path == "-":
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputError(f"{path}: no such folder: {os.path.dirname(path) or folder}")
