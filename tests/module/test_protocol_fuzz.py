"""Random protocol sequences for the summarize operation. By hand: send, throw, close,
__await__ and the am_send slot in any order, over many kinds of awaitables that the
client may hand back, with collections in between; each step must end as it does for
an `async def` coroutine with the same body. Under asyncio, uvloop and trio: many
operations with random suspensions, failures and cancellations, side by side with
the same number of `async def` twins. Finalisers that reach an operation through weak
references made during a collection must find it usable or cleanly refused."""
import asyncio
import gc
import inspect
import sys
import warnings
import weakref

import pytest
from driver_support import GenClient, Reply, env, handoff, iter_send  # noqa: F401
from hypothesis import event, given, settings
from hypothesis import strategies as st

ACTIONS_RUN = [0]
# Protocol runs are cheap: several times the profile's examples per test.
more = settings(max_examples=5 * settings.default.max_examples)


class Stop(BaseException):
    pass


@pytest.fixture(scope="module", autouse=True)
def report_actions():
    """Keeps the objects made before these tests out of their many collections, and
    tells (with -s) how many protocol actions the tests made."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()
    sys.stderr.write(f"\nprotocol actions: {ACTIONS_RUN[0]}\n")


@pytest.fixture(scope="module")
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


class PlainIterator:
    """An await iterator with __next__ only: no send, throw or close."""

    def __init__(self, steps):
        self.steps = steps

    def __iter__(self):
        return self

    def __next__(self):
        if self.steps:
            self.steps -= 1
            return "plain"
        raise StopIteration(Reply('{"plain": 1}'))


class Awaitable:
    def __init__(self, steps):
        self.steps = steps

    def __await__(self):
        return PlainIterator(self.steps)


async def at_once():
    return Reply('{"now": 1}')


async def suspending(times):
    sent = None
    for _ in range(times):
        sent = await handoff()
    return sent


async def raising(exc, after):
    if after:
        await handoff()
    raise exc


def inner_kinds(futures, loop, mod, gen_client):
    return {
        "returns at once": at_once,
        "suspends once": lambda: suspending(1),
        "suspends thrice": lambda: suspending(3),
        "raises": lambda: raising(ValueError("inner"), False),
        "raises after suspending": lambda: raising(KeyError("inner"), True),
        "base exception after suspending": lambda: raising(Stop("inner"), True),
        "generator coroutine": handoff,
        "future": lambda: futures.append(loop.create_future()) or futures[-1],
        "python future": lambda: futures.append(
            asyncio.futures._PyFuture(loop=loop)) or futures[-1],
        "plain awaitable": lambda: Awaitable(2),
        "not awaitable": lambda: {"content": "x"},
        "another operation": lambda: mod.ConversationSummarizer(gen_client).summarize_messages(
            [1]),
    }


INNER = ["returns at once", "suspends once", "suspends thrice", "raises",
         "raises after suspending", "base exception after suspending", "generator coroutine",
         "future", "python future", "plain awaitable", "not awaitable", "another operation"]


class FuzzClient:
    def __init__(self, make):
        self.make = make

    def complete(self, **kwargs):
        return self.make()


async def twin_body(mod, client, messages):
    """The summarize body over the test stand-ins, as an `async def`."""
    try:
        response = await client.complete(messages=[], max_tokens=2048)
        if response.content:
            return mod._parse_summary(response.content)
        mod.logger.warning("Empty response from summarizer LLM")
        return mod._fallback_summary(messages)
    except Exception as e:
        mod.logger.error(f"Summarization failed: {e}")
        return mod._fallback_summary(messages)


JUST_STARTED = ("TypeError", "can't send non-None value to a just-started coroutine")
SENT = ['{"sent": 1}', "not json", 5, None]


def act(obj, action, futures):
    """Performs one protocol action on `obj`; returns what it gave back."""
    name, arg = action
    if name == "send":
        return obj.send(SENT[arg])
    if name == "throw":
        return obj.throw([ValueError("thrown"), KeyError, GeneratorExit, Stop][arg])
    if name == "close":
        return obj.close()
    if name == "next wrapper":
        return next(obj.__await__())
    if name == "wrapper send":
        return obj.__await__().send(SENT[arg])
    if name == "wrapper throw":
        return obj.__await__().throw(ValueError("via wrapper"))
    if name == "wrapper close":
        return obj.__await__().close()
    if name == "am_send":
        return iter_send(obj, SENT[arg])
    if name == "wrapper am_send":
        return iter_send(obj.__await__(), SENT[arg])
    if name == "resolve":
        for future in futures:
            if not future.done():
                future.set_result(Reply(SENT[arg]))
        return None
    gc.collect()
    return None


def shown(value):
    if asyncio.isfuture(value):
        return "future"
    if isinstance(value, tuple):
        return tuple(shown(v) for v in value)
    return value


def step(obj, action, futures):
    ACTIONS_RUN[0] += 1
    try:
        got = ("value", shown(act(obj, action, futures)))
    except StopIteration as stop:
        got = ("StopIteration", shown(stop.value))
    except SystemError:
        raise
    except BaseException as exc:  # noqa: B036
        got = (type(exc).__name__, str(exc))
    return got, inspect.getcoroutinestate(obj), obj.cr_running, obj.cr_await is None


actions = st.lists(st.tuples(
    st.sampled_from(["send", "throw", "close", "next wrapper", "wrapper send", "wrapper throw",
                     "wrapper close", "am_send", "wrapper am_send", "resolve", "collect"]),
    st.integers(0, 3)), max_size=10)


@more
@given(inner=st.sampled_from(INNER), sequence=actions)
def test_by_hand_like_async_def(mod, env, loop, inner, sequence):
    env.log.records.clear()
    runs = []
    for which in ("operation", "async def"):
        futures = []
        client = FuzzClient(inner_kinds(futures, loop, mod, GenClient())[inner])
        obj = (env.make(client).summarize_messages([1]) if which == "operation"
               else twin_body(mod, client, [1]))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            steps = []
            for action in sequence:
                steps.append(step(obj, action, futures))
                if steps[-1][0] == JUST_STARTED and which == "async def":
                    # The operation ends there; a host coroutine stays unstarted.
                    obj.close()
                    steps[-1] = (JUST_STARTED, inspect.getcoroutinestate(obj), False, True)
            steps.append(step(obj, ("close", 0), futures))
            del obj
            gc.collect()
        runs.append((steps, list(env.log.records)))
        env.log.records.clear()
    assert runs[0] == runs[1]
    event(runs[0][0][-2][0][0] if len(runs[0][0]) > 1 else "closed at once")


@more
@given(inner=st.sampled_from(INNER), before=actions,
       resumer=st.sampled_from(["send", "throw", "close", "am_send", "next wrapper"]))
def test_finaliser_reaches_operation_during_collection(mod, env, loop, inner, before, resumer):
    """The operation sits in a garbage cycle with an object whose finaliser makes a
    weak reference to it; the finaliser of that reference's holder then drives it."""
    seen = []

    class Holder:
        def __init__(self, ref):
            self.ref = ref

        def __del__(self):
            target = self.ref()
            seen.append("gone" if target is None else step(target, (resumer, 0), futures)[0][0])

    class Trap:
        def __del__(self):
            self.holder = Holder(weakref.ref(self.op))

    futures = []
    client = FuzzClient(inner_kinds(futures, loop, mod, GenClient())[inner])
    op = env.make(client).summarize_messages([1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for action in before:
            step(op, action, futures)
        trap = Trap()
        trap.op, client.trap = op, trap
        del op, trap, client
        gc.collect()
        gc.collect()
    assert len(seen) <= 1 and "SystemError" not in seen
    event(seen[0] if seen else "not reached")


# ---------------------------------------------------------------------------------
# Event loops

def plan_strategy():
    task = st.tuples(st.integers(0, 3), st.sampled_from(["reply", "empty", "raise", "stop"]),
                     st.booleans())
    return st.tuples(st.lists(task, min_size=1, max_size=8), st.integers(0, 4),
                     st.booleans())


def loop_outcome(result):
    if isinstance(result, BaseException):
        return type(result).__name__
    return result


def asyncio_run(lib, mod, env, plan, native):
    tasks_plan, cancel_after, collect = plan

    async def inner(sleeps, ending):
        for _ in range(sleeps):
            await asyncio.sleep(0)
        if ending == "raise":
            raise ValueError("inner")
        if ending == "stop":
            raise Stop("inner")
        return Reply('{"loop": 1}' if ending == "reply" else "")

    async def main():
        tasks = []
        for sleeps, ending, _ in tasks_plan:
            client = FuzzClient(lambda s=sleeps, e=ending: inner(s, e))
            coro = twin_body(mod, client, [1]) if native else \
                env.make(client).summarize_messages([1])
            tasks.append(asyncio.ensure_future(coro))
        for _ in range(cancel_after):
            await asyncio.sleep(0)
            if collect:
                gc.collect()
        for task, (_, _, cancel) in zip(tasks, tasks_plan):
            if cancel:
                task.cancel()
        done = await asyncio.gather(*tasks, return_exceptions=True)
        return [loop_outcome(r) for r in done]

    return lib.run(main())


def trio_run(trio, mod, env, plan, native):
    tasks_plan, cancel_after, collect = plan
    results = [None] * len(tasks_plan)

    async def inner(sleeps, ending):
        for _ in range(sleeps):
            await trio.sleep(0)
        if ending == "raise":
            raise ValueError("inner")
        if ending == "stop":
            raise Stop("inner")
        return Reply('{"loop": 1}' if ending == "reply" else "")

    async def one(i, scope, sleeps, ending):
        client = FuzzClient(lambda: inner(sleeps, ending))
        coro = twin_body(mod, client, [1]) if native else \
            env.make(client).summarize_messages([1])
        with scope:
            try:
                results[i] = await coro
            except Stop as exc:
                results[i] = loop_outcome(exc)
                return
        if scope.cancelled_caught:
            results[i] = "Cancelled"

    async def main():
        scopes = [trio.CancelScope() for _ in tasks_plan]
        async with trio.open_nursery() as nursery:
            for i, (sleeps, ending, _) in enumerate(tasks_plan):
                nursery.start_soon(one, i, scopes[i], sleeps, ending)
            for _ in range(cancel_after):
                await trio.sleep(0)
                if collect:
                    gc.collect()
            for scope, (_, _, cancel) in zip(scopes, tasks_plan):
                if cancel:
                    scope.cancel()

    # trio shuffles its run queue at random; both runs get the same shuffles.
    trio._core._run._r.seed(len(tasks_plan))
    trio.run(main)
    return results


@pytest.mark.parametrize("name", ["asyncio", "uvloop", "trio"])
@given(plan=plan_strategy())
def test_event_loops_like_async_def(mod, env, name, plan):
    lib = pytest.importorskip(name)
    runner = trio_run if name == "trio" else asyncio_run
    outcomes = []
    for native in (False, True):
        env.log.records.clear()
        outcomes.append((runner(lib, mod, env, plan, native), list(env.log.records)))
    ACTIONS_RUN[0] += len(plan[0])
    assert outcomes[0] == outcomes[1]
    event(str(sorted(set(map(str, outcomes[0][0])))))
