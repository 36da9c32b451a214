"""Moments only a finaliser or a constructor can see, compared with plain Python: when
the values held by a function's locals are released, when the exception of a throw()
is built, and what closing an operation that never started does deep in a chain."""
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
# The exception of throw(cls) is built before the operation is marked running

def throw_scenario(make, state, action):
    """Throws a class whose constructor acts on the same operation; returns what the
    constructor saw, what throw() gave and the operation's state afterwards."""
    seen = []

    class Built(Exception):
        def __init__(self, *args):
            seen.append(("running while built", op.cr_running))
            if action == "close":
                seen.append(outcome(op.close))
            elif action == "send":
                seen.append(outcome(lambda: op.send(None)))
            elif action == "throw":
                seen.append(outcome(lambda: op.throw(KeyError("inner"))))
            super().__init__("built")

    class Client:
        def complete(self, **kwargs):
            if state == "running":
                seen.append(("throw from inside", outcome(lambda: op.throw(Built))))
            return handoff()

    op = make(Client())
    if state == "running":
        seen.append(outcome(lambda: op.send(None)))
    seen.append(("throw", outcome(lambda: op.throw(Built))))
    seen.append(("after", op.cr_running, op.cr_await is None, outcome(op.close)))
    return seen


@pytest.mark.parametrize("action", ["nothing", "close", "send", "throw"])
@pytest.mark.parametrize("state", ["created", "running"])
def test_thrown_class_is_built_before_running(env, state, action):
    twin = throw_scenario(lambda client: twin_summarize(client, [1]), state, action)
    module = throw_scenario(lambda client: env.make(client).summarize_messages([1]), state,
                            action)
    assert module == twin


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
