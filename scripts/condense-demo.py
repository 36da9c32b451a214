#!/usr/bin/env python3
"""Condenses a growing agent conversation after every turn, offline, and prints the sizes.

    PYTHONPATH=build/dev/python:python python3 scripts/condense-demo.py [--turns 40]

Each turn appends a user request, tool calls with their results (some in parallel, some
answered only in the next turn) and an answer; the condenser (the offline extractive client,
a token budget, the newest messages kept) then runs on the list so far.  At the end the
script checks that every message generated is in the final list or went to exactly one
summary, that no tool call was separated from its results, and that each summary was built
on the one before it.
"""
from __future__ import annotations

import argparse
import asyncio
import itertools
import json
import random
import sys

try:
    from morvex.core.summarizer import ConversationSummarizer
    from morvex_summarize.clients.extractive import ExtractiveClient
    from morvex_summarize.condense import Condenser
except ImportError as exc:
    sys.exit(f"condense-demo: {exc}: build the module (scripts/dev-build.sh) and put "
             "build/dev/python and python on PYTHONPATH")

FILES = ["src/app.py", "src/db.py", "src/api/routes.py", "tests/test_api.py", "README.md"]
TASKS = ["fix the failing login test", "add paging to the orders endpoint",
         "make the database pool size configurable", "document the new settings",
         "speed up the report query", "handle empty carts at checkout"]


class Recorder:
    """The summarizer, recording what each summary was handed and built on."""

    def __init__(self) -> None:
        self.real = ConversationSummarizer(ExtractiveClient())
        self.calls: list[tuple[list, str | None]] = []

    async def summarize_messages(self, messages, existing_summary=None):
        self.calls.append((list(messages), existing_summary))
        return await self.real.summarize_messages(messages, existing_summary)

    def format_summary_for_context(self, record):
        return self.real.format_summary_for_context(record)


def turns(seed: int):
    """Yields the messages of one turn at a time; a turn may leave its last tool calls
    unanswered, and the next turn then starts with their results."""
    rng = random.Random(seed)
    ids = itertools.count(1)
    pending: list[tuple[str, str]] = []
    for n in itertools.count():
        out = [{"role": "tool", "tool_call_id": i, "content": f"{f}: 120 lines, no errors"}
               for i, f in pending]
        pending = []
        task = TASKS[n % len(TASKS)]
        out.append({"role": "user", "content": f"Next, please {task}. "
                    + "Keep the public interface as it is. " * rng.randint(0, 3)})
        for _ in range(rng.randint(1, 3)):
            files = rng.sample(FILES, rng.randint(1, 2))
            calls = [(f"call_{next(ids)}", f) for f in files]
            out.append({"role": "assistant", "content": "", "tool_calls": [
                {"id": i, "type": "function",
                 "function": {"name": "read_file", "arguments": json.dumps({"path": f})}}
                for i, f in calls]})
            for i, f in calls:
                body = "\n".join(f"line {k}: code of {f}" for k in range(rng.randint(3, 30)))
                failed = rng.random() < 0.2
                out.append({"role": "tool", "tool_call_id": i,
                            "content": ("error: " if failed else "") + body})
        out.append({"role": "assistant",
                    "content": f"I'll {task} by changing {rng.choice(FILES)}; the tests pass."})
        if rng.random() < 0.3:  # the last call of the turn is answered in the next turn
            calls = [(f"call_{next(ids)}", rng.choice(FILES))]
            out.append({"role": "assistant", "content": "", "tool_calls": [
                {"id": i, "type": "function",
                 "function": {"name": "stat", "arguments": json.dumps({"path": f})}}
                for i, f in calls]})
            pending = calls
        yield out


async def demo(args: argparse.Namespace) -> int:
    recorder = Recorder()
    condenser = Condenser(recorder, max_tokens=args.budget, keep_last=args.keep_last)
    messages = [{"role": "system", "content": "You are a careful coding agent."}]
    everything = list(messages)
    state = None
    texts = []
    print(f"budget {args.budget} tokens (estimated), newest {args.keep_last} messages kept")
    print(f"{'turn':>4} {'messages':>14} {'tokens':>14} {'summarized':>10} {'summary':>8}")
    for turn, new in zip(range(1, args.turns + 1), turns(args.seed)):
        everything += new
        messages, state = await condenser.condense(messages + new, state)
        if state.condensed:
            texts.append(state.summary_text)
        summarized = str(state.summarized) if state.condensed else "-"
        summary = str(state.summary_tokens) if state.summary_tokens else "-"
        print(f"{turn:>4} {state.messages_before:>6} \u2192 {state.messages_after:<5}"
              f" {state.tokens_before:>6} \u2192 {state.tokens_after:<5}"
              f" {summarized:>10} {summary:>8}")
    # the checks
    handed = [m for batch, _ in recorder.calls for m in batch]
    kept = [m for m in messages if m is not state.context_message]
    once = sorted(map(id, handed + kept)) == sorted(map(id, everything))
    where = {id(m): k for k, (batch, _) in enumerate(recorder.calls) for m in batch}
    calls = {tc["id"]: m for m in everything for tc in m.get("tool_calls") or ()}
    together = all(where.get(id(calls[m["tool_call_id"]])) == where.get(id(m))
                   for m in everything if m["role"] == "tool")
    chained = [earlier for _, earlier in recorder.calls] == ([None] + texts)[:len(texts)]
    print(f"{len(everything)} messages generated, {len(recorder.calls)} summaries, "
          f"{len(kept)} messages in the final list")
    print(f"every message kept or in exactly one summary: {once}; calls with their results: "
          f"{together}; each summary built on the last: {chained}")
    return 0 if once and together and chained else 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--turns", type=int, default=30)
    parser.add_argument("--budget", type=int, default=3000)
    parser.add_argument("--keep-last", type=int, default=6)
    parser.add_argument("--seed", type=int, default=7)
    return asyncio.run(demo(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
