"""Moments only a finaliser or a constructor can see, compared with plain Python: what
closing an operation that never started does deep in a chain."""
import asyncio
import sys
import warnings

import pytest
from driver_support import Reply, env, handoff  # noqa: F401


def outcome(fn):
    try:
        return ("value", fn())
    except BaseException as exc:  # noqa: B036
        return (type(exc).__name__, str(exc))


async def twin_summarize(client, messages):
    """The summarize operation's body in plain Python, over the stand-ins of `env`."""
    try:
        response = await client.complete(messages=[], max_tokens=2048)
        if not response.content:
            return {"fallback": len(messages)}
        return {"parsed": response.content}
    except Exception:
        return {"fallback": len(messages)}


# ---------------------------------------------------------------------------------
# Closing an operation that never started has nothing to do, at any depth

class Handoff:
    """complete() hands over the operation it holds and keeps no reference to it."""

    def __init__(self, inner):
        self.inner = [inner]

    def complete(self, **kwargs):
        return self.inner.pop()


class Quick:
    def complete(self, **kwargs):
        return handoff('{"a": 1}')


def chain_run(make, depth, limit):
    """Drives a chain of `depth` operations, each awaiting the next, under a recursion
    limit of `limit`; returns what was written out as unraisable."""
    seen, hook, old_limit = [], sys.unraisablehook, sys.getrecursionlimit()
    sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value)))
    op = make(Quick())
    for _ in range(depth):
        op = make(Handoff(op))
    try:
        sys.setrecursionlimit(limit)
        with warnings.catch_warnings():  # those below the refused one never start
            warnings.simplefilter("ignore", RuntimeWarning)
            asyncio.run(op)
            del op
    finally:
        sys.setrecursionlimit(old_limit)
        sys.unraisablehook = hook
    return seen


@pytest.mark.parametrize("depth, limit", [(3000, 1000), (1500, 1200)])
def test_closing_never_started_at_the_limit_is_quiet(env, depth, limit):
    twin = chain_run(lambda client: twin_summarize(client, [1]), depth, limit)
    module = chain_run(lambda client: env.make(client).summarize_messages([1]), depth, limit)
    assert module == twin
