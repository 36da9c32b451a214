"""Moments only a finaliser or a constructor can see, compared with plain Python where
the module follows it: when the values held by a function's locals are released, when
the exception of a throw() is built, and what closing an operation that never started
does, at once and deep in a chain."""
import asyncio
import copy
import gc
import sys
import types
import warnings
import weakref

import pytest
from driver_support import Reply, env, handoff, parse_standin  # noqa: F401
from module_support import stable_id


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
# The exception of throw(cls) into an operation not started is built before the
# operation is marked running (one that is running refuses the throw before it builds
# anything: test_coroutine.py)

def throw_scenario(make, action):
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
            return handoff()

    op = make(Client())
    seen.append(("throw", outcome(lambda: op.throw(Built))))
    seen.append(("after", op.cr_running, op.cr_await is None, outcome(op.close)))
    return seen


@pytest.mark.parametrize("action", ["nothing", "close", "send", "throw"])
def test_thrown_class_is_built_before_running(env, action):
    twin = throw_scenario(lambda client: twin_summarize(client, [1]), action)
    module = throw_scenario(lambda client: env.make(client).summarize_messages([1]), action)
    assert module == twin


# ---------------------------------------------------------------------------------
# throw() and close() against what the operation awaits, at every state, for arguments
# built by the host's rules of `raise` (what cannot be raised, a StopIteration, and a
# class thrown into a running operation: test_coroutine.py)

async def twin_logged(client, messages, log):
    """The body with the module's stand-ins of `env`, logging as the module does."""
    try:
        response = await client.complete(messages=[], max_tokens=2048)
        if response.content:
            return parse_standin(response.content)
        log.warning("Empty response from summarizer LLM")
        return {"fallback": len(messages)}
    except Exception as e:
        log.error(f"Summarization failed: {e}")
        return {"fallback": len(messages)}


class Awaited:
    """complete() gives a generator-based coroutine ("gen") or this iterator, whose
    throw() refuses what it is given; both note what reaches them. The generator, once
    resumed, throws into the operation again."""

    def __init__(self, kind, args):
        self.kind, self.args, self.seen = kind, args, []

    def complete(self, **kwargs):
        return self.gen() if self.kind == "gen" else self

    @types.coroutine
    def gen(self):
        try:
            yield "marker"
            self.seen.append(("resumed", outcome(lambda: self.op.throw(*self.args))))
            yield "again"
        except BaseException as exc:  # noqa: B036
            self.seen.append(("delegate got", type(exc).__name__, str(exc)))
            raise
        return Reply('{"sent": 1}')

    def __await__(self):
        return self

    def __next__(self):
        return "next"

    def throw(self, *args):
        self.seen.append(("throw", [getattr(arg, "__name__", repr(arg)) for arg in args]))
        raise TypeError("refused")


class Built(Exception):
    """Notes whether the operation runs while it is built, and starts one not started."""

    def __init__(self, *args):
        run = SEEN[-1]
        run.seen.append(("built", run.op.cr_running, outcome(run.start)))
        super().__init__(*args)


SEEN = []
ARGS = [(KeyError,), (KeyError, "v"), (KeyError, ("a", "b")), (KeyError("x"),),
        (GeneratorExit,), (Built,)]


def throw_run(make, log, state, kind, args):
    # a fresh instance each run: a raise adds to the traceback the instance carries
    args = tuple(copy.copy(arg) if isinstance(arg, BaseException) else arg for arg in args)
    run = Awaited(kind, args)
    SEEN[:] = [run]
    run.op = op = make(run)
    run.start = (lambda: op.send(None)) if state == "created" else type(None)
    steps = {"created": [], "suspended": [op.send], "running": [op.send, op.send],
             "finished": [op.send, lambda _: op.close()]}[state]
    run.seen += [outcome(lambda: step(None)) for step in steps]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run.seen.append(outcome(lambda: op.throw(*args)))
    # the twin's throw() deprecates more than one argument; the operation's does not
    shown = [str(w.message) for w in caught if w.category is not DeprecationWarning]
    return run.seen + [shown, op.cr_await is None, outcome(op.close)] + log.records


# The twin builds a class thrown into it while it runs before it refuses the throw.
THROWS = [(state, args) for state in ("created", "suspended", "running", "finished")
          for args in ARGS if not (state == "running" and args[0] is Built)]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # the twin's, inside the run
@pytest.mark.parametrize("kind", ["gen", "iter"])
@pytest.mark.parametrize("state, args", THROWS, ids=stable_id)
def test_throw_like_host(env, state, kind, args):
    if sys.version_info < (3, 12) and (state, kind) == ("running", "gen"):
        pytest.skip("plain coroutines crash CPython 3.11 in this case")
    module = throw_run(lambda c: env.make(c).summarize_messages([1]), env.log, state, kind,
                       args)
    env.rerun_reset()
    twin = throw_run(lambda c: twin_logged(c, [1], env.log), env.log, state, kind, args)
    env.rerun_reset()  # the handled exceptions hold the twin's frames
    assert module == twin


class Message(dict):
    """A message whose finaliser, run when the operation lets it go, tries the
    operation."""

    def __init__(self, seen, **fields):
        super().__init__(**fields)
        self.seen = seen

    def __del__(self):
        op = self.seen[0]()
        self.seen.append(op and (op.cr_running, outcome(lambda: op.send(None)),
                                 outcome(op.close)))


@pytest.mark.parametrize("summary", [None, "earlier"])
def test_close_of_unstarted_releases_arguments(env, summary):
    # The summarizer, the messages and the earlier summary go before close() returns,
    # while the operation is still running: their finalisers cannot re-enter it.
    seen = []
    summarizer = env.make(None)
    held, earlier = weakref.ref(summarizer), summary and "".join([summary, str(len(seen))])
    counted = sys.getrefcount(earlier)

    def kept():  # the references the operation holds to the earlier summary
        return sys.getrefcount(earlier) - counted if summary else 0

    op = summarizer.summarize_messages([Message(seen, role="user")], earlier)
    del summarizer
    seen.append(weakref.ref(op))
    assert held() is not None and kept() == (summary is not None)
    seen.append(("closed", outcome(op.close), held(), kept()))
    seen.append((op.cr_running, op.cr_code, op.cr_frame, outcome(lambda: op.send(None))))
    busy = ("ValueError", "coroutine already executing")
    assert seen[1:] == [(True, busy, busy), ("closed", ("value", None), None, 0),
                        (False, None, None,
                         ("RuntimeError", "cannot reuse already awaited coroutine"))]


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


# ---------------------------------------------------------------------------------
# A local holds its value until its next assignment or the function's end

class Functions:
    """The four functions whose locals outlive a step, from the module or the twin."""

    def __init__(self, mod, plain):
        from benchmarks import twin
        if plain:
            self.brief, self.transcript = twin.brief_args, twin.format_messages
            self.fallback, self.context = twin.fallback, twin.context
        else:
            self.brief, self.transcript = mod._brief_args, mod._format_messages_for_summary
            self.fallback = mod._fallback_summary
            self.context = mod.ConversationSummarizer(None).format_summary_for_context


def brief_text(fns):
    """The value's text is released at the return, after the walk's last size check."""
    args = {}

    class Text(str):
        def __del__(self):
            args["added"] = 1

    class Value:
        def __str__(self):
            return Text("value")

    args["k"] = Value()
    return outcome(lambda: fns.brief(args)), sorted(args)


def brief_value(fns):
    """A value its dict replaces while it is converted lives on in `v` past the walk's
    last size check."""
    args = {}

    class Value:
        def __str__(self):
            args["k"] = "replaced"
            return "value"

        def __del__(self):
            args["added"] = 1

    args.update(j="first", k=Value())
    return outcome(lambda: fns.brief(args)), sorted(args)


def context_element(key):
    def scenario(fns):
        items = []

        class First:
            def __format__(self, spec):
                items.remove(self)
                return "first"

            def __del__(self):
                items.insert(0, "INSERTED")

        items[:] = [First(), "second", "third"]
        return outcome(lambda: fns.context({key: items}))
    scenario.__doc__ = f"The loop variable of {key!r} holds an element its list drops."
    return scenario


def fallback_record(fns):
    """A record that leaves the list while it is read lives on in `msg`."""
    messages = []

    class Record(dict):
        def get(self, key, default=None):
            if key == "content":
                messages[0] = {"role": "system"}
            return super().get(key, default)

        def __del__(self):
            messages.insert(1, {"role": "user", "content": "INSERTED"})

    messages[:] = [Record(role="user", content=""), {"role": "user", "content": "second"}]
    return outcome(lambda: fns.fallback(messages)["goals"])


def fallback_content(fns):
    """The last request's text lives on in `content` after `goals` drops it, until the
    texts that count the messages are made."""
    messages = []

    class Text(str):
        def __del__(self):
            messages.append({"role": "system"})

    class Record(dict):
        def __getitem__(self, key):
            return Text("later") if key == "content" else super().__getitem__(key)

    messages[:] = [{"role": "user", "content": "first"}, Record(role="user", content="x")]
    record = outcome(lambda: fns.fallback(messages))
    return record[0], record[1]["current_state"], len(messages)


def tool_call_replaced(fns):
    """A tool call that leaves its list while its arguments are read lives on in `tc`."""
    calls = []

    class Call(dict):
        def get(self, key, default=None):
            if key == "arguments":
                calls[0] = {"name": "gone"}
            return super().get(key, default)

        def __del__(self):
            calls.insert(1, {"name": "INSERTED"})

    calls[:] = [Call(name="first"), {"name": "second"}]
    return outcome(lambda: fns.transcript([{"role": "assistant", "tool_calls": calls}]))


def dropped_value(where):
    """A value its record drops while it is formatted lives on in its local; released
    earlier, its finaliser would add a message the walk then renders."""
    def scenario(fns):
        messages = []

        class Dropped:
            def __init__(self, drop):
                self.drop = drop

            def __format__(self, spec):
                self.drop()
                return "shown"

            def __str__(self):
                self.drop()
                return "shown"

            def __del__(self):
                messages.append({"role": "user", "content": "LATE"})

        class Cut(str):
            def __getitem__(self, key):
                return Late(str.__getitem__(self, key))

        class Late(str):
            def __del__(self):
                messages.append({"role": "user", "content": "LATE"})

        class Briefed:
            def __str__(self):
                return Cut("brief")

        call = {"name": "tool", "arguments": {}}
        if where == "tool_id":
            record = {"role": "tool", "content": "x"}
            record["tool_call_id"] = Dropped(lambda: record.update(tool_call_id="plain"))
        else:
            record = {"role": "assistant", "tool_calls": [call]}
            if where == "name":
                call["name"] = Dropped(lambda: call.update(name="plain"))
            elif where == "args":
                call["arguments"] = Dropped(lambda: call.update(arguments="plain"))
            else:  # args_brief: the cut text of str(args)
                call["arguments"] = Briefed()
        messages[:] = [record, {"role": "user", "content": "after"}]
        return outcome(lambda: fns.transcript(messages))
    scenario.__doc__ = f"`{where}` holds what its record dropped."
    return scenario


def tracking(log):
    """Types whose instances note their label in `log` when they are released."""

    class Text(str):
        def __new__(cls, text, label):
            self = super().__new__(cls, text)
            self.label = label
            return self

        def __del__(self):
            log.append(self.label)

    class Cut(Text):
        def __getitem__(self, key):
            return Text(str.__getitem__(self, key), "args_brief")

    class Arguments:
        def __str__(self):
            return Cut("brief", "str(args)")

        def __del__(self):
            log.append("args")

    class Record(dict):
        """Gives a new value for each read of a key in `fresh`; leaves `home` when its
        key `leave_on` is read."""

        def __init__(self, fresh, home=None, leave_on=None, label="msg", **items):
            super().__init__(**items)
            self.fresh, self.home, self.leave_on, self.label = fresh, home, leave_on, label

        def value(self, key, default):
            if key == self.leave_on and self.home is not None:
                self.home[self.home.index(self)] = {"role": "system"}
            if key in self.fresh:
                return self.fresh[key]()
            return super().get(key, default)

        def get(self, key, default=None):
            return self.value(key, default)

        def __getitem__(self, key):
            return self.value(key, None)

        def __del__(self):
            log.append(self.label)

    return Text, Arguments, Record


def end_of_transcript(fns):
    log, messages = [], []
    Text, Arguments, Record = tracking(log)

    def calls():
        return [Record({"name": lambda: Text("tool", "name"), "arguments": Arguments},
                       label="tc")]

    messages[:] = [
        Record({"tool_call_id": lambda: Text("id", "tool_id")}, role="tool", content="x",
               label="tool message"),
        Record({"role": lambda: Text("assistant", "role"),
                "content": lambda: Text("text", "content"), "tool_calls": calls},
               home=messages, leave_on="content")]
    result = outcome(lambda: fns.transcript(messages))
    return result, log


def end_of_brief(fns):
    log, args = [], {}
    Text, _, _ = tracking(log)

    class Value:
        def __init__(self, text):
            self.text = text

        def __str__(self):
            args[self.text] = "replaced"
            return Text(self.text, f"val_str {self.text}")

        def __del__(self):
            log.append(f"v {self.text}")

    args.update(a=Value("a"), b=Value("b"))
    result = outcome(lambda: fns.brief(args))
    return result, log


def end_of_fallback(fns):
    log, messages = [], []
    Text, _, Record = tracking(log)
    messages[:] = [{"role": "user", "content": "first"},
                   Record({"content": lambda: Text("later", "content")}, home=messages,
                          leave_on="content", role="user")]
    result = outcome(lambda: fns.fallback(messages)["summary"])
    return result, log


def end_of_context(fns):
    """Each element leaves its list when it is formatted; its release notes how many
    elements were formatted by then."""
    log, formatted = [], []
    keys = ("goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps")

    class Element:
        def __init__(self, key, home):
            self.key, self.home = key, home

        def __format__(self, spec):
            self.home.remove(self)
            formatted.append(self.key)
            return self.key

        def __del__(self):
            log.append((self.key, len(formatted)))

    summary = {key: [] for key in keys}
    for key in keys:
        summary[key] += [Element(key, summary[key]), Element(key, summary[key])]
    result = outcome(lambda: fns.context(summary))
    return result, log


CASES = {
    "brief val_str": brief_text,
    "brief v": brief_value,
    **{f"context {key}": context_element(key)
       for key in ("goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps")},
    "fallback msg": fallback_record,
    "fallback content": fallback_content,
    "transcript tc": tool_call_replaced,
    **{f"transcript {where}": dropped_value(where)
       for where in ("tool_id", "name", "args", "args_brief")},
    "end of transcript": end_of_transcript,
    "end of brief": end_of_brief,
    "end of fallback": end_of_fallback,
    "end of context": end_of_context,
}


@pytest.mark.parametrize("case", CASES)
def test_local_holds_its_value_as_plain_python(mod, case):
    scenario = CASES[case]
    assert scenario(Functions(mod, plain=False)) == scenario(Functions(mod, plain=True))


# ---------------------------------------------------------------------------------
# A formatted text dies as soon as the expression that made it is done

def text_kit(log):
    """Values whose format() gives a text that notes its release, and records and
    values that note each read, so the log shows what runs while a text is alive."""

    class Text(str):
        def __del__(self):
            log.append(("released", str(self)))

    class Shown:
        def __init__(self, label):
            self.label = label

        def __format__(self, spec):
            log.append(("format", self.label))
            return Text(self.label)

        def __str__(self):
            log.append(("str", self.label))
            return self.label

        def __len__(self):
            log.append(("len", self.label))
            return len(self.label)

    class Request(str):
        def __format__(self, spec):
            log.append(("format", str(self)))
            return Text(self)

    class Record(dict):
        def get(self, key, default=None):
            log.append(("get", key))
            return super().get(key, default)

    return types.SimpleNamespace(Shown=Shown, Request=Request, Record=Record)


def after_call(call):
    """Runs `call` and notes its outcome in the log it makes; the log is the result."""
    def scenario(fns, log, kit):
        log.append(outcome(lambda: call(fns, kit)))
        return log
    return scenario


TEXT_CASES = {
    "tool line id": lambda fns, kit: fns.transcript([
        kit.Record(role="tool", tool_call_id=kit.Shown("id"), content=kit.Shown("result")),
        kit.Record(role="user", content="next")]),
    "tool-call name": lambda fns, kit: fns.transcript([kit.Record(
        role="assistant", content=kit.Shown("text"),
        tool_calls=[kit.Record(name=kit.Shown("name"), arguments=kit.Shown("args")),
                    kit.Record(name="next", arguments={})])]),
    "brief key": lambda fns, kit: fns.brief(
        {kit.Shown("k1"): kit.Shown("v1"), kit.Shown("k2"): "v2"}),
    "user line": lambda fns, kit: fns.transcript([
        kit.Record(role="user", content=kit.Shown("said")), kit.Record(role="user")]),
    "context state": lambda fns, kit: fns.context(
        {"current_state": kit.Shown("state"), "summary": kit.Shown("narrative")}),
    "fallback request": lambda fns, kit: fns.fallback(
        [{"role": "user", "content": kit.Request("request")}])["summary"],
}


@pytest.mark.parametrize("case", TEXT_CASES)
def test_formatted_text_dies_with_its_expression(mod, monkeypatch, case):
    from benchmarks import twin

    def run(plain):
        log = []
        clock = types.SimpleNamespace(time=lambda: log.append("time") or 1.0)
        monkeypatch.setattr(twin if plain else mod, "time", clock)
        return after_call(TEXT_CASES[case])(Functions(mod, plain), log, text_kit(log))

    assert run(plain=False) == run(plain=True)


def failure_log_run(make, logger):
    """The client's call fails with an exception whose format() gives a tracked text."""
    log = logger.events
    kit = text_kit(log)

    class Failed(Exception):
        def __format__(self, spec):
            return kit.Shown("failure").__format__(spec)

    class Client:
        def complete(self, **kwargs):
            raise Failed

    log.append(outcome(lambda: make(Client()).send(None)))
    return log


def test_failure_log_text_dies_before_the_log_call(env, monkeypatch, mod):
    class Logger:
        def __init__(self):
            self.events = []

        def error(self, text):
            self.events.append(("error", text))

    logger = Logger()
    monkeypatch.setattr(mod, "logger", logger)
    module = failure_log_run(lambda client: env.make(client).summarize_messages([1]), logger)
    logger = Logger()
    twin = failure_log_run(lambda client: twin_logged(client, [1], logger), logger)
    assert module == twin


# ---------------------------------------------------------------------------------
# A comparison's operand goes before its result is tested

def compared_role(fns, verdict):
    """`msg.get("role") == "user"` with a role whose equality gives an object of its own
    truth; each notes its release."""
    log = []

    class Verdict:
        def __bool__(self):
            log.append("bool")
            if verdict is None:
                raise LookupError("no verdict")
            return verdict

        def __del__(self):
            log.append("verdict released")

    class Role:
        def __eq__(self, other):
            log.append(("eq", other))
            return Verdict()

        def __del__(self):
            log.append("role released")

    class Record(dict):
        def get(self, key, default=None):
            log.append(("get", key))
            return Role() if key == "role" else super().get(key, default)

    record = Record(content="request")
    log.append(outcome(lambda: fns.fallback([record, Record()])["goals"]))
    return log


@pytest.mark.parametrize("verdict", [True, False, None])
def test_compared_role_goes_before_the_result_is_tested(mod, verdict):
    module = compared_role(Functions(mod, plain=False), verdict)
    assert module == compared_role(Functions(mod, plain=True), verdict)


# ---------------------------------------------------------------------------------
# A failing function's locals live on with its traceback, through the caller's handler

def failing_with(log, where):
    """The call of `fns` for `where` that fails after a local took the only reference
    to a value that notes its release."""

    class Held:
        def __init__(self, label, home=None):
            self.label, self.home = label, home

        def __del__(self):
            log.append(("released", self.label))

        def __len__(self):
            return 1

        def __str__(self):  # the value leaves its container as it is converted
            self.home.clear()
            return "value"

        __format__ = lambda self, spec: self.__str__()  # noqa: E731

    class Unsure:
        def __bool__(self):
            raise LookupError("no truth")

    class Record(dict):
        """Gives a new Held for each read of a key in `fresh`; fails reading `failing`."""

        def __init__(self, label, fresh=(), failing=(), **items):
            super().__init__(**items)
            self.label, self.fresh, self.failing = label, fresh, failing

        def get(self, key, default=None):
            if key in self.failing:
                raise LookupError(key)
            return Held(key) if key in self.fresh else super().get(key, default)

        __getitem__ = get

        def __del__(self):
            log.append(("released", self.label))

    if where == "brief v":
        args = {}
        args["k"] = Held("v", args)
        return lambda fns: fns.brief(args)
    if where == "transcript content":
        # held by the caller: the host's twin reads its records one call deeper
        messages = [Record("msg", ["content"], ["tool_call_id"], role="tool")]
        return lambda fns: fns.transcript(messages)
    if where == "fallback content":
        return lambda fns: fns.fallback(
            [Record("msg", ["content"], role="user"), Record("next", failing=["role"])])
    goals = []
    goals.append(Held("g", goals))
    return lambda fns: fns.context({"goals": goals, "progress": Unsure()})


def handled(fns, where):
    log = []
    call = failing_with(log, where)
    try:
        call(fns)
    except (LookupError, RuntimeError) as exc:
        log.append(("handling", type(exc).__name__))
    log.append("handled")
    return log


@pytest.mark.parametrize(
    "where", ["brief v", "transcript content", "fallback content", "context g"])
def test_failing_locals_live_through_the_handler(mod, where):
    assert handled(Functions(mod, plain=False), where) == handled(Functions(mod, plain=True),
                                                                  where)


class Stopped(BaseException):
    """Passes the operation's handler, which takes an Exception."""


def operation_failing(make, when):
    log = []

    class Held(dict):
        def __del__(self):
            log.append("released")

    class Client:
        def complete(self, **kwargs):
            if when == "at once":
                raise Stopped
            return handoff()

    op = make(Client(), [Held(role="user")])
    try:
        if when != "before its start":
            op.send(None)
        op.throw(Stopped)
    except Stopped:
        log.append("handling")
    log.append("handled")
    return log


@pytest.mark.parametrize("when", ["at once", "at its await", "before its start"])
def test_failing_operation_locals_live_through_the_handler(env, when):
    module = operation_failing(lambda client, messages: env.make(client).summarize_messages(
        messages), when)
    assert module == operation_failing(twin_summarize, when)
