"""The benchmark cases: for each workload and size, the native call, the plain-Python
twin and the floor (only the host calls that cannot be avoided), as zero-argument
callables that do the same work."""
import asyncio
import json
import os
import time
from collections import deque
from dataclasses import dataclass
from itertools import repeat
from typing import Callable

import morvex.core.summarizer as native

from benchmarks import conversations as conv
from benchmarks import twin

twin.SUMMARIZE_PROMPT = native.SUMMARIZE_PROMPT

QUICK = os.environ.get("SUMMARIZER_BENCH_QUICK") == "1"
SIZES = (100,) if QUICK else (100, 1000, 10000, 100000)
IMPLS = ("native", "twin", "floor")
E2E_CALLS = 100  # operations per timed round of the end-to-end workloads


@dataclass(frozen=True)
class Case:
    workload: str  # "a".."f"
    label: str  # e.g. "transcript text ascii"
    size: int  # messages, arguments, bytes or entries
    unit: str  # what `size` counts
    make: Callable  # () -> {"native": fn, "twin": fn, "floor": fn}

    @property
    def name(self):
        return f"{self.workload}:{self.label}:{self.size}"


def _transcript(shape, charset, size):
    def make():
        messages = conv.conversation(shape, charset, size)
        lines = twin.transcript_lines(messages)
        texts = conv.json_arguments(messages)
        loads = json.loads

        def floor():
            for text in texts:
                loads(text)
            return "\n".join(lines)

        fmt = native._format_messages_for_summary
        return {"native": lambda: fmt(messages),
                "twin": lambda: twin.format_messages(messages),
                "floor": floor}
    return make


def _brief(charset):
    def make():
        args = conv.brief_arguments(charset)
        parts = twin.brief_args(args).split(", ")
        others = [v for v in args.values() if not isinstance(v, str)]

        def floor():
            for value in others:
                str(value)
            return ", ".join(parts)

        brief = native._brief_args
        return {"native": lambda: brief(args), "twin": lambda: twin.brief_args(args),
                "floor": floor}
    return make


def _parse(size, fenced):
    def make():
        text = conv.reply(size, fenced)
        inner = text.strip().strip("`").removeprefix("json")  # what json.loads must read
        loads = json.loads

        def floor():
            loads(inner)
            return time.time()

        parse = native._parse_summary
        return {"native": lambda: parse(text), "twin": lambda: twin.parse(text),
                "floor": floor}
    return make


def _fallback(size):
    def make():
        messages = conv.conversation("text", "ascii", size)
        get = dict.get

        def floor():  # one C-level key lookup per record
            deque(map(get, messages, repeat("role")), 0)

        fallback = native._fallback_summary
        return {"native": lambda: fallback(messages),
                "twin": lambda: twin.fallback(messages), "floor": floor}
    return make


def _context(entries, charset):
    def make():
        record = conv.record(entries, charset)
        ours = native.ConversationSummarizer(None)
        theirs = twin.ConversationSummarizer(None)
        parts = theirs.format_summary_for_context(record).split("\n")

        def floor():
            return "\n".join(parts)

        return {"native": lambda: ours.format_summary_for_context(record),
                "twin": lambda: theirs.format_summary_for_context(record), "floor": floor}
    return make


class Reply:
    __slots__ = ("content",)

    def __init__(self, content):
        self.content = content


class Client:
    """Returns the reply at once, or after suspending once on the event loop."""

    def __init__(self, text, suspend):
        self.reply = Reply(text)
        self.suspend = suspend

    async def complete(self, messages, max_tokens):
        if self.suspend:
            await asyncio.sleep(0)
        return self.reply


def _end_to_end(suspend):
    def make():
        messages = conv.conversation("text", "ascii", 10)
        client = Client(conv.reply(2000, fenced=False), suspend)
        ours = native.ConversationSummarizer(client)
        theirs = twin.ConversationSummarizer(client)
        request = [{"role": "system", "content": native.SUMMARIZE_PROMPT},
                   {"role": "user", "content": "Summarize."}]
        loads = json.loads
        text = client.reply.content

        async def floor_call():  # the client's own cost, and the parse it makes necessary
            response = await client.complete(messages=request, max_tokens=2048)
            loads(response.content)
            return time.time()

        loop = asyncio.new_event_loop()

        def driver(make_op):
            async def many():
                for _ in range(E2E_CALLS):
                    await make_op()
            return lambda: loop.run_until_complete(many())

        assert loads(text)  # the reply parses: every call takes the parsed path
        return {"native": driver(lambda: ours.summarize_messages(messages)),
                "twin": driver(lambda: theirs.summarize_messages(messages)),
                "floor": driver(floor_call)}
    return make


def all_cases():
    cases = []
    for shape in ("text", "tools"):
        for charset in ("ascii", "mixed"):
            for size in SIZES:
                cases.append(Case("a", f"transcript {shape} {charset}", size, "messages",
                                  _transcript(shape, charset, size)))
    for charset in ("ascii", "mixed"):
        cases.append(Case("b", f"brief {charset}", 20, "arguments", _brief(charset)))
    for size in (2000, 20000):
        for fenced in (True, False):
            cases.append(Case("c", f"parse {'fenced' if fenced else 'bare'}", size, "bytes",
                              _parse(size, fenced)))
    for size in SIZES[1:] or SIZES:
        cases.append(Case("d", "fallback", size, "messages", _fallback(size)))
    for entries in (10, 1000):
        for charset in ("ascii", "mixed"):
            cases.append(Case("e", f"context {charset}", entries, "entries",
                              _context(entries, charset)))
    for suspend in (False, True):
        cases.append(Case("f", f"summarize {'suspending' if suspend else 'immediate'}",
                          E2E_CALLS, "calls", _end_to_end(suspend)))
    return cases


def check_same_results():
    """The native call and the twin agree on every case (timestamps aside)."""
    for case in all_cases():
        if case.workload == "f":
            continue
        fns = case.make()
        a, b = fns["native"](), fns["twin"]()
        if isinstance(a, dict):
            a = {k: v for k, v in a.items() if k != "created_at"}
            b = {k: v for k, v in b.items() if k != "created_at"}
        if a != b:
            raise AssertionError(f"native and twin differ on {case.name}")
