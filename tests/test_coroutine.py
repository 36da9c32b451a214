"""The summarize operation as an awaitable: its protocol, states, delegation,
finalisation, drivers and lifetime, side by side with the host's own coroutines where
the two behave alike."""
import asyncio
import collections.abc
import copy
import gc
import inspect
import pickle
import random
import sys
import types
import warnings
import weakref

import pytest
from conftest import leak_check, tb_entries
from driver_support import Client, GenClient, Log, Reply, env, handoff, iter_send, run  # noqa: F401

OP = "morvex.core.summarizer.coroutine"
WRAPPER = "morvex.core.summarizer.coroutine_wrapper"
FALLBACK = {"fallback": 1}
NO_LEAK_CHECK = sys.getallocatedblocks() == 0  # PYTHONMALLOC=malloc


async def native():
    return await handoff()


def pair(env, kind, client=None):
    return native() if kind == "native" else env.make(client or GenClient()).summarize_messages([1])


# --- the types ------------------------------------------------------------------------

def test_types(env):
    op = pair(env, "op")
    wrapper = op.__await__()
    assert (type(op).__module__, type(op).__name__) == ("morvex.core.summarizer", "coroutine")
    assert (type(wrapper).__module__, type(wrapper).__name__) == (
        "morvex.core.summarizer", "coroutine_wrapper")
    for obj, name in ((op, OP), (wrapper, WRAPPER)):
        with pytest.raises(TypeError, match=f"^cannot create '{name}' instances$"):
            type(obj)()
        with pytest.raises(TypeError, match=f"^type '{name}' is not an acceptable base type$"):
            type("Sub", (type(obj),), {})
        for reduce in (pickle.dumps, copy.copy, lambda o: o.__reduce__(),
                       lambda o: o.__reduce_ex__(2)):
            with pytest.raises(TypeError, match=f"^cannot pickle '{name}' object$"):
                reduce(obj)
    assert not hasattr(op, "__next__") and not hasattr(op, "__iter__")
    assert iter(wrapper) is wrapper and gc.is_tracked(op) and gc.is_tracked(wrapper)
    assert weakref.ref(op)() is op and weakref.ref(wrapper)() is wrapper
    docs = {name: type(op).__dict__[name].__doc__ for name in
            ("send", "throw", "close", "cr_await", "cr_frame", "__name__", "__qualname__")}
    assert docs == {
        "send": "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise "
                "StopIteration.",
        "throw": "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated "
                 "value or raise StopIteration.",
        "close": "close() -> raise GeneratorExit inside coroutine.",
        "cr_await": "object being awaited, or None", "cr_frame": "Frame of the coroutine",
        "__name__": "name of the coroutine", "__qualname__": "qualified name of the coroutine"}
    assert [getattr(type(wrapper), n).__doc__ for n in ("send", "throw", "close")] == [
        docs["send"].replace("iterated", "yielded"), docs["throw"].replace("iterated", "yielded"),
        docs["close"]]
    op.close()


@pytest.mark.parametrize("kind", ["native", "op"])
def test_recognised_as_coroutine(mod, env, kind):
    op = pair(env, kind)
    function = native if kind == "native" else mod.ConversationSummarizer.summarize_messages
    bound = native if kind == "native" else env.make().summarize_messages
    assert asyncio.iscoroutine(op) and isinstance(op, collections.abc.Coroutine)
    assert asyncio.iscoroutinefunction(function) and asyncio.iscoroutinefunction(bound)
    assert op.cr_code.co_flags & inspect.CO_COROUTINE
    assert op.cr_code is function.__code__ and op.cr_frame.f_code is op.cr_code
    op.close()


# --- side by side with the host's coroutines -------------------------------------------

def outcome(fn):
    try:
        return ("value", fn())
    except BaseException as exc:  # noqa: B036
        return (type(exc).__name__, str(exc))


def finished(op):
    run(op, ['{"a": 1}'])
    return op


THROWN = ValueError("thrown")
SCENARIOS = {
    "send value to new": lambda op: op.send(1),
    "close new": lambda op: op.close(),
    "throw into new": lambda op: op.throw(THROWN),
    "send to finished": lambda op: finished(op).send(None),
    "throw into finished": lambda op: finished(op).throw(THROWN),
    "close finished": lambda op: finished(op).close(),
    "await finished": lambda op: run(native_await(finished(op))),
    "wrapper next on finished": lambda op: next(finished(op).__await__()),
}


async def native_await(awaitable):
    return await awaitable


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_outcomes_match_host_coroutine(env, scenario):
    results = []
    for kind in ("native", "op"):
        op = pair(env, kind)
        results.append(outcome(lambda: SCENARIOS[scenario](op)))
        op.close()
    assert results[0] == results[1]


@pytest.mark.parametrize("kind", ["native", "op"])
def test_reentrance_refused_like_host(env, kind):
    seen = []

    class Reentrant:
        def complete(self, **kwargs):
            for attempt in (lambda: op.send(None), lambda: op.throw(KeyError), op.close,
                            lambda: next(op.__await__())):
                seen.append(outcome(attempt))
            seen.append(op.cr_running)
            return handoff()

    op = native_reentrant(Reentrant(), lambda: op) if kind == "native" else \
        env.make(Reentrant()).summarize_messages([1])
    assert op.send(None) == "marker" and op.cr_running is False
    assert seen == [("ValueError", "coroutine already executing")] * 4 + [True]
    op.close()


async def native_reentrant(client, get):
    return await client.complete()


@pytest.mark.parametrize("kind", ["native", "op"])
def test_never_awaited_warning(env, kind):
    op = pair(env, kind)
    op.__qualname__ = "Renamed.qualname"
    with pytest.warns(RuntimeWarning) as record:
        del op
        gc.collect()
    assert [str(w.message) for w in record] == ["coroutine 'Renamed.qualname' was never awaited"]


def test_never_awaited_default_name_and_error_filter(env):
    with pytest.warns(RuntimeWarning) as record:
        pair(env, "op")
    assert str(record[0].message) == \
        "coroutine 'ConversationSummarizer.summarize_messages' was never awaited"
    assert record[0].filename == __file__
    seen = []
    hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            op = pair(env, "op")
            op_id = id(op)
            del op
    finally:
        sys.unraisablehook = hook
    assert [(type(u.exc_value), id(u.object)) for u in seen] == [(RuntimeWarning, op_id)]


# --- states ---------------------------------------------------------------------------

def test_send_to_new_finishes_it(env):
    op = pair(env, "op")
    assert outcome(lambda: op.send(1)) == (
        "TypeError", "can't send non-None value to a just-started coroutine")
    for resume in (lambda: op.send(None), lambda: iter_send(op, None),
                   lambda: iter_send(op.__await__(), None)):
        assert outcome(resume) == ("RuntimeError", "cannot reuse already awaited coroutine")
    assert op.cr_code is None and env.log.records == []


@pytest.mark.parametrize("event", ["close", "throw", "release with exception pending"])
def test_ending_before_start_runs_nothing(env, recwarn, event):
    client, zero = Client(), 0
    if event == "close":
        assert pair(env, "op", client).close() is None
    elif event == "throw":
        with pytest.raises(KeyError) as info:
            pair(env, "op", client).throw(KeyError("k"))
        assert tb_entries(info.value) == [("summarize_messages", 62)]
    else:  # the operation is dropped from the stack while the error unwinds
        with pytest.raises(ZeroDivisionError):
            [pair(env, "op", client), 1 // zero]
    gc.collect()
    assert client.calls == [] and not recwarn.list and env.log.records == []


def test_suspended_and_finished_attributes(mod, env):
    op = env.make(GenClient()).summarize_messages([1])
    frame = op.cr_frame
    assert (op.__name__, op.__qualname__, op.__module__, op.cr_await, op.cr_running) == (
        "summarize_messages", "ConversationSummarizer.summarize_messages",
        "morvex.core.summarizer", None, False)
    assert frame is op.cr_frame and frame.f_globals == {} and frame.f_code is op.cr_code
    assert op.send(None) == "marker" and inspect.isgenerator(op.cr_await)
    op.__name__, op.__module__ = type("S", (str,), {})("n"), 5
    del op.__module__
    assert op.__name__ == "n" and op.__module__ is None
    with pytest.raises(StopIteration):
        op.send('{"a": 1}')
    assert [op.__name__, op.__qualname__, op.__module__, op.cr_code, op.cr_frame,
            op.cr_await] == [None] * 6


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [5, None, b"x", "delete"])
def test_name_must_be_str(env, attribute, value):
    op = pair(env, "op")
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        if value == "delete":
            delattr(op, attribute)
        else:
            setattr(op, attribute, value)
    assert getattr(op, attribute).endswith("summarize_messages")
    op.close()


# --- drive paths ----------------------------------------------------------------------

def drive_send(op):
    return run(op, ['{"sent": 1}'])


def drive_wrapper(op):
    wrapper, value, yielded = op.__await__(), None, []
    while True:
        try:
            yielded.append(next(wrapper) if value is None else wrapper.send(value))
        except StopIteration as stop:
            return stop.value, yielded
        value = '{"sent": 1}'


def drive_am_send(target):
    def drive(op):
        obj, value, yielded = target(op), None, []
        while True:
            status, result = iter_send(obj, value)
            if status == "return":
                return result, yielded
            yielded.append(result)
            value = '{"sent": 1}'
    return drive


def drive_async_def(op):
    return run(native_await(op), ['{"sent": 1}'])


@pytest.mark.parametrize("drive", [drive_send, drive_wrapper, drive_am_send(lambda op: op),
                                   drive_am_send(lambda op: op.__await__()), drive_async_def])
@pytest.mark.parametrize("client, yielded", [
    (GenClient(), ["marker"]), (Client(suspend=2), [None, None]), (Client(suspend=0), [])])
def test_drive_paths(env, drive, client, yielded):
    expected = {"sent": 1} if yielded == ["marker"] else {"ok": 1}
    assert drive(env.make(client).summarize_messages([1])) == (expected, yielded)


@pytest.mark.parametrize("loop", ["asyncio", "uvloop", "trio"])
def test_event_loops(env, loop):
    lib = pytest.importorskip(loop)
    if loop == "trio":
        class TrioClient(Client):
            async def _reply(self):
                await lib.sleep(0)
                return Reply('{"trio": 1}')
        s = env.make(TrioClient())

        async def main():
            results = [await s.summarize_messages([1])]
            async with lib.open_nursery() as nursery:
                for _ in range(3):
                    nursery.start_soon(collect, results)
            return results

        async def collect(results):
            results.append(await s.summarize_messages([1]))
        assert lib.run(main) == [{"trio": 1}] * 4
        assert lib.run(s.summarize_messages, [1]) == {"trio": 1}
        return
    s = env.make()

    async def main():
        direct = await s.summarize_messages([1])
        task = await asyncio.ensure_future(s.summarize_messages([1]))
        return [direct, task] + await asyncio.gather(*(s.summarize_messages([1]) for _ in range(5)))
    runner = asyncio.run if loop == "asyncio" else lib.run
    assert runner(main()) == [{"ok": 1}] * 7


# --- delegation -----------------------------------------------------------------------

class Delegate:
    """An await iterator that records what reaches it."""

    def __init__(self, log, steps=1, result='{"d": 1}'):
        self.log, self.steps, self.result = log, steps, result

    def __iter__(self):
        return self

    def _step(self, entry):
        self.log.append(entry)
        if self.steps:
            self.steps -= 1
            return "yielded"
        raise StopIteration(Reply(self.result))

    def __next__(self):
        return self._step("next")

    def send(self, value):
        return self._step(("send", value))

    def throw(self, *args):
        if args[0] is GeneratorExit:
            raise GeneratorExit
        return self._step(("throw", args))

    def close(self):
        self.log.append("close")


def failing_lookup(exc):
    def get(self):
        raise exc
    return property(get)


class Bare(Delegate):
    throw = close = failing_lookup(AttributeError("none"))


class Broken(Delegate):
    throw = failing_lookup(RuntimeError("lookup"))


class BrokenClose(Delegate):
    close = failing_lookup(RuntimeError("lookup"))


class ClosingFails(Delegate):
    def close(self):
        raise ValueError("close failed")


class Awaits:
    def __init__(self, delegate):
        self.delegate = delegate

    def complete(self, **kwargs):
        return self

    def __await__(self):
        return self.delegate


@pytest.mark.parametrize("cls, act, expected, log, records", [
    (Delegate, lambda op: op.send(None), ("StopIteration", "{'d': 1}"), ["next", "next"], []),
    (Delegate, lambda op: op.send(5), ("StopIteration", "{'d': 1}"), ["next", ("send", 5)], []),
    (Delegate, lambda op: op.throw(KeyError, "k", None), ("StopIteration", "{'d': 1}"),
     ["next", ("throw", (KeyError, "k", None))], []),
    (Bare, lambda op: op.throw(KeyError("k")), ("StopIteration", str(FALLBACK)), ["next"],
     ["Summarization failed: 'k'"]),
    (Bare, lambda op: op.throw(5), ("StopIteration", str(FALLBACK)), ["next"],
     ["Summarization failed: raise: exception class must be a subclass of BaseException"]),
    (Broken, lambda op: op.throw(KeyError), ("RuntimeError", "lookup"), ["next"], []),
    (Delegate, lambda op: op.throw(GeneratorExit), ("GeneratorExit", ""), ["next", "close"], []),
    (ClosingFails, lambda op: op.throw(GeneratorExit), ("StopIteration", str(FALLBACK)), ["next"],
     ["Summarization failed: close failed"]),
    (Delegate, lambda op: op.close(), ("value", None), ["next", "close"], []),
    (Bare, lambda op: op.close(), ("value", None), ["next"], []),
    (ClosingFails, lambda op: op.close(), ("RuntimeError", "coroutine ignored GeneratorExit"),
     ["next"], ["Summarization failed: close failed"]),
])
def test_delegate_protocol(env, cls, act, expected, log, records):
    entries = []
    delegate = cls(entries)
    op = env.make(Awaits(delegate)).summarize_messages([1])
    assert op.send(None) == "yielded" and op.cr_await is delegate
    assert outcome(lambda: act(op)) == expected
    assert entries == log and [text for _, text in env.log.records] == records
    assert (op.cr_await is delegate) == (cls is Broken)
    op.close()


def test_close_lookup_failure_is_unraisable(env):
    seen, delegate = [], BrokenClose([])
    op = env.make(Awaits(delegate)).summarize_messages([1])
    op.send(None)
    hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        assert op.close() is None
    finally:
        sys.unraisablehook = hook
    assert [(str(u.exc_value), u.object) for u in seen] == [("lookup", delegate)]


class BadAwait:
    def __init__(self, result=None, error=None):
        self.result, self.error = result, error

    def complete(self, **kwargs):
        return self

    def __await__(self):
        if self.error:
            raise self.error
        return self.result


class NoAwait:
    def complete(self, **kwargs):
        return self

    def __getattr__(self, name):
        raise AttributeError(name)


@pytest.mark.parametrize("make, message, cause", [
    (lambda: BadAwait(error=ValueError("bad")),
     "'async for' received an invalid object from __anext__: BadAwait", ValueError),
    (lambda: BadAwait(error=AttributeError("inner")),
     "'async for' received an invalid object from __anext__: BadAwait", AttributeError),
    (lambda: BadAwait(result=5), "__await__() returned non-iterator of type 'int'", None),
    (lambda: BadAwait(result=native()), "__await__() returned non-iterator of type 'coroutine'",
     None),
    (NoAwait, "object NoAwait can't be used in 'await' expression", None),
])
def test_await_refusals(env, make, message, cause):
    client = make()
    assert run(env.make(client).summarize_messages([1]))[0] == FALLBACK
    assert env.log.records == [("error", "Summarization failed: " + message)]
    assert type(env.log.handled[0].__cause__) is (cause or type(None))
    if isinstance(client, BadAwait) and inspect.iscoroutine(client.result):
        client.result.close()


class OpClient:
    def __init__(self, inner):
        self.inner = inner

    def complete(self, **kwargs):
        return self.inner


def test_awaiting_another_operation(env):
    inner = env.make(GenClient()).summarize_messages([1])
    op = env.make(OpClient(inner)).summarize_messages([1])
    assert op.send(None) == "marker" and op.cr_await is inner
    twice = env.make(OpClient(inner)).summarize_messages([1])
    assert run(twice)[0] == FALLBACK
    with pytest.raises(StopIteration) as info:  # the inner record has no `content`
        op.send('{"inner": 1}')
    assert info.value.value == FALLBACK and inner.cr_code is None
    again = env.make(OpClient(inner)).summarize_messages([1])
    assert run(again)[0] == FALLBACK
    assert [text for _, text in env.log.records] == [
        "Summarization failed: coroutine is being awaited already",
        "Summarization failed: 'dict' object has no attribute 'content'",
        "Summarization failed: cannot reuse already awaited coroutine"]
    closing = env.make(OpClient(env.make(GenClient()).summarize_messages([1])))
    op = closing.summarize_messages([1])
    op.send(None)
    inner = op.cr_await
    assert op.close() is None and inner.cr_code is None


def test_throw_argument_rules(env):
    def thrown(*args):
        op = pair(env, "op")
        try:
            with pytest.raises(BaseException) as info:
                op.throw(*args)
        finally:
            op.close()
        return info.value

    def chain(tb):
        while tb is not None:
            yield tb
            tb = tb.tb_next

    instance, tb = KeyError("k"), thrown(KeyError).__traceback__
    assert thrown(ValueError, ("a", "b")).args == ("a", "b")
    assert thrown(ValueError, "x").args == ("x",) and thrown(ValueError, None).args == ()
    assert thrown(LookupError, instance) is instance and thrown(instance) is instance
    assert thrown(KeyError, ValueError("v")).args[0].args == ("v",)
    assert tb in chain(thrown(ValueError, None, tb).__traceback__)
    stop = thrown(StopIteration)
    assert str(stop) == "generator raised StopIteration" and type(stop.__cause__) is StopIteration

    class Odd(Exception):
        def __new__(cls):
            return 5
    for args, message in [
        ((instance, "x"), "instance exception may not have a separate value"),
        ((ValueError, None, 5), "raise: arg 3 must be a traceback or None"),
        ((5,), "raise: exception class must be a subclass of BaseException"),
        ((Odd,), f"calling {Odd!r} should have returned an instance of BaseException, not "
                 "<class 'int'>"),
        ((), "throw expected at least 1 argument, got 0"),
        ((1, 2, 3, 4), "throw expected at most 3 arguments, got 4"),
    ]:
        error = thrown(*args)
        assert (type(error), str(error)) == (TypeError, message)


# --- release and lifetime ---------------------------------------------------------------

@pytest.mark.parametrize("how", ["release", "collect cycle"])
def test_release_while_suspended_closes_client(env, recwarn, how):
    closed = []

    class Closing:
        def complete(self, **kwargs):
            async def reply():  # holds nothing that leads back to the operation
                try:
                    await asyncio.sleep(0)
                finally:
                    closed.append(sys.exc_info()[0])
            return reply()

    client = Closing()
    op = env.make(client).summarize_messages([1])
    op.send(None)
    if how == "collect cycle":
        client.cycle = op
    del op, client
    gc.collect()
    assert closed == [GeneratorExit] and not recwarn.list and env.log.records == []


def test_finalisation_failure_is_unraisable(env):
    class Stop(BaseException):
        pass

    class Stubborn(Delegate):
        def close(self):
            raise Stop("no")

    seen = []
    op = env.make(Awaits(Stubborn([]))).summarize_messages([1])
    op.send(None)
    op_id = id(op)
    hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        del op
    finally:
        sys.unraisablehook = hook
    assert [(type(u.exc_value), id(u.object)) for u in seen] == [(Stop, op_id)]


def gather_many(env, cancel_rate, count):
    rng = random.Random(7)

    async def main():
        s = env.make()
        tasks = [asyncio.ensure_future(s.summarize_messages([1])) for _ in range(count)]
        await asyncio.sleep(0)
        cancelled = {i for i in range(count) if rng.random() < cancel_rate}
        for i in cancelled:
            tasks[i].cancel()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        return cancelled, results

    cancelled, results = asyncio.run(main())
    for i, result in enumerate(results):
        assert (type(result) is asyncio.CancelledError) if i in cancelled else result == {"ok": 1}
    return len(cancelled)


@pytest.mark.parametrize("cancel_rate", [0.0, 0.3])
def test_many_operations_leave_nothing(env, cancel_rate):
    gather_many(env, cancel_rate, 500)
    gc.collect()
    blocks, objects = sys.getallocatedblocks(), len(gc.get_objects())
    assert (gather_many(env, cancel_rate, 10_000) > 0) == (cancel_rate > 0)
    gc.collect()
    assert len(gc.get_objects()) - objects < 50
    assert NO_LEAK_CHECK or sys.getallocatedblocks() - blocks < 200


def quietly(fn, *records):
    def call():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                fn()
            except BaseException:  # noqa: B036
                pass
            finally:
                for record in records:
                    record.clear()
    return call


PATHS = {
    "finish at once": lambda env: run(env.make().summarize_messages([])),
    "send to new": lambda env: pair(env, "op").send(1),
    "throw into new": lambda env: pair(env, "op").throw(ValueError, "x"),
    "close suspended": lambda env: (lambda op: (op.send(None), op.close()))(pair(env, "op")),
    "throw suspended": lambda env: (lambda op: (op.send(None), op.throw(KeyError)))(pair(env, "op")),
    "release new": lambda env: pair(env, "op"),
    "release suspended": lambda env: pair(env, "op").send(None),
    "handled failure": lambda env: run(env.make(NoAwait()).summarize_messages([1])),
    "await refusal": lambda env: run(env.make(BadAwait(error=ValueError())).summarize_messages([1])),
    "am_send wrapper": lambda env: drive_am_send(lambda op: op.__await__())(pair(env, "op")),
    "frame": lambda env: pair(env, "op").cr_frame,
}


@pytest.mark.skipif(NO_LEAK_CHECK, reason="allocation counts need pymalloc")
@pytest.mark.parametrize("path", PATHS)
def test_paths_do_not_leak(env, path):
    leak_check(quietly(lambda: PATHS[path](env), env.log.records, env.log.handled,
                       env.fallbacks))
