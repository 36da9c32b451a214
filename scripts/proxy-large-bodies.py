#!/usr/bin/env python3
"""Whether one client's large bodies hold the proxy's other clients up.

    python3 scripts/proxy-large-bodies.py [--clients 50] [--rounds 4] [--seconds 8]
                                          [--megabytes 29] [--output-bytes 2000]
                                          [--pause 0.5] [--floor]
                                          [--package DIR]

`morvex-summarize serve` runs in a process of its own in front of a loopback upstream (a
process too) that streams every answer. CLIENTS clients each stream chat completions in a
loop, PAUSE seconds apart, and time the first chunk of each. Phases of SECONDS alternate, ROUNDS times each:
without the large client, and with one more client that sends a MEGABYTES body over the
budget (a long agent history) again and again. Prints the median, 90th and 99th
percentile and the longest time to the first chunk in each kind of phase, and the ratio
of the medians. ``--output-bytes`` sets the size of each tool output in the large body
(smaller: more messages). ``--package`` runs the proxy from another copy of the package
(a directory holding ``morvex_summarize``), to compare two versions on the same machine; ``--floor`` measures what one busy core alone
costs the other clients on this machine. Needs the serve and test extras.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent.parent

UPSTREAM = """
import sys, time
sys.path.insert(0, {tests!r})
import loopback
up = loopback.Upstream(lambda req: loopback.Answer(
    pieces=loopback.chat_pieces("m", ["a", "b", "c"]), pause=0.01))
print(up.url, flush=True)
while True:
    time.sleep(3600)
"""


def start_upstream() -> tuple[subprocess.Popen[str], str]:
    code = UPSTREAM.format(tests=str(HERE / "tests" / "companion" / "serve"))
    process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    return process, process.stdout.readline().strip()


def start_proxy(package: str, upstream: str) -> tuple[subprocess.Popen[str], str]:
    env = dict(os.environ, PYTHONPATH=package)
    process = subprocess.Popen(
        [sys.executable, "-m", "morvex_summarize", "serve", "--upstream", upstream,
         "--budget", "8000", "--port", "0", "--max-body", str(64 * 1024 * 1024),
         "--grace", "1"],
        stderr=subprocess.PIPE, text=True, env=env)
    assert process.stderr is not None
    line = process.stderr.readline()
    found = re.search(r"(http://\S+/v1)", line)
    if not found:
        process.kill()
        sys.exit(f"proxy-large-bodies: the proxy did not start: {line.strip()}")
    # its log is read as it comes: a full pipe would stop the proxy
    threading.Thread(target=process.stderr.read, daemon=True).start()
    return process, found.group(1)


def large_body(megabytes: int, output: int) -> bytes:
    messages = [{"role": "system", "content": "You are a coding agent."},
                {"role": "user", "content": "Fix the failing parser tests."}]
    n = size = 0
    while size < megabytes * 1_000_000:
        call = f"call_{n}"
        messages.append({"role": "assistant", "content": None, "tool_calls": [
            {"id": call, "type": "function", "function": {
                "name": "bash", "arguments": json.dumps({"cmd": f"pytest tests/t{n}.py"})}}]})
        messages.append({"role": "tool", "tool_call_id": call,
                         "content": (f"tests/t{n}.py ... ok\n" * output)[:output]})
        size += len(messages[-1]["content"]) + 250
        n += 1
    return json.dumps({"model": "m", "messages": messages}).encode()


SENDER = """
import sys, httpx
body = open(sys.argv[1], "rb").read()
with httpx.Client(timeout=300) as client:
    while True:
        client.post(sys.argv[2] + "/chat/completions", content=body,
                    headers={"content-type": "application/json"}).read()
        print("sent", flush=True)
"""


def busy(args: argparse.Namespace, url: str, path: str) -> subprocess.Popen[str]:
    """The process that loads the machine during a phase: the large client (in a process
    of its own, so it takes nothing from the clients' interpreter), or for ``--floor`` a
    loop that keeps one core busy."""
    if args.floor:
        return subprocess.Popen([sys.executable, "-c", "while True: pass"], text=True)
    return subprocess.Popen([sys.executable, "-c", SENDER, path, url],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


async def phase(url: str, clients: int, seconds: float, pause: float) -> list[float]:
    import httpx

    times: list[float] = []
    failed = 0
    end = time.monotonic() + seconds
    limits = httpx.Limits(max_connections=clients + 10)
    body = {"model": "m", "stream": True,
            "messages": [{"role": "user", "content": "Say three letters."}]}

    async def one(client: httpx.AsyncClient) -> None:
        nonlocal failed
        while time.monotonic() < end:
            started = time.perf_counter()
            first = True
            try:
                async with client.stream("POST", url + "/chat/completions",
                                         json=body) as answer:
                    async for _ in answer.aiter_raw():
                        if first:
                            times.append(time.perf_counter() - started)
                            first = False
            except httpx.HTTPError:
                failed += 1
            await asyncio.sleep(pause)

    async with httpx.AsyncClient(timeout=120, limits=limits) as client:
        await asyncio.gather(*(one(client) for _ in range(clients)))
    if failed:
        print(f"  {failed} streams failed", file=sys.stderr)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--megabytes", type=int, default=29)
    parser.add_argument("--pause", type=float, default=0.5,
                        help="seconds each client waits between two requests")
    parser.add_argument("--output-bytes", type=int, default=2000,
                        help="characters of each tool output in the large body")
    parser.add_argument("--floor", action="store_true",
                        help="instead of the large client, a process that only keeps one "
                             "core busy: what the machine alone costs the other clients")
    parser.add_argument("--package", default=str(HERE / "python"))
    args = parser.parse_args()
    upstream, upstream_url = start_upstream()
    proxy, url = start_proxy(args.package, upstream_url)
    try:
        body = large_body(args.megabytes, args.output_bytes)
        with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as file:
            file.write(body)
        path = file.name
        alone: list[float] = []
        beside: list[float] = []
        sent = 0
        try:
            for _ in range(args.rounds):
                time.sleep(0.5)
                alone += asyncio.run(phase(url, args.clients, args.seconds, args.pause))
                load = busy(args, url, path)
                beside += asyncio.run(phase(url, args.clients, args.seconds, args.pause))
                load.kill()
                out, _ = load.communicate()
                sent += (out or "").count("sent")
        finally:
            os.unlink(path)

        def figures(times: list[float]) -> str:
            ordered = sorted(times)
            p90 = ordered[int(len(ordered) * 0.9)]
            p99 = ordered[int(len(ordered) * 0.99)]
            return (f"median {statistics.median(times) * 1000:.1f} ms, "
                    f"p90 {p90 * 1000:.1f} ms, p99 {p99 * 1000:.1f} ms, "
                    f"max {ordered[-1] * 1000:.1f} ms ({len(times)} streams)")

        if args.floor:
            print(f"package: {args.package}; floor: one core kept busy instead")
        else:
            print(f"package: {args.package}; large body {len(body) / 1e6:.1f} MB, "
                  f"sent {sent} times")
        print(f"without the large client: {figures(alone)}")
        print(f"with the large client:    {figures(beside)}")
        print(f"ratio of medians: {statistics.median(beside) / statistics.median(alone):.2f}")
    finally:
        proxy.terminate()
        upstream.terminate()
        proxy.wait(30)
        upstream.wait(30)


if __name__ == "__main__":
    main()
