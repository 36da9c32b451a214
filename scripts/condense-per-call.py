#!/usr/bin/env python3
"""Cost of one `Condenser.condense` call in an agent loop with nothing to condense.

    python scripts/condense-per-call.py [--sizes 100,1000,10000] [--calls 200]

For each size, a seeded tool-heavy conversation of that many messages is condensed once
(within budget), then the loop appends one message and condenses again with the state
passed back, as an agent does. Prints the median time of one such call, in a Markdown
table; with the cost proportional to what changed, it barely grows with the size."""

import argparse
import asyncio
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from benchmarks import conversations  # noqa: E402
from morvex_summarize.clients.extractive import ExtractiveClient  # noqa: E402
from morvex_summarize.condense import Condenser  # noqa: E402


async def per_call(size: int, calls: int) -> list[float]:
    messages = list(conversations.conversation("tools", "ascii", size))
    condenser = Condenser(ExtractiveClient(), max_tokens=10**9, keep_last=6)
    messages, state = await condenser.condense(messages)
    times = []
    for n in range(calls):
        messages.append({"role": "user", "content": f"and one more thing, number {n}"})
        started = time.perf_counter()
        messages, state = await condenser.condense(messages, state)
        times.append(time.perf_counter() - started)
        assert not state.condensed and len(messages) == size + n + 1
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="100,1000,10000")
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()
    print("| messages | one call (median) | per message |")
    print("|---|---|---|")
    for size in map(int, args.sizes.split(",")):
        median = statistics.median(asyncio.run(per_call(size, args.calls)))
        print(f"| {size:,} | {median * 1e6:,.0f} µs | {median * 1e9 / size:,.0f} ns |")


if __name__ == "__main__":
    main()
