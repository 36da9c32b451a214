"""``morvex-summarize batch``: many conversations, one JSON line each, with bounded
concurrency. Each result is appended and flushed as it finishes; a rerun skips the ids
already in the output, so an interrupted run loses nothing and repeats nothing."""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import time
from collections.abc import Iterator
from contextlib import nullcontext
from dataclasses import dataclass
from typing import IO, Any

from .cli import (add_client_arguments, add_format_argument, build_client, close_client,
                  read_messages, register, summarize_one)
from .formats import AUTO
from .errors import (EXIT_OK, EXIT_PARTIAL, EXIT_USAGE, BadDocument, Failure, InputMissing,
                     OutputError, ToolError, classify_client_failure)


@dataclass
class Job:
    line: int
    id: Any
    messages: list[dict[str, Any]]
    previous: str | None


@dataclass
class Counts:
    ok: int = 0
    fallback: int = 0
    failed: int = 0
    bad_lines: int = 0
    skipped: int = 0
    first_error: str | None = None
    stopped: Failure | None = None

    @property
    def finished(self) -> int:
        return self.ok + self.fallback + self.failed


def id_key(value: Any) -> str:
    """One text per id, so that 7 and "7" stay apart and equal ids compare equal."""
    return json.dumps(value, sort_keys=True)


def parse_line(text: str, input_format: str = AUTO) -> Job | str:
    """A Job, or the reason the line is unusable. The conversation is ``messages`` in any
    format, with Anthropic's ``system`` beside it when the line has one."""
    try:
        doc = json.loads(text)
    except json.JSONDecodeError as exc:
        return f"invalid JSON at column {exc.colno}: {exc.msg}"
    if not isinstance(doc, dict):
        return f"expected an object, got {type(doc).__name__}"
    ident = doc.get("id")
    if not isinstance(ident, (str, int, float)) or isinstance(ident, bool):
        return 'missing or unusable "id" (a string or number)'
    conversation = doc.get("messages")
    if "system" in doc and isinstance(conversation, list):
        conversation = {"system": doc["system"], "messages": conversation}
    try:
        messages = read_messages(conversation, '"messages"', input_format)
    except BadDocument as exc:
        return str(exc)
    previous = doc.get("previous")
    if previous is not None and not isinstance(previous, str):
        return '"previous" must be a string'
    return Job(0, ident, messages, previous)


def done_ids(path: str) -> set[str]:
    """Ids already in an output file."""
    ids: set[str] = set()
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                try:
                    doc = json.loads(line)
                except json.JSONDecodeError:
                    continue
                if isinstance(doc, dict) and "id" in doc and "summary" in doc:
                    ids.add(id_key(doc["id"]))
    except FileNotFoundError:
        pass
    except (OSError, UnicodeDecodeError) as exc:
        raise OutputError(f"{path}: cannot read the earlier results: {exc}") from None
    return ids


def count_lines(path: str) -> int | None:
    if path == "-":
        return None
    with open(path, "rb") as f:
        return sum(1 for line in f if line.strip())


def read_jobs(path: str, skip: set[str], counts: Counts, input_format: str = AUTO
              ) -> Iterator[Job]:
    seen: set[str] = set()
    try:
        f = sys.stdin if path == "-" else open(path, encoding="utf-8")
    except OSError as exc:
        raise InputMissing(f"{path}: {exc.strerror}") from None
    where = "<stdin>" if path == "-" else path
    with nullcontext(f) if path == "-" else f:
        number = 0
        while True:
            try:
                text = f.readline()
            except UnicodeDecodeError:
                raise BadDocument(f"{where}: not UTF-8 text after line {number}") from None
            if not text:
                return
            number += 1
            if not text.strip():
                continue
            job = parse_line(text, input_format)
            if isinstance(job, str):
                counts.bad_lines += 1
                print(f"morvex-summarize: {where}:{number}: skipped: {job}", file=sys.stderr)
                continue
            key = id_key(job.id)
            if key in seen:
                counts.bad_lines += 1
                print(f"morvex-summarize: {where}:{number}: skipped: duplicate id {key}",
                      file=sys.stderr)
                continue
            seen.add(key)
            if key in skip:
                counts.skipped += 1
                continue
            job.line = number
            yield job


class Writer:
    """Appends one JSON line per result and flushes it at once. A line that an earlier,
    interrupted run left unfinished is cut off first: it holds no usable result."""

    def __init__(self, path: str, fsync: bool = False) -> None:
        self.fsync = fsync
        try:
            self.file: IO[bytes] = open(path, "ab+")
            size = self.file.seek(0, os.SEEK_END)
            if size:
                keep = self._complete_length(size)
                if keep != size:
                    self.file.truncate(keep)
                    self.file.seek(0, os.SEEK_END)
        except OSError as exc:
            raise OutputError(f"{path}: cannot write: {exc.strerror}") from None
        self.path = path

    def _complete_length(self, size: int) -> int:
        """Length of the file up to and including its last line break."""
        block = 4096
        end = size
        while end > 0:
            start = max(0, end - block)
            self.file.seek(start)
            chunk = self.file.read(end - start)
            at = chunk.rfind(b"\n")
            if at >= 0:
                return start + at + 1
            end = start
        return 0

    def write(self, doc: dict[str, Any]) -> None:
        data = (json.dumps(doc, ensure_ascii=False) + "\n").encode("utf-8")
        try:
            self.file.write(data)
            self.file.flush()
            if self.fsync:
                os.fsync(self.file.fileno())
        except OSError as exc:
            raise OutputError(f"{self.path}: cannot write: {exc.strerror}") from None

    def close(self) -> None:
        self.file.close()


class Progress:
    """A progress bar with counts and rate on stderr when it is a terminal."""

    def __init__(self, total: int | None) -> None:
        from rich.console import Console

        self.console = Console(stderr=True)
        self.bar: Any = None
        self.started = time.monotonic()
        if self.console.is_terminal:
            from rich.progress import BarColumn, MofNCompleteColumn
            from rich.progress import Progress as Bar
            from rich.progress import TextColumn, TimeElapsedColumn

            self.bar = Bar(TextColumn("summarizing"), BarColumn(), MofNCompleteColumn(),
                           TextColumn("{task.fields[rate]:.1f}/s"), TimeElapsedColumn(),
                           console=self.console)
            self.task = self.bar.add_task("batch", total=total, rate=0.0)

    def __enter__(self) -> Progress:
        if self.bar is not None:
            self.bar.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.stop()

    def advance(self, finished: int) -> None:
        if self.bar is not None:
            rate = finished / max(time.monotonic() - self.started, 1e-9)
            self.bar.update(self.task, completed=finished, rate=rate)


async def run_batch(client: Any, jobs: Iterator[Job], writer: Writer, concurrency: int,
                    counts: Counts, progress: Progress) -> None:
    queue: asyncio.Queue[Job | None] = asyncio.Queue(maxsize=concurrency * 2)
    stop = asyncio.Event()

    async def worker() -> None:
        while True:
            job = await queue.get()
            if job is None:
                return
            if stop.is_set():
                continue
            record, context, failure = await summarize_one(client, job.messages, job.previous)
            doc: dict[str, Any] = {"id": job.id, "summary": record, "context": context,
                                   "status": "ok"}
            if failure is not None:
                found = classify_client_failure(failure)
                counts.first_error = counts.first_error or found.reason
                if found.fatal and not stop.is_set():
                    counts.stopped = found
                    stop.set()
                if found.transient or found.fatal:
                    # Not written: a rerun asks the model again.
                    counts.failed += 1
                    progress.advance(counts.finished)
                    continue
                # The model cannot summarize this conversation: keep the fallback summary.
                doc["status"] = "fallback"
                doc["error"] = found.reason
                counts.fallback += 1
            else:
                counts.ok += 1
            writer.write(doc)
            progress.advance(counts.finished)

    workers = [asyncio.create_task(worker()) for _ in range(concurrency)]
    try:
        for job in jobs:
            if stop.is_set():
                break
            await queue.put(job)
        for _ in workers:
            await queue.put(None)
        await asyncio.gather(*workers)
    finally:
        for w in workers:
            w.cancel()
        await close_client(client)


def _add_batch(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="INPUT.jsonl",
                        help='one {"id": ..., "messages": [...], "previous": "..."} per line '
                             "(- for stdin)")
    parser.add_argument("--output", metavar="OUT.jsonl", required=True,
                        help="results are appended here; ids already in it are skipped")
    parser.add_argument("--concurrency", type=int, default=8,
                        help="conversations in flight at once (default: 8)")
    parser.add_argument("--fsync", action="store_true",
                        help="also sync each result to disk (survives a power cut)")
    add_format_argument(parser)
    add_client_arguments(parser)


def _run_batch(args: argparse.Namespace) -> int:
    if args.concurrency < 1:
        raise ToolError("--concurrency must be at least 1", EXIT_USAGE)
    if args.input != "-" and not os.path.isfile(args.input):
        raise InputMissing(f"{args.input}: no such file")
    if args.input != "-" and os.path.exists(args.output) and \
            os.path.samefile(args.input, args.output):
        raise ToolError("--output must not be the input file", EXIT_USAGE)
    skip = done_ids(args.output)
    total = count_lines(args.input)
    client = build_client(args)
    counts = Counts()
    writer = Writer(args.output, fsync=args.fsync)
    started = time.monotonic()
    try:
        with Progress(total) as progress:
            jobs = read_jobs(args.input, skip, counts, args.input_format)
            asyncio.run(run_batch(client, jobs, writer, args.concurrency, counts, progress))
    except KeyboardInterrupt:
        print(f"morvex-summarize: interrupted after {counts.ok + counts.fallback} results; "
              "rerun the same command to continue", file=sys.stderr)
        raise
    finally:
        writer.close()
    elapsed = time.monotonic() - started
    written = counts.ok + counts.fallback
    print(f"morvex-summarize: {written} written ({counts.fallback} fallback), "
          f"{counts.skipped} already done, {counts.bad_lines} bad lines, {counts.failed} failed, "
          f"in {elapsed:.2f} s ({written / max(elapsed, 1e-9):.1f}/s)", file=sys.stderr)
    if counts.stopped is not None:
        raise ToolError(f"batch stopped: {counts.stopped.reason}", counts.stopped.exit_code)
    if counts.first_error is not None:
        print(f"morvex-summarize: error: {counts.first_error}; rerun to retry the "
              "conversations not written", file=sys.stderr)
        return EXIT_PARTIAL
    return EXIT_OK if counts.bad_lines == 0 else EXIT_PARTIAL


register("batch", "summarize many conversations from a JSON-lines file", _add_batch, _run_batch)
