"""``morvex-summarize batch``: its options, and the local engine's run (the Ray engine's is
`run_on_ray`); the runs themselves are the library's (`morvex_summarize.batch`)."""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import time

from ...batch.jobs import (STATUSES, Counts, Writer, check_output_folder, compact, count_lines,
                          earlier_results, folder_files, is_parquet, read_folder_jobs,
                          read_jobs, run_batch)
from ...errors import InputMissing
from ...files import check_output
from ...settings import ACTORS, CONCURRENCY
from ..options import (OUTPUT_RULES, PROG, add_client_arguments, add_format_argument, build_client,
                       check_client_options, whole_number)
from ..status import UsageError
from .report import Progress, report, tell

HELP = "summarize many conversations from a JSON-lines file or a folder of logs"

def _statuses(text: str) -> set[str]:
    chosen = {s.strip() for s in text.split(",") if s.strip()}
    unknown = chosen - set(STATUSES[1:])
    if unknown or not chosen:
        raise argparse.ArgumentTypeError(
            f"expected statuses among {', '.join(STATUSES[1:])}, got {text!r}")
    return chosen


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="INPUT.jsonl",
                        help='one {"id": ..., "messages": [...], "previous": "..."} per line '
                             "(- for stdin); ids 5 and \"5\" are different ids; a bad line "
                             "is told and passed by. Or a folder: one conversation per "
                             "regular file under it, agents' session logs among them, each "
                             "with its path in the folder as its id (a file that is none, "
                             "and a FIFO, socket or device, which is never opened, counts as "
                             "a bad line)")
    parser.add_argument("--output", metavar="OUT.jsonl", required=True,
                        help="results are appended here and ids already in it are skipped; "
                             "an existing file must be a results file a batch wrote (else "
                             f"status 2); {OUTPUT_RULES}. - for stdout, which like any "
                             "output that is not a regular file is written without reading "
                             "earlier results")
    parser.add_argument("--retry", type=_statuses, default=set(), metavar="STATUSES",
                        help="also redo the ids whose results have these statuses "
                             "(comma-separated: unparsed, fallback, failed); their lines "
                             "are replaced")
    parser.add_argument("--concurrency", type=whole_number(1), default=CONCURRENCY,
                        metavar="N",
                        help=f"conversations in flight at once (default: {CONCURRENCY})")
    parser.add_argument("--fsync", action="store_true",
                        help="also sync each result to disk (survives a power cut)")
    parser.add_argument("--engine", choices=("local", "ray"), default="local",
                        help="local: this process; ray: actors of a Ray cluster (pip install "
                             "'.[ray]' in the project's folder), reading and writing JSON "
                             "lines or Parquet (a .parquet path or a folder), --concurrency "
                             "conversations in flight per actor (default: local)")
    parser.add_argument("--address", default=None, metavar="ADDR",
                        help="with --engine ray: the cluster to join (default: "
                             "$RAY_ADDRESS, else a Ray instance started on this machine)")
    parser.add_argument("--actors", type=whole_number(1), default=None, metavar="N",
                        help=f"with --engine ray: actors, each with one client (default: "
                             f"{ACTORS})")
    add_format_argument(parser)
    add_client_arguments(parser)


def run(args: argparse.Namespace) -> int:
    check_client_options(args)
    if args.engine == "ray":
        from .ray import run_on_ray
        return run_on_ray(args)
    for option, value in (("--address", args.address), ("--actors", args.actors)):
        if value is not None:
            raise UsageError(f"{option} needs --engine ray")
    for path, parquet in ((args.input, args.input.endswith(".parquet")),
                          (args.output, is_parquet(args.output))):
        if parquet:  # an output folder is one of Parquet parts
            raise UsageError(f"{path}: Parquet needs --engine ray")
    check_output_folder(args.output)
    folder = args.input != "-" and os.path.isdir(args.input)
    if args.input != "-" and not folder and not os.path.isfile(args.input):
        raise InputMissing(f"{args.input}: no such file")
    check_output(args.output, args.input)
    earlier = {} if args.output == "-" else earlier_results(args.output)
    skip = {key for key, status in earlier.items() if status not in args.retry}
    others: list[str] = []
    files = folder_files(args.input, args.output, others.append) if folder else []
    total = len(files) if folder else count_lines(args.input)
    client = build_client(args)
    counts = Counts()
    for line in others:  # a FIFO, a socket, a device: never opened
        counts.bad_lines += 1
        tell(line)
    writer = Writer(args.output, fsync=args.fsync)
    started = time.monotonic()
    try:
        with Progress(total) as progress:
            jobs = read_folder_jobs(args.input, files, skip, counts, args.input_format, tell,
                                    progress.skip) if folder else \
                read_jobs(args.input, skip, counts, args.input_format, tell, progress.skip)
            asyncio.run(run_batch(client, jobs, writer, args.concurrency, counts,
                                  progress.advance, args.deadline, args.context_tokens))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted after {sum(counts.written.values())} results; rerun the "
              "same command to continue", file=sys.stderr)
        raise
    finally:
        writer.close()
    if writer.regular:
        compact(args.output)  # a retried id keeps only its new line
    return report(counts, time.monotonic() - started)
