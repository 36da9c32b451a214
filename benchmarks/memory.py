"""Memory of pending summarize operations, native against the twin's coroutines.

Prints one JSON object: bytes per operation, created (not yet started) and suspended
inside the client's request, for both."""
import asyncio
import gc
import json
import sys
import tracemalloc

import morvex.core.summarizer as native

from benchmarks import conversations as conv
from benchmarks import twin

# Both hold the same system text while they wait: the twin sends the module's prompt.
twin.SUMMARIZE_PROMPT = native.SUMMARIZE_PROMPT


class Pending:
    """A client whose request never finishes: operations stay suspended in it."""

    def __init__(self, loop):
        self.loop = loop

    async def complete(self, messages, max_tokens):
        return await self.loop.create_future()


def _measure(count, make, start, loop):
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    ops = [make() for _ in range(count)]
    created = tracemalloc.get_traced_memory()[0] - base
    tasks = []
    if start:
        tasks = [loop.create_task(op) for op in ops]
        loop.run_until_complete(asyncio.sleep(0))
        loop.run_until_complete(asyncio.sleep(0))
    total = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    for task in tasks:
        task.cancel()
    if tasks:
        loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
    for op in ops if not start else ():
        op.close()
    return created / count, total / count


def main(count):
    loop = asyncio.new_event_loop()
    messages = conv.conversation("text", "ascii", 10)
    client = Pending(loop)
    ours = native.ConversationSummarizer(client)
    theirs = twin.ConversationSummarizer(client)
    out = {"count": count}
    for name, s in (("native", ours), ("twin", theirs)):
        created, _ = _measure(count, lambda: s.summarize_messages(messages), False, loop)
        _, pending = _measure(count, lambda: s.summarize_messages(messages), True, loop)
        # A suspended operation also holds its task, the client's coroutine, the
        # request and the rendered prompt; those are the same for both.
        out[name] = {"created": round(created), "suspended": round(pending)}
    loop.close()
    print(json.dumps(out))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10000)
