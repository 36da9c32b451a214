#!/usr/bin/env python3
"""Writes a large agent conversation (OpenAI chat messages with tool calls) for timing and
memory checks of the offline path; the same seed gives the same file.

    python scripts/big-conversation.py OUT.json [--messages 186000] [--seed 1] [--short]

The default is about 50 MB; --short makes tool outputs of 40 to 160 characters, so that
the records' own overhead rather than their text is most of the memory (about 36 MB).
"""

import argparse
import json
import random

WORDS = ("build test deploy ledger header money rounding branch commit review cache payments "
         "service config flag module error failed ok passed warning retry timeout schema "
         "migration index query request response handler worker queue").split()
TOOLS = ("shell", "read_file", "edit_file", "git_log", "search")


def messages(count: int, rng: random.Random, short: bool = False):
    def words(n: int) -> str:
        return " ".join(rng.choices(WORDS, k=n))

    def output(chars: int) -> str:
        lines, size = [], 0
        while size < chars:
            lines.append(words(rng.randint(4, 12)))
            size += len(lines[-1]) + 1
        return "\n".join(lines)

    yield {"role": "system", "content": "You are a careful coding agent."}
    yield {"role": "user", "content": "Fix the failing build of the payments service: " + words(20)}
    n, call = 2, 0
    while n < count:
        kind = rng.random()
        if kind < 0.12:
            yield {"role": "user", "content": rng.choice(("please ", "also ", "don't ", "")) +
                   words(rng.randint(3, 30)) + rng.choice(("?", ".", ""))}
        elif kind < 0.35:
            yield {"role": "assistant", "content": rng.choice(("I'll ", "Let's ", "")) +
                   words(rng.randint(4, 30))}
        elif n + 1 < count:
            call += 1
            args = {"path": f"src/{rng.choice(WORDS)}.py", "query": words(rng.randint(1, 8))}
            yield {"role": "assistant", "content": words(6) if rng.random() < 0.3 else None,
                   "tool_calls": [{"id": f"call_{call}", "type": "function",
                                   "function": {"name": rng.choice(TOOLS),
                                                "arguments": json.dumps(args)}}]}
            chars = rng.choice((40, 80, 120, 160)) if short else \
                rng.choices((200, 300, 500, 1000, 3000), weights=(56, 26, 12, 5, 1))[0]
            yield {"role": "tool", "tool_call_id": f"call_{call}",
                   "content": ("error: " if rng.random() < 0.1 else "") + output(chars)}
            n += 1
        else:
            yield {"role": "assistant", "content": words(8)}
        n += 1


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out")
    parser.add_argument("--messages", type=int, default=186_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--short", action="store_true",
                        help="short tool outputs (40 to 160 characters)")
    args = parser.parse_args()
    with open(args.out, "w", encoding="utf-8") as f:
        json.dump(list(messages(args.messages, random.Random(args.seed), args.short)), f)


if __name__ == "__main__":
    main()
