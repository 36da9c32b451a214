"""Batch summaries on Ray Data, for corpora past what one process serves.

``summarize_dataset`` maps a dataset of ``{"id", "messages", "previous"}`` rows (the
messages in any format the package reads, as a list or as JSON text) through a pool of
actors, each holding one client and keeping many conversations in flight, into a dataset of
result rows. `ParquetParts` writes result rows as Parquet parts added to a folder, so an
interrupted run resumes by skipping the ids already written.

Ray retries the work of an actor that dies; a block's rows reach the driver only once its
task has finished, so each id is written once. Ray is imported only when a dataset is
made.
"""

from __future__ import annotations

import asyncio
import functools
import importlib
import json
import os
import time
from collections.abc import Callable, Iterable
from typing import Any

from ..errors import Failure, InputMissing, OutputError, needs
from ..files import is_log_text, parse_json, replacing, text_conversation
from ..formats import AUTO
from ..records import LLMClient
from ..settings import ACTORS, DEFAULT_CONTEXT_TOKENS
from .jobs import (Job, file_job, folder_files, id_columns, id_from_columns, id_key, parse_doc,
                   parse_line, parse_line_bytes, summarize_result)

RESULT_COLUMNS = ("id", "id_type", "key", "status", "summary", "context", "error",
                  "failure", "where")
"""Columns of a result row, each of one type whatever the ids are. ``id`` and ``id_type``
are the id as `id_columns` writes it (a string id as it is, any other as its JSON text;
its JSON type), ``key`` the id as JSON text (5 and "5" differ); ``summary`` is the record
as JSON text, the model's values unchecked; ``failure`` is the kind of the row's failure,
if any (`morvex_summarize.errors.KINDS`); ``where`` is the file and line of a row read from JSON lines
("path:N"), else None."""

PARQUET_COLUMNS = ("id", "id_type", "status", "summary", "context", "error")
"""The columns of the Parquet output, all text, in every part alike."""

NOT_WRITTEN = {
    "retry": "a transient failure (rate limit, server error, time-out) outlasted the "
             "client's retries: a rerun asks again",
    "stopped": "a failure every request shares (bad key, no server): the actor stopped",
    "invalid": "the row is not a conversation (error says why)",
    "skipped": "the id is among those the caller said to skip",
}
"""Statuses a result row may have besides the written ones (ok, unparsed, fallback, failed)."""

DEFAULT_ACTORS = ACTORS
CPUS_PER_ACTOR = 0.5
"""An actor mostly waits on the model; half a CPU each leaves room for the readers."""

def _without_nulls(value: Any) -> Any:
    """Parquet gives each message every field any message has, null where it had none:
    the fields a message did not have are dropped again."""
    if isinstance(value, dict):
        return {k: _without_nulls(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [_without_nulls(v) for v in value]
    return value


def json_lines(path: str, on_other: Callable[[str], None] | None = None) -> Any:
    """A JSON-lines file, or a folder of them, as a dataset of lines. Each line is split
    on its bytes and decoded on its own (by ``row_job``): a line that is not UTF-8 text
    is one bad line, reported with its number, where Ray's text reader fails the file. A
    file of the folder that is an agent's session log (by its content) is one row, its id
    its path in the folder. Of a folder, regular files only are read: ``on_other`` is told
    of anything else (`folder_files`)."""
    folder = os.path.isdir(path)
    root = os.path.abspath(path) if folder else os.path.dirname(os.path.abspath(path))
    # The files a local batch of the folder reads (Ray's own listing passes hidden files
    # by, such as aider's .aider.chat.history.md).
    files = [os.path.abspath(f) for f in folder_files(path, None, on_other)] \
        if folder else path
    if not files:
        raise InputMissing(f"{path}: no regular files in this folder")
    return ray_data().read_binary_files(files, include_paths=True).flat_map(
        functools.partial(_lines, root=root))


def _lines(row: dict[str, Any], root: str = "") -> list[dict[str, Any]]:
    where = row.get("path") or ""
    data = row["bytes"]
    try:
        log = is_log_text(data.decode("utf-8"))
    except UnicodeDecodeError:
        log = False
    if log:
        return [{"log": data, "where": where,
                 "id": os.path.relpath(where, root) if root and where else where}]
    return [{"data": data, "where": f"{where}:{number}"}
            for number, data in enumerate(data.split(b"\n"), 1) if data.strip()]


def row_job(row: dict[str, Any], input_format: str = AUTO) -> Job | str | None:
    """The Job of one dataset row, the reason it is unusable, or None for a blank line. A
    row is a conversation's fields, one line of a JSON-lines file: ``{"data": bytes}``
    as ``json_lines`` reads it, or ``{"text": ...}``, or a whole log file: ``{"log":
    bytes, "id": ...}``."""
    if "messages" not in row and isinstance(row.get("log"), bytes):
        where = str(row.get("where") or row["id"])
        return file_job(str(row["id"]), lambda: text_conversation(
            row["log"].decode("utf-8"), where, input_format))
    if "messages" not in row and isinstance(row.get("data"), bytes):
        data = row["data"]
        return parse_line_bytes(data, input_format) if data.strip() else None
    if "messages" not in row and isinstance(row.get("text"), str):
        text = row["text"]
        return parse_line(text, input_format) if text.strip() else None
    doc = {k: v for k, v in row.items() if not (k in ("system", "previous") and v is None)}
    messages = doc.get("messages")
    if isinstance(messages, str):
        try:
            doc["messages"] = parse_json(messages)
        except ValueError as exc:
            return f'"messages": {exc}'
    elif isinstance(messages, list):
        doc["messages"] = _without_nulls(messages)
    return parse_doc(doc, input_format)


def _result(ident: Any, status: str, *, summary: Any = None, context: str | None = None,
            error: str | None = None, failure: str | None = None,
            where: str | None = None) -> dict[str, Any]:
    text, kind = (None, None) if ident is None else id_columns(ident)
    return {"id": text, "id_type": kind, "key": None if ident is None else id_key(ident),
            "status": status,
            "summary": None if summary is None else json.dumps(summary, ensure_ascii=False),
            "context": context, "error": error, "failure": failure, "where": where}


class Summarize:
    """The callable class of ``Dataset.map_batches``: one actor, one client, at most
    ``in_flight`` conversations waiting on the model at once across the batches Ray hands
    it together. After a failure every request shares, it asks the model nothing more."""

    def __init__(self, make_client: Callable[[], LLMClient], input_format: str = AUTO,
                 deadline: float | None = None, in_flight: int = 32,
                 skip: Iterable[str] = (),
                 context_tokens: int = DEFAULT_CONTEXT_TOKENS) -> None:
        self.make_client = make_client
        self.input_format = input_format
        self.deadline = deadline
        self.context_tokens = context_tokens
        self.skip = frozenset(skip)
        self.client: LLMClient | None = None
        self.slots = asyncio.Semaphore(in_flight)
        self.stopped: Failure | None = None

    async def __call__(self, batch: Any) -> dict[str, list[Any]]:
        rows = batch.to_pylist() if hasattr(batch, "to_pylist") else _rows(batch)
        if self.client is None:
            self.client = self.make_client()
        results = await asyncio.gather(*(self.one(row) for row in rows))
        kept = [r for r in results if r is not None]
        return {name: [r[name] for r in kept] for name in RESULT_COLUMNS}

    async def one(self, row: dict[str, Any]) -> dict[str, Any] | None:
        job = row_job(row, self.input_format)
        if job is None:
            return None
        if isinstance(job, str):
            return _result(None, "invalid", error=job, where=row.get("where"))
        if id_key(job.id) in self.skip:
            return _result(job.id, "skipped")
        async with self.slots:
            if self.stopped is None:
                assert self.client is not None
                doc, found = await summarize_result(self.client, job, self.deadline,
                                                    self.context_tokens)
            else:
                doc, found = None, self.stopped
        if doc is not None:
            return _result(job.id, doc["status"], summary=doc["summary"],
                           context=doc["context"], error=doc.get("error"),
                           failure=None if found is None else found.kind)
        assert found is not None
        if found.fatal:
            self.stopped = self.stopped or found
        return _result(job.id, "stopped" if found.fatal else "retry", error=found.reason,
                       failure=found.kind)


def _rows(batch: dict[str, Any]) -> list[dict[str, Any]]:
    """Rows of a batch given as columns (numpy or lists)."""
    names = list(batch)
    columns = [list(batch[n]) for n in names]
    return [dict(zip(names, values)) for values in zip(*columns)]


def summarize_dataset(ds: Any, make_client: Callable[[], LLMClient], *,
                      actors: int = DEFAULT_ACTORS, in_flight: int = 32,
                      input_format: str = AUTO, deadline: float | None = None,
                      skip: Iterable[str] = (), batch_size: int = 64,
                      cpus_per_actor: float = CPUS_PER_ACTOR,
                      context_tokens: int = DEFAULT_CONTEXT_TOKENS) -> Any:
    """A dataset of result rows (RESULT_COLUMNS) for a dataset of conversation rows, on a
    pool of ``actors`` actors. ``make_client`` is called once in each actor, so it must
    pickle (a function of the package, or a ``functools.partial`` of one). ``skip`` holds
    the ``id_key`` of ids already done. The written statuses are those of ``batch``;
    NOT_WRITTEN lists the others."""
    # Blocks of a few batches each, however the input was stored (one big file is one
    # block as read): every actor gets work, and a retried block repeats little.
    return ds.repartition(target_num_rows_per_block=batch_size * 4).map_batches(
        Summarize, fn_constructor_kwargs={"make_client": make_client,
                                          "input_format": input_format,
                                          "deadline": deadline, "in_flight": in_flight,
                                          "skip": frozenset(skip),
                                          "context_tokens": context_tokens},
        batch_size=batch_size, batch_format="pyarrow",
        compute=ray_data().ActorPoolStrategy(size=actors, max_concurrent_calls_per_actor=4),
        num_cpus=cpus_per_actor)


def ray_data() -> Any:
    return importlib.import_module("ray.data")


def parquet_schema() -> Any:
    """One schema for every part, decided before any model call: every column text, so no
    part has a column typed by its values (``null`` where no row failed, say)."""
    pa = needs("pyarrow", "Parquet output")
    return pa.schema([(name, pa.string()) for name in PARQUET_COLUMNS])


class ParquetParts:
    """Results as Parquet files in a folder, one part per streamed block, each renamed into
    place whole, all of `parquet_schema`: ``pyarrow.parquet.read_table``,
    ``pandas.read_parquet`` and ``ray.data.read_parquet`` read the folder as one table.
    Part names sort in the order they were written, so the last row of an id is its
    newest."""

    def __init__(self, folder: str) -> None:
        self.pq = needs("pyarrow.parquet", "Parquet output")
        self.schema = parquet_schema()
        self.folder = folder.rstrip("/" + os.sep) or folder
        self.stamp = time.time_ns()
        self.count = 0
        self.mixed = False  # a part of another schema (an earlier version's) is there
        if os.path.exists(self.folder) and not os.path.isdir(self.folder):
            raise OutputError(f"{folder}: a file, not a folder: Parquet output is a folder "
                              "of parts (write JSON lines to a file)")
        try:
            os.makedirs(self.folder, exist_ok=True)
        except OSError as exc:
            raise OutputError(f"{folder}: cannot make the folder: {exc.strerror}") from None

    def parts(self) -> list[str]:
        return sorted(os.path.join(self.folder, n) for n in os.listdir(self.folder)
                      if n.startswith("part-") and n.endswith(".parquet"))

    def _rows(self, path: str, columns: list[str] | None = None) -> list[dict[str, Any]]:
        """A part's rows, in this schema whatever schema the part has."""
        try:
            found = self.pq.read_schema(path)
            if found.names != self.schema.names or not found.equals(self.schema):
                self.mixed = True
            typed = "id_type" in found.names
            wanted = None if columns is None else columns + (["id_type"] if typed else [])
            table = self.pq.read_table(path, columns=wanted)
            rows: list[dict[str, Any]] = table.to_pylist()
        except Exception as exc:  # pyarrow's errors are plain exceptions of its own
            raise OutputError(f"{path}: cannot read the earlier results: {exc}") from None
        if not typed:  # the id in a column of its own type
            for row in rows:
                row["id"], row["id_type"] = id_columns(row["id"])
        return rows

    def earlier(self) -> dict[str, str]:
        statuses: dict[str, str] = {}
        for path in self.parts():
            for row in self._rows(path, ["id", "status"]):
                ident = id_from_columns(row["id"], row["id_type"])
                statuses[id_key(ident)] = str(row["status"])
        return statuses

    def _table(self, rows: list[dict[str, Any]]) -> Any:
        pa = needs("pyarrow", "Parquet output")
        return pa.Table.from_pylist([{n: r.get(n) for n in PARQUET_COLUMNS} for r in rows],
                                    schema=self.schema)

    def write(self, rows: list[dict[str, Any]]) -> None:
        if not rows:
            return
        self.count += 1
        self._put(self._table(rows), f"part-{self.stamp:020d}-{self.count:06d}.parquet")

    def _put(self, table: Any, name: str) -> None:
        final = os.path.join(self.folder, name)
        with replacing(final) as fd, os.fdopen(fd, "wb", closefd=False) as f:
            self.pq.write_table(table, f)

    def compact(self) -> None:
        """One part holding the last row of each id, when a retry left an id twice or a
        part of an earlier version's schema is there."""
        parts = self.parts()
        rows: dict[str, dict[str, Any]] = {}
        total = 0
        for path in parts:
            for row in self._rows(path):
                total += 1
                key = id_key(id_from_columns(row["id"], row["id_type"]))
                rows.pop(key, None)
                rows[key] = row
        if total == len(rows) and not self.mixed:
            return
        self._put(self._table(list(rows.values())),
                  f"part-{time.time_ns():020d}-000000.parquet")
        for path in parts:
            os.unlink(path)
