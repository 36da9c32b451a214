#!/usr/bin/env python3
"""Measures batch throughput of the ray engine beside the local engine: the same
conversations, the same chat-completions server on loopback answering after a fixed delay,
so the figures show what each engine itself costs per conversation.

    python scripts/ray-throughput.py [--conversations 4000] [--concurrency 64] [--delay 0.1]
                                     [--actors 2]

Run it with an interpreter that has the package and its ray extra installed. Each engine
runs the command in a child process, Ray's start-up included in its wall time; the tool's
own closing line gives the rate of the summaries alone.
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


def run(engine, inp, out, server, args):
    extra = ["--actors", args.actors] if engine == "ray" else []
    command = tool_command("batch", inp, "--output", out, "--engine", engine, *extra,
                           "--concurrency", args.concurrency, "--llm", "openai",
                           "--model", "loopback", "--base-url", server.url)
    asked = len(server.requests)
    started = time.perf_counter()
    result = subprocess.run(command, env=tool_env(), capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    if result.returncode != 0:
        sys.exit(f"{engine} engine failed:\n{result.stderr}")
    got = [json.loads(line)["id"] for line in out.read_text(encoding="utf-8").splitlines()]
    assert sorted(got) == sorted(f"c{n}" for n in range(args.conversations)), \
        "lost or repeated conversations"
    last = result.stderr.strip().splitlines()[-1]
    print(f"{engine:5}: {elapsed:6.2f} s wall including start-up "
          f"({args.conversations / elapsed:5.0f} conversations/s), "
          f"{len(server.requests) - asked} requests; tool's line: {last}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--conversations", type=int, default=4000)
    parser.add_argument("--concurrency", type=int, default=64,
                        help="in flight: in all for local, per actor for ray")
    parser.add_argument("--actors", type=int, default=2)
    parser.add_argument("--delay", type=float, default=0.1, help="server delay per answer (s)")
    parser.add_argument("--turns", type=int, default=3, help="tool calls per conversation")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp, LLMServer(delay=args.delay) as server:
        inp = pathlib.Path(tmp, "in.jsonl")
        write_jsonl(inp, [{"id": f"c{n}", "messages": conversation(f"c{n}", args.turns)}
                          for n in range(args.conversations)])
        print(f"{args.conversations} conversations, server delay {args.delay * 1000:.0f} ms, "
              f"concurrency {args.concurrency}, {args.actors} actors")
        for engine in ("local", "ray"):
            run(engine, inp, pathlib.Path(tmp, f"{engine}.jsonl"), server, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
