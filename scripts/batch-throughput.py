#!/usr/bin/env python3
"""Measures batch throughput against a chat-completions server on loopback that answers
after a fixed delay, so the figure shows what the tool itself costs per conversation.

    python scripts/batch-throughput.py [--conversations 1000] [--concurrency 64] [--delay 0.1]

Run it with an interpreter that has the package installed (e.g. .venv-test-312/bin/python).
"""

import argparse
import json
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from cli_support import conversation, tool_command, tool_env, write_jsonl  # noqa: E402
from llm_server import LLMServer  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--conversations", type=int, default=1000)
    parser.add_argument("--concurrency", type=int, default=64)
    parser.add_argument("--delay", type=float, default=0.1, help="server delay per answer (s)")
    parser.add_argument("--turns", type=int, default=3, help="tool calls per conversation")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp, LLMServer(delay=args.delay) as server:
        inp, out = pathlib.Path(tmp, "in.jsonl"), pathlib.Path(tmp, "out.jsonl")
        ids = [f"c{n}" for n in range(args.conversations)]
        write_jsonl(inp, [{"id": i, "messages": conversation(i, args.turns)} for i in ids])
        command = tool_command("batch", inp, "--output", out, "--concurrency", args.concurrency,
                               "--llm", "openai", "--model", "loopback", "--base-url",
                               server.url)
        started = time.perf_counter()
        result = subprocess.run(command, env=tool_env(), capture_output=True, text=True)
        elapsed = time.perf_counter() - started
        if result.returncode != 0:
            print(result.stderr, file=sys.stderr)
            return 1
        got = [json.loads(line)["id"] for line in out.read_text(encoding="utf-8").splitlines()]
        assert sorted(got) == sorted(ids), "lost or repeated conversations"
        requests = len(server.requests)
    floor = args.conversations / args.concurrency * args.delay
    bound = f"; the delay alone allows {args.conversations / floor:.0f}/s" if floor else ""
    print(f"{args.conversations} conversations, concurrency {args.concurrency}, server delay "
          f"{args.delay * 1000:.0f} ms: {elapsed:.2f} s wall including start-up "
          f"({args.conversations / elapsed:.0f} conversations/s), {requests} requests{bound}")
    print("tool's own line:", result.stderr.strip().splitlines()[-1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
