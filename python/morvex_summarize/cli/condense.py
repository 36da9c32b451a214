"""``morvex-summarize condense``: bring a conversation file within a token budget.

Prints the new message list (leading system message, one context message with the summary,
then the kept newest messages; with a clearing ``--strategy``, older tool results and
thinking cleared first or instead) as JSON on stdout, and one report line on stderr.  A file that
already holds a context message from an earlier run is condensed onto it: the earlier summary
is handed to the new one instead of being summarized as conversation.

A conversation that condensing would make larger (a budget below what the summary takes)
is written unchanged, and the report line says so; the status is still 0.

An agent's session log is read-only input: what is written is its conversation, condensed,
as OpenAI chat messages (a JSON list), never a log. --output never names the input.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from ..condense import Condenser, CondenseState
from ..errors import BadDocument
from ..files import check_output, note_skipped, read_document, reading, where_of, write_output
from ..formats import LOG_FORMATS, BodyContext, BodyField, Conversation, read_conversation
from ..native import record_refusal
from ..settings import TOOL
from ..summarizing import Outcome, close_client, windowed
from .exchange import Activity, run_exchange
from .options import (OUTPUT_RULES, PROG, add_client_arguments, add_condensing_arguments,
                      add_format_argument, build_client, check_client_options,
                      check_condensing, strategy_of)
from .status import EXIT_OK

HELP = "condense a conversation to fit a token budget"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("conversation", metavar="CONVERSATION",
                        help="JSON file with a conversation (a list of messages or a request "
                             "body), or - for stdin; the condensed one is written in the same "
                             "format and shape. An agent's session log (see --input-format) "
                             "is only read: its condensed conversation is written as OpenAI "
                             "chat messages. One that condensing would make larger (a budget "
                             "below what its summary takes) is written unchanged, said on "
                             "stderr, status 0")
    add_format_argument(parser)
    add_condensing_arguments(parser, TOOL)
    add_client_arguments(parser)
    parser.add_argument("--output", metavar="FILE", default=None,
                        help="write the JSON here instead of stdout (- for stdout): "
                             f"{OUTPUT_RULES}")


def cleared(state: CondenseState) -> str | None:
    """What clearing did, as "3 tool results and 2 thinking turns cleared (1200 tokens)",
    or None when it cleared nothing."""
    done = [f"{n} {what}{'s' if n != 1 else ''}" for n, what in (
        (state.cleared_tool_uses, "tool result"),
        (state.cleared_thinking_turns, "thinking turn")) if n]
    if not done:
        return None
    return f"{' and '.join(done)} cleared ({state.cleared_tokens} tokens)"


def report(state: CondenseState, summarizes: bool = True) -> str:
    """The one-line account of a condense run (``summarizes``: the strategy may)."""
    sizes = (f"{state.tokens_before} \u2192 {state.tokens_after} tokens, "
             f"{state.messages_before} \u2192 {state.messages_after} messages")
    clearing = cleared(state)
    if state.condensed:
        line = f"{state.summarized} messages summarized: {sizes}"
        if state.fallback:
            line += " (fallback summary)"
        if clearing:
            line = f"{clearing}, {line}"
    elif clearing:
        line = f"{clearing}: {sizes}"
        if not state.within_budget:
            line += "; still over budget" + (", and no message can be summarized"
                                             if summarizes else "")
    elif state.within_budget:
        line = f"within budget, nothing {'summarized' if summarizes else 'cleared'}: {sizes}"
    elif summarizes:
        line = f"over budget, but no message can be summarized: {sizes}"
    else:
        line = f"over budget, but nothing can be cleared: {sizes}"
    if state.condensed and state.budget_note is not None:
        line += f"; still over budget: {state.budget_note}"
    return line


def conversation_refusal(conversation: Conversation) -> str | None:
    """Why the summarizer would refuse a message of the conversation, as "message N:
    reason" with N the message's place among the conversation's messages, or None."""
    number = 0
    for index, item in enumerate(conversation.items):
        if isinstance(item, (BodyField, BodyContext)):
            continue  # a body's instructions, not one of its messages
        for record in conversation.view(index).messages:
            reason = record_refusal(record)
            if reason is not None:
                return f"message {number}: {reason}"
        number += 1
    return None


def run(args: argparse.Namespace) -> int:
    check_condensing(args)
    check_client_options(args)
    check_output(args.output, args.conversation)
    where = where_of(args.conversation)
    doc = read_document(args.conversation)
    with reading(where):
        conversation = read_conversation(doc, args.input_format, require_messages=True)
    note_skipped(conversation, where)
    refused = conversation_refusal(conversation)
    if refused is not None:  # told before any model call
        raise BadDocument(f"{where}: {refused}")
    strategy = strategy_of(args)
    # A strategy that only clears asks no model: no client is made.
    client = build_client(args) if strategy.summarize else None
    outcome = Outcome()
    activity = Activity("Condensing...")
    summarizer = windowed(client, args.deadline, args.context_tokens, activity.window) \
        if client is not None else None
    condenser = Condenser(summarizer, max_tokens=args.budget,
                          keep_last=args.keep_last, target_tokens=args.target,
                          keep_first=args.keep_first, keep_requests=args.keep_first,
                          context_role=args.context_role, input_format=args.input_format,
                          strategy=strategy)

    done: list[Any] = []

    async def condense() -> None:
        # The result is kept aside, not returned: asyncio.run makes the repr of the
        # finished task, which for a long conversation costs as much as condensing it.
        try:
            done.extend(await condenser.condense(conversation))
            if summarizer is not None:
                outcome.failure = summarizer.failure
        finally:
            if client is not None:
                await close_client(client)

    run_exchange(condense, where, "Condensing...", outcome, activity=activity)
    result, state = done
    told = report(state, strategy.summarize)
    if state.condensed and state.tokens_after >= state.tokens_before:
        # A summary that takes more than what it stands for: the conversation as it was.
        result = list(conversation.items) if conversation.format in LOG_FORMATS else doc
        told = (f"cannot make it smaller: {state.tokens_before} tokens, and "
                f"{state.tokens_after} with {state.summarized} messages summarized (budget "
                f"{args.budget}); written unchanged")
    write_output(json.dumps(result, indent=2, ensure_ascii=False) + "\n", args.output)
    print(f"{PROG}: {told}", file=sys.stderr)
    return EXIT_OK

