"""``morvex-summarize batch``: many conversations, one JSON line each, with bounded
concurrency. Each result is appended and flushed as it finishes; a rerun skips the ids
already in the output, so an interrupted run loses nothing."""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import time
from collections.abc import Iterator
from contextlib import nullcontext
from dataclasses import dataclass, field
from typing import IO, Any

from .cli import add_client_arguments, build_client, check_messages, register, summarize_one
from .errors import (EXIT_OK, EXIT_PARTIAL, BadDocument, InputMissing, OutputError, ToolError,
                     classify_client_failure, is_fatal_for_batch)


@dataclass
class Job:
    line: int
    id: Any
    messages: list[dict[str, Any]]
    previous: str | None


@dataclass
class Counts:
    done: int = 0
    fallback: int = 0
    failed: int = 0
    bad_lines: int = 0
    skipped: int = 0
    errors: list[str] = field(default_factory=list)


def id_key(value: Any) -> str:
    return json.dumps(value, sort_keys=True)


def parse_line(text: str, where: str) -> Job | str:
    """A Job, or the reason the line is unusable."""
    try:
        doc = json.loads(text)
    except json.JSONDecodeError as exc:
        return f"invalid JSON at column {exc.colno}: {exc.msg}"
    if not isinstance(doc, dict):
        return f"expected an object, got {type(doc).__name__}"
    if "id" not in doc or isinstance(doc["id"], (dict, list)) or doc["id"] is None:
        return "missing or unusable \"id\" (a string or number)"
    try:
        messages = check_messages(doc.get("messages"), "\"messages\"")
    except BadDocument as exc:
        return str(exc)
    previous = doc.get("previous")
    if previous is not None and not isinstance(previous, str):
        return "\"previous\" must be a string"
    return Job(0, doc["id"], messages, previous)


def done_ids(path: str) -> set[str]:
    """Ids already in an output file; a line cut short by an interruption is ignored."""
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
    except OSError as exc:
        raise OutputError(f"{path}: cannot read: {exc.strerror}") from None
    return ids


def read_jobs(path: str, skip: set[str], counts: Counts) -> Iterator[Job]:
    seen: set[str] = set()
    try:
        f = sys.stdin if path == "-" else open(path, encoding="utf-8")
    except FileNotFoundError:
        raise InputMissing(f"{path}: no such file") from None
    except OSError as exc:
        raise InputMissing(f"{path}: {exc.strerror}") from None
    with f if path != "-" else nullcontext(f):
        for number, text in enumerate(f, 1):
            if not text.strip():
                continue
            job = parse_line(text, path)
            if isinstance(job, str):
                counts.bad_lines += 1
                print(f"morvex-summarize: {path}:{number}: skipped: {job}", file=sys.stderr)
                continue
            key = id_key(job.id)
            if key in seen:
                counts.bad_lines += 1
                print(f"morvex-summarize: {path}:{number}: skipped: duplicate id {job.id!r}",
                      file=sys.stderr)
                continue
            seen.add(key)
            if key in skip:
                counts.skipped += 1
                continue
            job.line = number
            yield job


class Writer:
    def __init__(self, path: str) -> None:
        try:
            self.file: IO[str] = open(path, "a+", encoding="utf-8")
            # An interrupted run may have left half a line: start on a fresh one.
            if self.file.tell() > 0:
                self.file.seek(self.file.tell() - 1)
                last = self.file.read(1)
                if last != "\n":
                    self.file.write("\n")
        except OSError as exc:
            raise OutputError(f"{path}: cannot write: {exc.strerror}") from None

    def write(self, doc: dict[str, Any]) -> None:
        self.file.write(json.dumps(doc, ensure_ascii=False) + "\n")
        self.file.flush()
        os.fsync(self.file.fileno()) if os.environ.get("MORVEX_SUMMARIZE_FSYNC") else None

    def close(self) -> None:
        self.file.close()


class Progress:
    def __init__(self) -> None:
        from rich.console import Console

        self.console = Console(stderr=True)
        self.bar: Any = None
        if self.console.is_terminal:
            from rich.progress import (BarColumn, MofNCompleteColumn, Progress as Bar,
                                       TextColumn, TimeElapsedColumn)
            self.bar = Bar(TextColumn("summarizing"), BarColumn(), MofNCompleteColumn(),
                           TextColumn("{task.fields[rate]:.1f}/s"), TimeElapsedColumn(),
                           console=self.console)
            self.task = self.bar.add_task("batch", total=None, rate=0.0)
        self.started = time.monotonic()

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
            if failure is not None:
                code, reason = classify_client_failure(failure)
                if code != 8:  # unreachable, time-out, bad key: leave the id for a rerun
                    counts.failed += 1
                    counts.errors.append(reason)
                    if is_fatal_for_batch(code):
                        stop.set()
                    progress.advance(counts.done + counts.fallback + counts.failed)
                    continue
            doc: dict[str, Any] = {"id": job.id, "summary": record, "context": context,
                                   "status": "ok" if failure is None else "fallback"}
            if failure is not None:
                doc["error"] = reason
                counts.fallback += 1
            else:
                counts.done += 1
            writer.write(doc)
            progress.advance(counts.done + counts.fallback + counts.failed)

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


def _add_batch(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="INPUT.jsonl",
                        help='one {"id": ..., "messages": [...], "previous": "..."} per line')
    parser.add_argument("--output", metavar="OUT.jsonl", required=True,
                        help="results are appended here; ids already in it are skipped")
    parser.add_argument("--concurrency", type=int, default=8,
                        help="conversations in flight at once (default: 8)")
    add_client_arguments(parser)


def _run_batch(args: argparse.Namespace) -> int:
    if args.concurrency < 1:
        raise ToolError("--concurrency must be at least 1", 2)
    if args.input != "-" and not os.path.isfile(args.input):
        raise InputMissing(f"{args.input}: no such file")
    skip = done_ids(args.output)
    client = build_client(args)
    counts = Counts()
    writer = Writer(args.output)
    started = time.monotonic()
    try:
        with Progress() as progress:
            asyncio.run(run_batch(client, read_jobs(args.input, skip, counts), writer,
                                  args.concurrency, counts, progress))
    except KeyboardInterrupt:
        writer.close()
        print(f"morvex-summarize: interrupted after {counts.done + counts.fallback} results; "
              "rerun the same command to continue", file=sys.stderr)
        raise
    writer.close()
    elapsed = time.monotonic() - started
    written = counts.done + counts.fallback
    print(f"morvex-summarize: {written} written ({counts.fallback} fallback), "
          f"{counts.skipped} already done, {counts.bad_lines} bad lines, {counts.failed} failed "
          f"in {elapsed:.2f} s ({written / max(elapsed, 1e-9):.1f}/s)", file=sys.stderr)
    if counts.errors:
        print(f"morvex-summarize: error: {counts.errors[0]}", file=sys.stderr)
        code, _ = EXIT_PARTIAL, None
        return code
    return EXIT_OK if counts.bad_lines == 0 else EXIT_PARTIAL


register("batch", "summarize many conversations from a JSON-lines file", _add_batch, _run_batch)
