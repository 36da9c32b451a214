#!/usr/bin/env python3
"""What the condensing proxy does for an agent that only changed its base URL.

    python3 scripts/proxy-figures.py [--turns 200] [--budget 4000] [--streams 30]

A tool-using agent written against the plain openai SDK (Chat Completions and Responses)
and the plain anthropic SDK runs TURNS turns through `morvex-summarize serve`'s application
(uvicorn on loopback) in front of a loopback upstream that plays the model, records every
request and checks each body against the SDK's own request types. For each API: the
largest request the upstream saw against the budget and against the agent's own history
(tokens by the package's estimate, and bytes), the summary requests against the calls
(and against the calls over budget, each of which would need one without the stored
summaries), calls with a tool call apart from its output, bodies the SDK's types refuse.
Then streaming: the time to the first chunk of a streamed chat completion, directly and
through the proxy. Needs the serve and test extras (uvicorn, starlette, httpx, openai,
anthropic).
"""
from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(HERE / "tests" / "companion" / "serve"))
sys.path.insert(0, str(HERE / "python"))

try:
    import agent_loop
    import loopback
except ImportError as exc:
    sys.exit(f"proxy-figures: {exc}: pip install '.[serve,test]'")

APIS = [("Chat Completions (openai SDK)", "/chat/completions", "openai"),
        ("Responses (openai SDK)", "/responses", "openai"),
        ("Messages (anthropic SDK)", "/messages", "anthropic")]


def responder(req: loopback.Recorded) -> loopback.Answer:
    if isinstance(req.body, dict) and req.body.get("tools"):
        return agent_loop.model(req)
    return loopback.default_answer(req)


def agent_run(title: str, path: str, api: str, turns: int, budget: int) -> list[str]:
    upstream = loopback.Upstream(responder)
    proxy, _ = loopback.serve_proxy(upstream.url, budget, upstream_format=api)
    seen: list[tuple[int, int]] = []

    def note(raw: object) -> None:
        before, after = raw.headers["x-morvex-condensed"].split("/")  # type: ignore[attr-defined]
        seen.append((int(before), int(after)))

    started = time.perf_counter()
    try:
        agent_loop.AGENTS[path](agent_loop.sdk_client(path, proxy.url + "/v1"), turns, note)
    finally:
        proxy.close()
        upstream.close()
    took = time.perf_counter() - started
    calls = upstream.calls
    unpaired = sum(1 for c in calls if loopback.unpaired(path, c.body))
    invalid = sum(1 for r in upstream.requests if r.invalid)
    largest = max(after for _, after in seen)
    history = max(before for before, _ in seen)
    biggest_bytes = max(len(c.raw) for c in calls)
    over = sum(1 for before, _ in seen if before > budget)
    return [title, str(turns), str(len(calls)), str(over), str(len(upstream.summaries)),
            f"{largest} / {budget}", str(history), f"{biggest_bytes:,}",
            str(unpaired), str(invalid), f"{took:.1f} s"]


def first_chunk(base_url: str, messages: list[dict[str, str]], runs: int) -> float:
    import openai

    client = openai.OpenAI(base_url=base_url, api_key="sk-figures", max_retries=0)
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        stream = client.chat.completions.create(model="m", messages=messages, stream=True)
        next(iter(stream))
        times.append(time.perf_counter() - started)
        for _ in stream:
            pass
    client.close()
    return statistics.median(times) * 1000


def streaming(runs: int, budget: int, turns: int) -> list[list[str]]:
    upstream = loopback.Upstream()
    proxy, _ = loopback.serve_proxy(upstream.url, budget)
    short = [{"role": "user", "content": "Stream a short answer."}]
    long: list[dict[str, str]] = []
    for n in range(turns):
        long += [{"role": "user", "content": f"Turn {n}: " + "what next? " * 20},
                 {"role": "assistant", "content": f"Answer {n}: " + "done that. " * 40}]
    long.append({"role": "user", "content": "Stream a short answer."})
    rows = []
    try:
        first_chunk(proxy.url + "/v1", long, 1)  # the summary, made once and then reused
        for name, messages in (("a 1-message conversation", short),
                               (f"a {len(long)}-message conversation", long)):
            direct = first_chunk(upstream.url, messages, runs)
            through = first_chunk(proxy.url + "/v1", messages, runs)
            rows.append([name, f"{direct:.1f} ms", f"{through:.1f} ms",
                         f"{through - direct:+.1f} ms"])
    finally:
        proxy.close()
        upstream.close()
    return rows


def table(header: list[str], rows: list[list[str]]) -> None:
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=200)
    parser.add_argument("--budget", type=int, default=4000)
    parser.add_argument("--streams", type=int, default=30,
                        help="streamed requests per time-to-first-chunk figure")
    parser.add_argument("--api", choices=[path for _, path, _ in APIS], action="append",
                        help="run the agent on this API only (repeatable; default: all)")
    parser.add_argument("--no-streaming", action="store_true",
                        help="leave out the time-to-first-chunk figures")
    args = parser.parse_args()
    rows = [agent_run(title, path, api, args.turns, args.budget)
            for title, path, api in APIS if not args.api or path in args.api]
    print(f"\n### A {args.turns}-turn tool-using agent, budget {args.budget} tokens\n")
    table(["API", "turns", "model calls", "calls over budget", "summary requests",
           "largest request sent / budget (tokens)", "largest history (tokens)",
           "largest request sent (bytes)", "calls with a split tool call",
           "bodies the SDK refuses", "run"], rows)
    if args.no_streaming:
        return
    print(f"\n### Time to the first streamed chunk (median of {args.streams})\n")
    table(["request", "direct", "through the proxy", "difference"],
          streaming(args.streams, args.budget, 100))


if __name__ == "__main__":
    main()
