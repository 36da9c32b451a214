#!/usr/bin/env python3
"""Summarizes a large conversation with the tool against the loopback chat-completions
server of the tests, which refuses any request over the context, and reports the requests
sent: how many, the largest prompt against --context-tokens, and whether the windows read
every message once and handed each summary to the next.

    python scripts/windowed-model-run.py [--messages 205000] [--context-tokens 32768 8192]

Writes the conversation (about 60 MB with the default) with scripts/big-conversation.py
into a temporary folder, and prints one Markdown table row per context size.
"""

import argparse
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from llm_server import LLMServer  # noqa: E402
from morvex_summarize.windows import prompt_tokens  # noqa: E402

CONVERSATION = "## Conversation to Summarize:\n"
PREVIOUS = "## Previous Summary (build on this):\n"
TOOL_RESULT = re.compile(r"^\[Tool Result \((call_\d+)\)\]", re.M)


def run(path: pathlib.Path, context_tokens: int, calls: list[str], first: str) -> str:
    with LLMServer(context_tokens=context_tokens) as server:
        started = time.monotonic()
        result = subprocess.run(
            [sys.executable, "-m", "morvex_summarize", str(path), "--llm", "openai",
             "--model", "loopback", "--base-url", server.url, "--format", "json",
             "--context-tokens", str(context_tokens)],
            capture_output=True, text=True, env={**os.environ, "NO_COLOR": "1"})
        elapsed = time.monotonic() - started
    if result.returncode != 0:
        raise SystemExit(f"the tool failed ({result.returncode}): {result.stderr.strip()}")
    sent = server.accepted
    systems = [r["messages"][0]["content"] for r in sent]
    read = [c for s in systems for c in TOOL_RESULT.findall(s.partition(CONVERSATION)[2])]
    chained = all(PREVIOUS in s for s in systems[1:]) and PREVIOUS not in systems[0]
    largest_chars = max(sum(len(m["content"]) for m in r["messages"]) for r in sent)
    largest_estimate = max(prompt_tokens(r["messages"]) + r["max_tokens"] for r in sent)
    goals = json.loads(result.stdout)["goals"]
    first_goal = bool(goals) and goals[0] == first
    return (f"| {context_tokens:,} | {len(server.requests):,} | {len(sent):,} | "
            f"{len(server.refused)} | {largest_chars:,} | {max(server.sizes):,} | "
            f"{largest_estimate:,} | {'yes' if read == calls else 'NO'} | "
            f"{'yes' if chained else 'NO'} | {'yes' if first_goal else 'NO'} | "
            f"{elapsed:.1f} s |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=205_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--context-tokens", type=int, nargs="+", default=[32768, 8192])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "big.json"
        subprocess.run([sys.executable, str(ROOT / "scripts" / "big-conversation.py"),
                        str(path), "--messages", str(args.messages), "--seed",
                        str(args.seed)], check=True)
        messages = json.loads(path.read_text())
        calls = [m["tool_call_id"] for m in messages if m.get("role") == "tool"]
        first = next(m["content"] for m in messages if m.get("role") == "user")
        print(f"conversation: {len(messages):,} messages, {path.stat().st_size / 1e6:.1f} MB, "
              f"{len(calls):,} tool results")
        print("| --context-tokens | requests | windows | refused | largest prompt (chars) "
              "| largest request, server's count (tokens, reply included) "
              "| largest request, client's estimate | every message read once, in order "
              "| each window given the summary before | first goal kept | time |")
        print("|---|---|---|---|---|---|---|---|---|---|---|")
        for context_tokens in args.context_tokens:
            print(run(path, context_tokens, calls, first), flush=True)


if __name__ == "__main__":
    main()
