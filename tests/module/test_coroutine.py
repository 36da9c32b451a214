"""The summarize operation as an awaitable: protocol, states, delegation, finalisation,
drivers and lifetime, side by side with the host's own coroutines where they agree."""
import asyncio
import collections.abc
import contextlib
import copy
import gc
import inspect
import pickle
import random
import sys
import warnings
import weakref
from types import coroutine as types_coroutine

import pytest
from module_support import leak_check, raises_with, source_line, stable_id, tb_entries
from driver_support import Client, GenClient, Reply, env, handoff, iter_send, run  # noqa: F401

OP, WRAPPER = "morvex.core.summarizer.coroutine", "morvex.core.summarizer.coroutine_wrapper"
FALLBACK = {"fallback": 1}
NO_LEAK_CHECK = sys.getallocatedblocks() == 0  # PYTHONMALLOC=malloc


async def native():
    return await handoff()


async def awaiting(awaitable):
    return await awaitable


def pair(env, kind, client=None):
    return native() if kind == "native" else env.make(client or GenClient()).summarize_messages([1])


def outcome(fn):
    try:
        return ("value", fn())
    except BaseException as exc:  # noqa: B036
        return (type(exc).__name__, str(exc))


@contextlib.contextmanager
def unraisables():
    seen, hook = [], sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((type(u.exc_value), str(u.exc_value), id(u.object)))
    try:
        yield seen
    finally:
        sys.unraisablehook = hook


def test_types(env):
    op = pair(env, "op")
    wrapper = op.__await__()
    for obj, name in ((op, OP), (wrapper, WRAPPER)):
        assert f"{type(obj).__module__}.{type(obj).__name__}" == name
        assert weakref.ref(obj)() is obj and gc.is_tracked(obj)
        for act, message in [(lambda: type(obj)(), f"cannot create '{name}' instances"),
                             (lambda: type("S", (type(obj),), {}),
                              f"type '{name}' is not an acceptable base type"),
                             (lambda: pickle.dumps(obj), f"cannot pickle '{name}' object"),
                             (lambda: copy.copy(obj), f"cannot pickle '{name}' object"),
                             (obj.__reduce__, f"cannot pickle '{name}' object")]:
            assert outcome(act) == ("TypeError", message)
    assert not hasattr(op, "__next__") and not hasattr(op, "__iter__") and iter(wrapper) is wrapper
    send = "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise " \
           "StopIteration."
    throw = "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated " \
            "value or raise StopIteration."
    docs = [send, throw, "close() -> raise GeneratorExit inside coroutine.",
            "object being awaited, or None", "Frame of the coroutine", "name of the coroutine",
            "qualified name of the coroutine"]
    names = ["send", "throw", "close", "cr_await", "cr_frame", "__name__", "__qualname__"]
    assert [type(op).__dict__[n].__doc__ for n in names] == docs
    assert [getattr(type(wrapper), n).__doc__ for n in names[:3]] == [
        d.replace("iterated", "yielded") for d in docs[:3]]
    op.close()


@pytest.mark.parametrize("kind", ["native", "op"])
def test_recognised_as_coroutine(mod, env, kind):
    op = pair(env, kind)
    function = native if kind == "native" else mod.ConversationSummarizer.summarize_messages
    bound = native if kind == "native" else env.make().summarize_messages
    assert asyncio.iscoroutine(op) and isinstance(op, collections.abc.Coroutine)
    assert asyncio.iscoroutinefunction(function) and asyncio.iscoroutinefunction(bound)
    assert op.cr_code.co_flags & inspect.CO_COROUTINE and op.cr_code is function.__code__
    op.close()


def finished(op):
    run(op, ['{"a": 1}'])
    return op


def thrown():  # a fresh exception each time, so no traceback carries over
    return ValueError("thrown")


SCENARIOS = {
    "send value to new": lambda op: op.send(1),
    "close new": lambda op: op.close(),
    "throw into new": lambda op: op.throw(thrown()),
    "send to finished": lambda op: finished(op).send(None),
    "throw into finished": lambda op: finished(op).throw(thrown()),
    "close finished": lambda op: finished(op).close(),
    "await finished": lambda op: run(awaiting(finished(op))),
    "wrapper next on finished": lambda op: next(finished(op).__await__()),
}


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
            seen.extend(outcome(attempt) for attempt in (
                lambda: op.send(None), lambda: op.throw(KeyError), op.close,
                lambda: next(op.__await__()), lambda: iter_send(op, None),
                lambda: op.__await__().send(None), lambda: op.__await__().throw(KeyError),
                lambda: op.__await__().close()))
            seen.append(op.cr_running)
            return handoff()

    op = native_reentrant(Reentrant()) if kind == "native" else \
        env.make(Reentrant()).summarize_messages([1])
    assert op.send(None) == "marker" and op.cr_running is False
    assert seen == [("ValueError", "coroutine already executing")] * 8 + [True]
    op.close()


async def native_reentrant(client):
    return await client.complete()


@pytest.mark.parametrize("kind", ["native", "op"])
def test_never_awaited_warning(env, kind):
    gc.collect()  # what earlier tests left to the collector warns before, not in, the block
    op = pair(env, kind)
    op.__qualname__ = "Renamed.qualname"
    with pytest.warns(RuntimeWarning) as record:
        del op
        gc.collect()
    assert [str(w.message) for w in record if w.category is RuntimeWarning] == [
        "coroutine 'Renamed.qualname' was never awaited"]
    with pytest.warns(RuntimeWarning) as record:
        pair(env, "op")
    assert [(str(w.message), w.filename) for w in record] == [
        ("coroutine 'ConversationSummarizer.summarize_messages' was never awaited", __file__)]


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
        assert tb_entries(info.value) == [
            ("summarize_messages", source_line("summarize_messages", "kDefinition"))]
    else:  # the operation is dropped from the stack while the error unwinds
        with pytest.raises(ZeroDivisionError):
            [pair(env, "op", client), 1 // zero]
    gc.collect()
    assert client.calls == [] and not recwarn.list and env.log.records == []


def test_attributes_while_suspended_and_after(env):
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
    act = (lambda: delattr(op, attribute)) if value == "delete" else \
        (lambda: setattr(op, attribute, value))
    assert outcome(act) == ("TypeError", f"{attribute} must be set to a string object")
    assert getattr(op, attribute).endswith("summarize_messages")
    op.close()


# --- drivers --------------------------------------------------------------------------

def stepper(target, step):
    """Drives target(op) with step(obj, value) -> ("next" | "return", value)."""
    def drive(op):
        obj, value, yielded = target(op), None, []
        while True:
            status, result = step(obj, value)
            if status == "return":
                return result, yielded
            yielded.append(result)
            value = '{"sent": 1}'
    return drive


def by_send(obj, value):
    try:
        return "next", (next(obj) if value is None and hasattr(obj, "__next__") else obj.send(value))
    except StopIteration as stop:
        return "return", stop.value


DRIVERS = {
    "send": stepper(lambda op: op, by_send),
    "wrapper next/send": stepper(lambda op: op.__await__(), by_send),
    "am_send": stepper(lambda op: op, iter_send),
    "wrapper am_send": stepper(lambda op: op.__await__(), iter_send),
    "async def": stepper(awaiting, by_send),
}


@pytest.mark.parametrize("driver", DRIVERS)
@pytest.mark.parametrize("client, yielded", [
    (GenClient(), ["marker"]), (Client(suspend=2), [None, None]), (Client(suspend=0), [])])
def test_drive_paths(env, driver, client, yielded):
    expected = {"sent": 1} if yielded == ["marker"] else {"ok": 1}
    assert DRIVERS[driver](env.make(client).summarize_messages([1])) == (expected, yielded)


@pytest.mark.parametrize("loop", ["asyncio", "uvloop", "trio"])
def test_event_loops(env, loop):
    lib = pytest.importorskip(loop)
    if loop == "trio":
        class TrioClient(Client):
            async def _reply(self):
                await lib.sleep(0)
                return Reply('{"trio": 1}')
        s, results = env.make(TrioClient()), []

        async def collect():
            results.append(await s.summarize_messages([1]))

        async def main():
            async with lib.open_nursery() as nursery:
                for _ in range(3):
                    nursery.start_soon(collect)
        lib.run(main)
        assert results + [lib.run(s.summarize_messages, [1])] == [{"trio": 1}] * 4
        return
    s = env.make()

    async def main():
        direct = await s.summarize_messages([1])
        task = await asyncio.ensure_future(s.summarize_messages([1]))
        return [direct, task] + await asyncio.gather(*(s.summarize_messages([1]) for _ in range(5)))
    assert (asyncio.run if loop == "asyncio" else lib.run)(main()) == [{"ok": 1}] * 7


# --- delegation -----------------------------------------------------------------------

class Delegate:
    """An await iterator (its own __await__ result) recording what reaches it."""

    def __init__(self, log):
        self.log, self.steps = log, 1

    def complete(self, **kwargs):
        return self

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def _step(self, entry):
        self.log.append(entry)
        if self.steps:
            self.steps -= 1
            return "yielded"
        raise StopIteration(Reply('{"d": 1}'))

    def __next__(self):
        return self._step("next")

    def send(self, value):
        return self._step(("send", value))

    def throw(self, *args):
        return self._step(("throw", args))

    def close(self):
        self.log.append("close")


def failing(exc):
    def fail(*args):
        raise exc.with_traceback(None)  # a fresh traceback each call
    return fail


Bare = type("Bare", (Delegate,), {"throw": property(failing(AttributeError())),
                                  "close": property(failing(AttributeError()))})
Broken = type("Broken", (Delegate,), {"throw": property(failing(RuntimeError("lookup")))})
BrokenClose = type("BrokenClose", (Delegate,), {"close": property(failing(RuntimeError("lookup")))})
ClosingFails = type("ClosingFails", (Delegate,), {"close": failing(ValueError("close failed"))})
ERR = "Summarization failed: "


@pytest.mark.parametrize("cls, act, expected, log, records", [
    (Delegate, lambda op: op.send(None), ("StopIteration", "{'d': 1}"), ["next", "next"], []),
    (Delegate, lambda op: op.send(5), ("StopIteration", "{'d': 1}"), ["next", ("send", 5)], []),
    (Delegate, lambda op: op.throw(KeyError, "k", None), ("StopIteration", "{'d': 1}"),
     ["next", ("throw", (KeyError, "k", None))], []),
    (Bare, lambda op: op.throw(KeyError("k")), ("StopIteration", str(FALLBACK)), ["next"],
     [ERR + "'k'"]),
    (Bare, lambda op: op.throw(5), ("StopIteration", str(FALLBACK)), ["next"],
     [ERR + "raise: exception class must be a subclass of BaseException"]),
    (Bare, lambda op: op.throw(StopIteration(9)), ("StopIteration", str(FALLBACK)), ["next"],
     [ERR + "9"]),
    (Broken, lambda op: op.throw(KeyError), ("RuntimeError", "lookup"), ["next"], []),
    (Delegate, lambda op: op.throw(GeneratorExit), ("GeneratorExit", ""), ["next", "close"], []),
    (ClosingFails, lambda op: op.throw(GeneratorExit), ("StopIteration", str(FALLBACK)),
     ["next"], [ERR + "close failed"]),
    (Delegate, lambda op: op.close(), ("value", None), ["next", "close"], []),
    (Bare, lambda op: op.close(), ("value", None), ["next"], []),
    (ClosingFails, lambda op: op.close(), ("RuntimeError", "coroutine ignored GeneratorExit"),
     ["next"], [ERR + "close failed"]),
])
@pytest.mark.filterwarnings("error")  # a throw with three arguments warns of nothing
def test_delegate_protocol(env, cls, act, expected, log, records):
    entries = []
    delegate = cls(entries)
    op = env.make(delegate).summarize_messages([1])
    assert op.send(None) == "yielded" and op.cr_await is delegate
    assert outcome(lambda: act(op)) == expected
    assert entries == log and [text for _, text in env.log.records] == records
    assert (op.cr_await is delegate) == (cls is Broken)
    op.close()


class BadAwait:
    def __init__(self, result=None, error=None):
        self.result, self.error = result, error

    def complete(self, **kwargs):
        return self

    def __await__(self):
        if self.error:
            raise self.error.with_traceback(None)  # a fresh traceback each call
        return self.result


class NoAwait:
    def complete(self, **kwargs):
        return self

    def __getattr__(self, name):
        raise AttributeError(name)


INVALID = "'async for' received an invalid object from __anext__: BadAwait"


@pytest.mark.parametrize("make, message, cause", [
    (lambda: BadAwait(error=ValueError("bad")), INVALID, ValueError),
    (lambda: BadAwait(error=AttributeError("inner")), INVALID, AttributeError),
    (lambda: BadAwait(result=5), "__await__() returned non-iterator of type 'int'", None),
    (lambda: BadAwait(result=native()), "__await__() returned non-iterator of type 'coroutine'",
     None),
    (NoAwait, "object NoAwait can't be used in 'await' expression", None),
])
def test_await_refusals(env, make, message, cause):
    client = make()
    assert run(env.make(client).summarize_messages([1]))[0] == FALLBACK
    assert env.log.records == [("error", ERR + message)]
    assert type(env.log.handled[0].__cause__) is (cause or type(None))
    if inspect.iscoroutine(getattr(client, "result", None)):
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
    assert run(env.make(OpClient(inner)).summarize_messages([1]))[0] == FALLBACK
    with pytest.raises(StopIteration) as info:  # the inner record has no `content`
        op.send('{"inner": 1}')
    assert info.value.value == FALLBACK and inner.cr_code is None
    assert run(env.make(OpClient(inner)).summarize_messages([1]))[0] == FALLBACK
    assert [text for _, text in env.log.records] == [
        ERR + "coroutine is being awaited already", ERR + "'dict' object has no attribute 'content'",
        ERR + "cannot reuse already awaited coroutine"]
    op = env.make(OpClient(env.make(GenClient()).summarize_messages([1]))).summarize_messages([1])
    op.send(None)
    inner = op.cr_await
    assert op.close() is None and inner.cr_code is None


def test_deep_chain_ends_in_recursion_error(env):
    op = env.make(GenClient()).summarize_messages([1])
    for _ in range(20000):
        op = env.make(OpClient(op)).summarize_messages([1])
    with warnings.catch_warnings():  # the operation refused by the guard never started
        warnings.simplefilter("ignore", RuntimeWarning)
        assert run(op)[0] == FALLBACK
        # the handled errors' tracebacks hold the failed operations' locals, and so it
        env.log.handled.clear()
    # the host's text, which names what it was calling when the limit was met there
    assert any(text.startswith(ERR + "maximum recursion depth exceeded")
               for _, text in env.log.records)


INSTANCE, ODD = KeyError("k"), type("Odd", (Exception,), {"__new__": lambda cls: 5})
try:
    raise KeyError
except KeyError as caught:
    TB = caught.__traceback__


def thrown_into_unstarted(op, args):
    """What throw(*args) into an operation not started raises, and its state after."""
    try:
        with pytest.raises(BaseException) as info, warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the host's, for 3 arguments
            op.throw(*args)
        exc, tb, chain = info.value, info.value.__traceback__, []
        while tb is not None:
            chain, tb = chain + [tb], tb.tb_next
        return (type(exc), str(exc), exc.args, exc is INSTANCE, type(exc.__cause__),
                TB in chain, inspect.getcoroutinestate(op))
    finally:
        op.close()
        for given in args:  # an instance thrown again must not carry this run's frames
            if isinstance(given, BaseException):
                given.__traceback__ = given.__context__ = None


# Arguments that can be raised: the exception is built by the host's rules of `raise`.
@pytest.mark.parametrize("args", [
    (ValueError, ("a", "b")), (ValueError, "x"), (ValueError, None), (LookupError, INSTANCE),
    (INSTANCE,), (KeyError, ValueError("v")), (ValueError, None, TB), (), (1, 2, 3, 4)],
    ids=stable_id)
def test_throw_into_unstarted_builds_like_host(env, args):
    assert thrown_into_unstarted(pair(env, "op"), args) == \
        thrown_into_unstarted(pair(env, "native"), args)


NOT_BASE = "raise: exception class must be a subclass of BaseException"
SEPARATE = "instance exception may not have a separate value"
NOT_TB = "raise: arg 3 must be a traceback or None"
ODD_RESULT = f"calling {ODD!r} should have returned an instance of BaseException, not <class 'int'>"
STOPPED = "generator raised StopIteration"


# What cannot be raised enters the body as a TypeError, and a StopIteration that leaves
# it turns into a RuntimeError caused by it: either way the body ends at its first line.
@pytest.mark.parametrize("args, expected", [
    ((5,), (TypeError, NOT_BASE, None)),
    ((INSTANCE, "x"), (TypeError, SEPARATE, None)),
    ((ValueError, None, 5), (TypeError, NOT_TB, None)),
    ((ValueError, "x", "tb"), (TypeError, NOT_TB, None)),
    ((ODD,), (TypeError, ODD_RESULT, None)),
    ((StopIteration,), (RuntimeError, STOPPED, ("StopIteration", ()))),
    ((StopIteration(7),), (RuntimeError, STOPPED, ("StopIteration", (7,)))),
    ((type("Stop", (StopIteration,), {}), 7), (RuntimeError, STOPPED, ("Stop", (7,)))),
], ids=stable_id)
def test_throw_into_unstarted_ends_the_body(env, recwarn, args, expected):
    client = Client()
    op = pair(env, "op", client)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        exc = raises_with(lambda: op.throw(*args), BaseException)
    cause = exc.__cause__ and (type(exc.__cause__).__name__, exc.__cause__.args)
    assert (type(exc), str(exc), cause) == expected
    if isinstance(args[0], StopIteration):  # the instance thrown is the cause itself
        assert exc.__cause__ is args[0]
    assert tb_entries(exc) == [
        ("summarize_messages", source_line("summarize_messages", "kDefinition"))]
    assert inspect.getcoroutinestate(op) == inspect.CORO_CLOSED and op.cr_code is None
    assert outcome(lambda: op.send(None)) == (
        "RuntimeError", "cannot reuse already awaited coroutine")
    del op
    gc.collect()
    assert client.calls == [] and env.log.records == [] and not recwarn.list


def stop_raiser(value):
    def raise_stop(*args):
        raise StopIteration(value)
    return raise_stop


# Outside the guarded exchange a StopIteration leaves the body as a RuntimeError; inside
# it is an Exception like any other, handled with the fallback.
@pytest.mark.parametrize("name, messages, line, expected", [
    ("_format_messages_for_summary", [1], "kTranscript", None),
    ("_empty_summary", [], "kEmpty", None),
    ("_parse_summary", [1], None, FALLBACK),
])
def test_stop_iteration_from_a_module_function(mod, env, monkeypatch, name, messages, line,
                                               expected):
    monkeypatch.setattr(mod, name, stop_raiser(3))
    op = env.make(Client(suspend=0)).summarize_messages(messages)
    if expected is not None:
        assert run(op)[0] == expected and env.log.records == [("error", ERR + "3")]
        return
    exc = raises_with(lambda: op.send(None), RuntimeError)
    assert str(exc) == STOPPED and type(exc.__cause__) is StopIteration
    assert exc.__cause__.value == 3 and exc.__suppress_context__
    assert tb_entries(exc)[0] == ("summarize_messages", source_line("summarize_messages", line))
    assert op.cr_code is None and env.log.records == []


class Recorded(Exception):
    made = []

    def __init__(self, *args):
        Recorded.made.append(args)
        super().__init__(*args)


# A running operation refuses a throw before anything of it is done: the class is not
# called, and the run goes on unharmed.
@pytest.mark.parametrize("where", ["body", "delegate"])
@pytest.mark.parametrize("target", ["operation", "await iterator"])
@pytest.mark.parametrize("args", [(Recorded,), (Recorded, "v"), (5,), (StopIteration,)],
                         ids=stable_id)
def test_throw_into_running_refused_first(env, where, target, args):
    seen = []

    def attempt():
        thrower = op.__await__() if target == "await iterator" else op
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            seen.append(outcome(lambda: thrower.throw(*args)))

    class Inner:
        def __await__(self):
            return self

        def __next__(self):
            attempt()
            raise StopIteration(Reply('{"inner": 1}'))

    class Reentrant:
        def complete(self, **kwargs):
            if where == "body":
                attempt()
                return handoff()
            return Inner()

    Recorded.made.clear()
    op = env.make(Reentrant()).summarize_messages([1])
    if where == "body":
        assert op.send(None) == "marker"
        assert outcome(lambda: op.send('{"sent": 1}')) == ("StopIteration", "{'sent': 1}")
    else:
        assert run(op)[0] == {"inner": 1}
    assert seen == [("ValueError", "coroutine already executing")]
    assert Recorded.made == [] and env.log.records == []


@pytest.mark.parametrize("side", ["operation", "await iterator"])
@pytest.mark.parametrize("args,kwargs", [((), {}), ((KeyError, None, None, None), {}),
                                         ((KeyError,), {"tb": None})])
def test_throw_arguments_checked_as_the_host_does(env, side, args, kwargs):
    async def host():
        pass

    def error(obj):
        target = obj.__await__() if side == "await iterator" else obj
        try:
            with pytest.raises(TypeError) as info:
                target.throw(*args, **kwargs)
        finally:
            obj.close()
        return str(info.value)

    assert error(pair(env, "op")) == error(host())


# --- finalisation and lifetime ----------------------------------------------------------

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


class Stop(BaseException):
    pass


@pytest.mark.parametrize("delegate, expected", [
    (None, [(RuntimeWarning, "coroutine 'ConversationSummarizer.summarize_messages' was never "
                             "awaited", "op")]),
    (BrokenClose([]), [(RuntimeError, "lookup", "delegate")]),
    (type("Stubborn", (Delegate,), {"close": failing(Stop("no"))})([]), [(Stop, "no", "op")]),
])
def test_finalisation_failures_are_unraisable(env, delegate, expected):
    op = env.make(delegate).summarize_messages([1])
    if delegate is not None:
        op.send(None)
    ids = {"op": id(op), "delegate": id(delegate)}
    with unraisables() as seen, warnings.catch_warnings():
        warnings.simplefilter("error")
        del op
    assert seen == [(kind, text, ids[who]) for kind, text, who in expected]


def gather_many(env, cancel_rate, count):
    rng = random.Random(7)

    async def main():
        s = env.make()
        tasks = [asyncio.ensure_future(s.summarize_messages([1])) for _ in range(count)]
        await asyncio.sleep(0)
        cancelled = {i for i in range(count) if rng.random() < cancel_rate}
        for i in cancelled:
            tasks[i].cancel()
        return cancelled, await asyncio.gather(*tasks, return_exceptions=True)

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
    assert len(env.log.records) == 0


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
    "wrapper am_send": lambda env: DRIVERS["wrapper am_send"](pair(env, "op")),
    "frame": lambda env: pair(env, "op").cr_frame,
}


@pytest.mark.skipif(NO_LEAK_CHECK, reason="allocation counts need pymalloc")
@pytest.mark.parametrize("path", PATHS)
def test_paths_do_not_leak(env, path):
    def once():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                PATHS[path](env)
            except BaseException:  # noqa: B036
                pass
        env.log.records.clear(), env.log.handled.clear(), env.fallbacks.clear()
    leak_check(once)


@types_coroutine
def _pause():
    yield "paused"


async def _inner():
    await _pause()
    return Reply('{"goals": ["g"]}')


async def _awaiting(awaitable):
    return await awaitable


@pytest.mark.parametrize("state", ["awaited elsewhere", "finished", "fresh"])
def test_awaiting_a_host_coroutine_as_the_host_does(env, state):
    def make():
        coro = _inner()
        if state == "awaited elsewhere":
            holder = _awaiting(coro)
            holder.send(None)
            return coro, holder
        if state == "finished":
            with contextlib.suppress(StopIteration):
                coro.send(None)
                coro.send(None)
        return coro, None

    theirs, held = make()
    try:
        outcome = _awaiting(theirs).send(None)
    except Exception as exc:
        outcome = f"{ERR}{exc}"
    ours, held_too = make()
    op = env.make(OpClient(ours)).summarize_messages([1])
    if state == "fresh":  # both stop at the inner pause, the operation awaiting the coroutine
        assert op.send(None) == outcome == "paused" and op.cr_await is ours
        with pytest.raises(StopIteration) as info:
            op.send(None)
        assert info.value.value["goals"] == ["g"]
        return
    assert run(op)[0] == FALLBACK
    assert [text for _, text in env.log.records] == [outcome]
    for coro in (held, held_too):
        if coro is not None:
            coro.close()
