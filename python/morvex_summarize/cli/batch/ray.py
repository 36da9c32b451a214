"""``batch --engine ray``: the local engine's command, its conversations summarized by a
pool of Ray actors (`morvex_summarize.batch.ray`). It streams the result rows back and
writes them as the local engine does (JSON lines appended, or Parquet parts added to a
folder), so an interrupted run resumes by skipping the ids already written. Ray is
imported only when the engine is asked for."""

from __future__ import annotations

import argparse
import contextlib
import functools
import importlib
import json
import logging
import os
import sys
import tempfile
import time
import warnings
from collections.abc import Iterator
from typing import Any

from ...batch.jobs import (STATUSES, Counts, Writer, check_output_folder, compact,
                           earlier_results, is_parquet)
from ...batch.ray import (DEFAULT_ACTORS, ParquetParts, json_lines, summarize_dataset)
from ...clients.registry import build, default_choice, kind_of
from ...errors import ConfigError, Failure, InputMissing, install
from ...files import check_output
from ...records import LLMClient
from ..options import PROG, client_settings
from ..status import EXIT_UNREACHABLE, ToolError, UsageError
from .report import report, tell


def _client_factory(args: argparse.Namespace) -> functools.partial[LLMClient]:
    """What each actor calls to make its client: a portable client of the registry, its
    settings taken from the environment here, once, so that every actor makes the same
    client wherever it runs."""
    settings = client_settings(args)
    choice = args.llm or default_choice(settings)
    if args.llm is None and choice == "extractive":
        print(f"{PROG}: no model configured; using the offline extractive summarizer (use "
              "--llm/--model to pick a model)", file=sys.stderr)
    kind = kind_of(choice)
    if not kind.portable:
        raise UsageError(f"--llm {choice}: this client cannot be made in a Ray worker")
    make_client = functools.partial(build, choice, kind.settle(settings))
    if not kind.loads_model:
        make_client()  # a missing model or key is told here, once, not by every actor
    return make_client


def _ray() -> Any:
    try:
        ray = importlib.import_module("ray")
        importlib.import_module("ray.data")
    except ImportError:
        raise ConfigError(f"--engine ray needs Ray Data: {install('ray')}") from None
    return ray


def _connect(ray: Any, address: str | None, variables: tuple[str, ...]) -> None:
    """Joins the cluster at ``address`` (or $RAY_ADDRESS), else starts one on this machine,
    on loopback. The client's ``variables`` go to the workers, wherever they run."""
    env = {k: os.environ[k] for k in variables if os.environ.get(k)}
    options: dict[str, Any] = {"log_to_driver": False, "logging_level": logging.ERROR,
                               "runtime_env": {"env_vars": env} if env else None}
    if address is None and not os.environ.get("RAY_ADDRESS"):
        options.update(include_dashboard=False, _node_ip_address="127.0.0.1")
    # Ray's own notices at start-up would bury the tool's report; a failure of the job
    # still reaches it, as the error the job ends with.
    for name in ("ray", "ray.data"):
        logging.getLogger(name).setLevel(logging.ERROR)
    try:
        ray.init(address=address, **options)
    except (ConnectionError, ValueError, RuntimeError) as exc:
        where = address or os.environ.get("RAY_ADDRESS") or "this machine"
        first = (str(exc).strip().splitlines() or [type(exc).__name__])[0]
        raise ToolError(f"cannot start or join Ray at {where}: {first}",
                        EXIT_UNREACHABLE) from None
    warnings.filterwarnings("ignore", message="The minimum number of concurrent actors")
    context = ray.data.DataContext.get_current()
    context.enable_progress_bars = False
    context.print_on_execution_start = False


def _parquet_input(path: str) -> bool:
    """Parquet input: a .parquet file, or a folder holding one; any other folder holds
    JSON-lines files and agents' session logs."""
    if not os.path.isdir(path):
        return path.endswith(".parquet")
    return any(name.endswith(".parquet") for _, _, names in os.walk(path) for name in names)


def _check_paths(args: argparse.Namespace) -> None:
    if "-" in (args.input, args.output):
        raise UsageError("--engine ray reads and writes files, not standard input or output")
    if os.path.isdir(args.input) and not any(names for _, _, names in os.walk(args.input)):
        raise InputMissing(f"{args.input}: no files in this folder")
    if not os.path.exists(args.input):
        raise InputMissing(f"{args.input}: no such file")
    check_output(args.output, args.input)
    if not is_parquet(args.output):
        check_output_folder(args.output)


@contextlib.contextmanager
def lines_aside() -> Iterator[None]:
    """Within the block, what is written to this process's standard error by other code
    than Python's (Ray's core, and the processes it starts here, log their own error-level
    lines there on runs that succeed) is set aside and dropped; the tool's own lines, and
    its logging's, still reach standard error. A failure of the job is reported by the
    error it ends with."""
    sys.stderr.flush()
    original = os.dup(2)
    was = sys.stderr
    stream = os.fdopen(os.dup(original), "w", buffering=1, encoding="utf-8",
                       errors="backslashreplace")
    handlers = [h for h in logging.getLogger().handlers
                if isinstance(h, logging.StreamHandler) and h.stream is was]
    with tempfile.TemporaryFile() as aside:
        os.dup2(aside.fileno(), 2)
        sys.stderr = stream
        for handler in handlers:
            handler.setStream(stream)
        try:
            yield
        finally:
            stream.flush()
            sys.stderr = was
            for handler in handlers:
                handler.setStream(was)
            os.dup2(original, 2)
            os.close(original)
            stream.close()


def _drain(results: Any, sink: Writer | ParquetParts, counts: Counts, where: str) -> None:
    """Writes the result rows as their blocks finish; the first id wins over a duplicate."""
    seen: set[str] = set()
    for batch in results.iter_batches(batch_format="pyarrow", batch_size=None):
        keep: list[dict[str, Any]] = []
        for row in batch.to_pylist():
            status, key, error = row["status"], row["key"], row["error"]
            if status == "invalid":
                counts.bad_lines += 1
                place = row.get("where") or where
                # a log's error names its file already, as the local engine tells it
                tell(f"skipped: {error}" if error.startswith(f"{place}: ") else
                     f"{place}: skipped: {error}")
                continue
            if status == "skipped":
                counts.skipped += 1
                continue
            if key in seen:
                counts.bad_lines += 1
                tell(f"{where}: skipped: duplicate id {key}")
                continue
            seen.add(key)
            if error:
                counts.first_error = counts.first_error or error
            if status in STATUSES:
                counts.written[status] += 1
                keep.append(row)
                continue
            counts.not_written += 1
            if status == "stopped" and counts.stopped is None:
                counts.stopped = Failure(row["failure"], error, fatal=True)
        if isinstance(sink, ParquetParts):
            sink.write(keep)
        else:
            for row in keep:
                doc = {"id": json.loads(row["key"]),
                       "summary": None if row["summary"] is None else json.loads(row["summary"]),
                       "context": row["context"], "status": row["status"]}
                if row["error"] is not None:
                    doc["error"] = row["error"]
                sink.write(doc)
        if counts.stopped is not None:
            return  # every request would fail alike: the rest is left for a rerun


def run_on_ray(args: argparse.Namespace) -> int:
    """``batch --engine ray``: the local engine's command, its conversations summarized by
    a pool of Ray actors."""
    _check_paths(args)
    parquet_in, parquet_out = _parquet_input(args.input), is_parquet(args.output)
    ray = _ray()
    sink: Writer | ParquetParts
    if parquet_out:
        sink = ParquetParts(args.output)
        earlier = sink.earlier()
    else:
        earlier = earlier_results(args.output)
        sink = Writer(args.output, fsync=args.fsync)
    skip = {key for key, status in earlier.items() if status not in args.retry}
    make_client = _client_factory(args)
    choice = make_client.args[0]
    counts = Counts()
    started = time.monotonic()
    with lines_aside():
        try:
            _connect(ray, args.address, kind_of(choice).variables(choice))
            others: list[str] = []
            ds = (ray.data.read_parquet(args.input) if parquet_in else
                  json_lines(args.input, others.append))
            for line in others:  # a FIFO, a socket, a device: never opened
                counts.bad_lines += 1
                tell(line)
            results = summarize_dataset(
                ds, make_client, actors=args.actors or DEFAULT_ACTORS,
                in_flight=args.concurrency, input_format=args.input_format,
                deadline=args.deadline, context_tokens=args.context_tokens, skip=skip)
            _drain(results, sink, counts, args.input)
        except KeyboardInterrupt:
            print(f"{PROG}: interrupted after {sum(counts.written.values())} results; "
                  "rerun the same command to continue", file=sys.stderr)
            raise
        except ray.exceptions.RayError as exc:
            first = (str(exc).strip().splitlines() or [type(exc).__name__])[-1]
            raise ToolError(f"the Ray job failed on {args.input}: {first}") from None
        finally:
            if isinstance(sink, Writer):
                sink.close()
            ray.shutdown()
    if isinstance(sink, Writer):
        if sink.regular:
            compact(args.output)
    else:
        sink.compact()
    return report(counts, time.monotonic() - started)


def __getattr__(name: str) -> Any:
    """The library's names under their old import path (`morvex_summarize.batch.ray`)."""
    from ...batch import ray

    return getattr(ray, name)
