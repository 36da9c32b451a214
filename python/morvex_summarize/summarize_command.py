"""``morvex-summarize CONVERSATION``: summarize one conversation (the default command)."""

from __future__ import annotations

import argparse
import asyncio
import json
from .errors import EXIT_OK, BadDocument, ToolError, classify_client_failure
from .records import SummaryRecord
from .tool import (Outcome, add_client_arguments, add_format_argument, build_client,
                   close_client, load_conversation, read_text, rejected_by_summarizer,
                   spinner, summarize_one, where_of, write_output)

HELP = "summarize one conversation (the default command)"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("conversation", metavar="CONVERSATION",
                        help="JSON file with a conversation (a list of messages or a request "
                             "body), or - for stdin")
    parser.add_argument("--previous", metavar="FILE", default=None,
                        help="text file with an earlier summary to build on")
    add_format_argument(parser)
    add_client_arguments(parser)
    parser.add_argument("--format", choices=("json", "markdown", "both"), default="both",
                        help="print the summary record as JSON, its context text as "
                             "Markdown, or both (default: both)")
    parser.add_argument("--output", metavar="FILE", default=None,
                        help="write here instead of stdout (- for stdout)")


def run(args: argparse.Namespace) -> int:
    messages = load_conversation(args.conversation, args.input_format)
    previous = read_text(args.previous) if args.previous else None
    client = build_client(args)

    async def summarize() -> tuple[SummaryRecord, str, Outcome]:
        try:
            return await summarize_one(client, messages, previous, args.deadline)
        finally:
            await close_client(client)

    try:
        with spinner("Summarizing..."):
            record, context, outcome = asyncio.run(summarize())
    except Exception as exc:
        if not rejected_by_summarizer(exc):
            raise
        raise BadDocument(f"{where_of(args.conversation)}: the summarizer cannot read this "
                          f"conversation: {exc}") from None
    if outcome.failure is not None:
        found = classify_client_failure(outcome.failure)
        raise ToolError(found.reason, found.exit_code)
    parts = []
    if args.format in ("json", "both"):
        parts.append(json.dumps(record, indent=2, ensure_ascii=False) + "\n")
    if args.format in ("markdown", "both"):
        parts.append(context + "\n")
    write_output("\n".join(parts), args.output)
    return EXIT_OK
