"""``morvex-summarize CONVERSATION``: summarize one conversation (the default command)."""

from __future__ import annotations

import argparse
import json

from ..records import SummaryRecord
from ..files import check_output, load_conversation, read_text, where_of, write_output
from ..summarizing import Outcome, close_client, summarize_one
from .exchange import Activity, run_exchange
from .status import EXIT_OK
from .options import (OUTPUT_RULES, add_client_arguments, add_format_argument, build_client,
                      check_client_options)

HELP = "summarize one conversation (the default command)"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("conversation", metavar="CONVERSATION",
                        help="JSON file with a conversation (a list of messages or a request "
                             "body), an agent's session log, or - for stdin. What reading "
                             "leaves out (a content part whose type is no string) or reads "
                             "otherwise than the file has it (a Claude Code log whose chain "
                             "of records breaks, read in file order) is told as a warning")
    parser.add_argument("--previous", metavar="FILE", default=None,
                        help="text file with an earlier summary to build on")
    add_format_argument(parser)
    add_client_arguments(parser)
    parser.add_argument("--format", choices=("json", "markdown", "both"), default="both",
                        help="print the summary record as JSON, its context text as "
                             "Markdown, or both (default: both)")
    parser.add_argument("--output", metavar="FILE", default=None,
                        help=f"write here instead of stdout (- for stdout): {OUTPUT_RULES}")


def run(args: argparse.Namespace) -> int:
    check_client_options(args)
    check_output(args.output, args.conversation, args.previous)
    messages = load_conversation(args.conversation, args.input_format)
    previous = read_text(args.previous) if args.previous else None
    client = build_client(args)
    outcome = Outcome()
    activity = Activity("Summarizing...")
    done: list[tuple[SummaryRecord, str, Outcome]] = []

    async def summarize() -> None:
        # The result is kept aside, not returned: asyncio.run makes the repr of the
        # finished task's result.
        try:
            done.append(await summarize_one(client, messages, previous, args.deadline,
                                            outcome, context_tokens=args.context_tokens,
                                            on_window=activity.window))
        finally:
            await close_client(client)

    run_exchange(summarize, where_of(args.conversation), "Summarizing...", outcome,
                 messages, activity)
    record, context, _ = done[0]
    parts = []
    if args.format in ("json", "both"):
        parts.append(json.dumps(record, indent=2, ensure_ascii=False) + "\n")
    if args.format in ("markdown", "both"):
        parts.append(context + "\n")
    write_output("\n".join(parts), args.output)
    return EXIT_OK
