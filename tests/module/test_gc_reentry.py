"""Objects of the module reached again while the cyclic collector is tearing them down:
a finaliser that runs during a collection gets hold of a function or an operation
through a weak reference made during that collection. Each scenario runs in a child
interpreter so that a crash shows as a failed test instead of ending the run."""
import json
import os
import subprocess
import sys
import textwrap

import pytest


def run_child(body):
    """Runs `body` in a fresh interpreter with the module importable as `m`; returns the
    JSON value it prints last."""
    source = "import gc, json, weakref, warnings\nimport morvex.core.summarizer as m\n"
    source += textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          env=env, timeout=120)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


# The function is reached from a finaliser after the collector cleared it; a plain
# `def` function answers the same readers.
FUNCTION_READERS = {
    "repr": "repr(fn).startswith('<compiled_function ' + qual)",
    "name": "fn.__name__",
    "qualname": "fn.__qualname__ == qual",
    "code": "fn.__code__.co_name",
    "varnames": "fn.__code__.co_varnames[:fn.__code__.co_argcount]",
    "doc": "fn.__doc__ is None or isinstance(fn.__doc__, str)",
    "globals": "fn.__globals__ is None or isinstance(fn.__globals__, dict)",
    "defaults": "fn.__defaults__ is None or isinstance(fn.__defaults__, tuple)",
    "annotations": "isinstance(fn.__annotations__, dict)",
    "reduce": "fn.__reduce__() == qual",
    "module": "fn.__module__ in (None, 'morvex.core.summarizer')",
}

FUNCTION_CALLS = [
    # attribute path, call source, expected JSON result
    ("_brief_args", "fn({'path': 'a.py'})", None),
    ("_parse_summary", "fn('{\"goals\": [\"g\"]}')['goals']", None),
    ("_format_messages_for_summary", "fn([{'role': 'user', 'content': 'hi'}])", None),
]


@pytest.mark.parametrize("path,call,_", FUNCTION_CALLS)
def test_function_used_after_collector_cleared_it(mod, path, call, _):
    readers = ", ".join(f"{k!r}: {v}" for k, v in FUNCTION_READERS.items())
    body = f"""
    seen = []
    class Holder:
        def __init__(self, ref): self.ref = ref
        def __del__(self):
            fn = self.ref()
            qual = fn.__qualname__
            seen.append({{{readers}, 'call': repr({call})}})
    class X:
        def __del__(self): self.h = Holder(weakref.ref(self.f))
    fn = m
    for part in {path!r}.split('.'):
        fn = getattr(fn, part)
    x = X(); x.f = fn; fn.cycle = x
    if {path!r} == '_brief_args':
        del m._brief_args  # the module's own reference would keep it alive
    else:
        delattr(m, {path!r})
    del x, fn
    gc.collect()
    print(json.dumps(seen))
    """
    seen = run_child(body)
    assert len(seen) == 1
    got = seen[0]
    expected_call = repr(eval(call, {"fn": getattr(mod, path)}))
    assert got.pop("call") == expected_call
    fn = getattr(mod, path)
    assert got.pop("name") == fn.__name__
    assert got.pop("code") == fn.__code__.co_name
    assert got.pop("varnames") == list(fn.__code__.co_varnames[:fn.__code__.co_argcount])
    assert got == {k: True for k in got}


def test_function_str_subclass_name_in_cycle_is_released(mod):
    body = """
    class S(str):
        pass
    fn = m._brief_args
    del m._brief_args
    name, qual = S("n"), S("q")
    fn.__name__ = name; fn.__qualname__ = qual
    name.f = fn; qual.f = fn
    gone = weakref.ref(name)
    seen = []
    class Holder:
        def __init__(self, ref): self.ref = ref
        def __del__(self):
            f = self.ref()
            seen.append([f.__name__, f.__qualname__, repr(f).split(' at ')[0]])
    class X:
        def __del__(self): self.h = Holder(weakref.ref(self.f))
    x = X(); x.f = fn; fn.cycle = x
    del fn, x, name, qual
    gc.collect()
    print(json.dumps([seen, gone() is None]))
    """
    seen, gone = run_child(body)
    assert gone
    assert seen == [["_brief_args", "_brief_args", "<compiled_function _brief_args"]]


# An operation whose per-call state is part of the collected cycle, resumed from a
# finaliser; the same with an `async def` coroutine for comparison.
OPERATION_SETUP = {
    "native": """
    async def summarize_messages(self, messages):
        return {'done': len(messages)}
    make = summarize_messages
    """,
    "module": """
    make = m.ConversationSummarizer.summarize_messages
    """,
}

RESUMERS = {
    "send": "op.send(None)",
    "throw": "op.throw(KeyError('k'))",
    "close": "op.close()",
    "await_next": "op.__await__().__next__()",
}


@pytest.mark.parametrize("resumer", sorted(RESUMERS))
@pytest.mark.parametrize("kind", sorted(OPERATION_SETUP))
def test_operation_resumed_after_collector_reached_its_state(kind, resumer):
    body = OPERATION_SETUP[kind] + f"""
    warnings.simplefilter("ignore")
    seen = []
    class Holder:
        def __init__(self, ref): self.ref = ref
        def __del__(self):
            op = self.ref()
            try:
                {RESUMERS[resumer]}
                seen.append(["no exception"])
            except StopIteration as e:
                seen.append(["StopIteration", repr(e.value)])
            except BaseException as e:
                seen.append([type(e).__name__, str(e)])
            seen.append(op.cr_running)
    class X:
        def __del__(self): self.h = Holder(weakref.ref(self.op))
    msgs = [{{"role": "user", "content": "hi"}}]
    d = {{}}
    op = make(d, msgs)
    x = X(); x.op = op; d["x"] = x; d["op"] = op
    del d, x, op
    gc.collect()
    print(json.dumps(seen))
    """
    seen = run_child(body)
    assert len(seen) == 2 and seen[1] is False
    outcome = seen[0]
    clean = {"StopIteration", "KeyError", "RuntimeError", "no exception"}
    assert outcome[0] in clean, outcome


def test_operation_resumed_from_finaliser_runs_to_its_end(mod):
    body = """
    warnings.simplefilter("ignore")
    seen = []
    class Reply:
        content = '{"goals": ["g"]}'
    class Client:
        async def complete(self, messages, max_tokens):
            return Reply()
    class Holder:
        def __init__(self, ref): self.ref = ref
        def __del__(self):
            op = self.ref()
            try:
                while True:
                    op.send(None)
            except StopIteration as e:
                seen.append(["result", sorted(e.value)])
            except BaseException as e:
                seen.append([type(e).__name__, str(e)])
    class X:
        def __del__(self): self.h = Holder(weakref.ref(self.op))
    msgs = [{"role": "user", "content": "hi"}]
    s = m.ConversationSummarizer(Client())
    op = s.summarize_messages(msgs)
    x = X(); x.op = op; s.x = x; s.op = op; msgs.append({"role": "user", "content": msgs})
    del s, x, op, msgs
    gc.collect()
    print(json.dumps(seen))
    """
    seen = run_child(body)
    # As an `async def` coroutine does, the operation runs to its end (the collector may
    # already have emptied the summarizer's attributes, so the fallback may answer).
    assert seen == [["result", sorted(mod._empty_summary())]]


def test_coroutine_state_matches_native_coroutine(mod):
    import inspect

    class Later:
        def __await__(self):
            return (yield "pause")

    class Client:
        def complete(self, messages, max_tokens):
            return Later()

    async def native():
        return await Later()

    for make in (native, lambda: mod.ConversationSummarizer(Client()).summarize_messages(
            [{"role": "user", "content": "hi"}])):
        op = make()
        states = [inspect.getcoroutinestate(op)]
        op.send(None)
        states.append(inspect.getcoroutinestate(op))
        states.append(op.cr_suspended)
        op.close()
        states.append(inspect.getcoroutinestate(op))
        assert states == ["CORO_CREATED", "CORO_SUSPENDED", True, "CORO_CLOSED"], make
