#!/usr/bin/env python3
"""What the model is sent on every call of a scripted agent run, without and with
condensing: a LangChain create_agent run (CondensingMiddleware) and an Agents SDK run
(CondensingSession, with its model-input filter), offline.

    python3 scripts/agent-figures.py [--turns 3] [--rounds 8] [--budget 1200]

Needs the langchain and agents extras. Tokens are the package's estimate (4 characters a
token plus 4 a message) of everything the model is sent, the system prompt included; the
budget is on the conversation (the agent's system prompt is not part of it). "paired"
says whether every tool call the model saw had its results, and every result its call.
"""
from __future__ import annotations

import argparse
import asyncio
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

try:
    import agent_support
    from morvex_summarize.agents_session import CondensingSession
    from morvex_summarize.langchain_middleware import CondensingMiddleware
except ImportError as exc:
    sys.exit(f"agent-figures: {exc}: pip install '.[langchain,agents]'")


def table(title: str, base: agent_support.Run, condensed: agent_support.Run,
          steps: list[list[str] | None]) -> None:
    print(f"\n### {title}\n")
    print("| call | turn | before: messages | tokens | after: messages | tokens | paired |")
    print("|---|---|---|---|---|---|---|")
    turn = 0
    for n, (b, c) in enumerate(zip(base.calls, condensed.calls)):
        paired = "yes" if not (b.unpaired or c.unpaired) else "NO"
        print(f"| {n + 1} | {turn + 1} | {b.messages} | {b.tokens} | {c.messages} | "
              f"{c.tokens} | {paired} |")
        if steps[n] is None:
            turn += 1
    same = "the same" if base.answers == condensed.answers else "DIFFERENT"
    print(f"\nFinal answers: {same}; largest call {max(c.tokens for c in base.calls)} → "
          f"{max(c.tokens for c in condensed.calls)} tokens; calls with a tool call "
          f"apart from its results: {sum(bool(c.unpaired) for c in condensed.calls)}.")


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--turns", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--budget", type=int, default=1200)
    args = parser.parse_args()
    steps = agent_support.script(args.turns, args.rounds)
    size = {"turns": args.turns, "rounds": args.rounds}

    base = await agent_support.run_langchain(**size)
    condensed = await agent_support.run_langchain(
        CondensingMiddleware(max_tokens=args.budget, keep_last=6), **size)
    table(f"LangChain create_agent, CondensingMiddleware(max_tokens={args.budget})",
          base, condensed, steps)

    base = await agent_support.run_agents(**size)
    condensed = await agent_support.run_agents(
        lambda stored: CondensingSession(stored, max_tokens=args.budget, keep_last=6), **size)
    same = "the same" if base.stored == condensed.stored else "DIFFERENT"
    table(f"Agents SDK Runner.run, CondensingSession(SQLiteSession, max_tokens={args.budget})",
          base, condensed, steps)
    print(f"Items stored in the SQLiteSession: {len(condensed.stored)}, {same} as without "
          "condensing.")


if __name__ == "__main__":
    asyncio.run(main())
