"""The module's function type: calls, argument errors, attributes and runtime services."""
import functools
import inspect
import os
import pickle
import subprocess
import sys
import types
import warnings

import pytest

from module_support import leak_check, source_line, tb_entries

C = "ConversationSummarizer"


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


def fn(mod, path):
    obj = mod
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


def defined(function):
    return source_line(function, "kDefinition")


ARG_ERRORS = [
    # callable, args, kwargs, message, traceback line (None: no entry)
    ("inst.summarize_messages", (), {},
     "summarize_messages() takes at least 2 positional arguments (1 given)",
     defined("summarize_messages")),
    ("inst.summarize_messages", (1, 2, 3, 4, 5), {},
     "summarize_messages() takes at most 3 positional arguments (6 given)",
     defined("summarize_messages")),
    ("inst.summarize_messages", (), {"existing_summary": None},
     "summarize_messages() takes at least 2 positional arguments (1 given)",
     defined("summarize_messages")),
    ("_parse_summary", (), {}, "_parse_summary() takes exactly 1 positional argument (0 given)",
     defined("parse_summary")),
    ("_parse_summary", ("a", "b"), {},
     "_parse_summary() takes exactly 1 positional argument (2 given)", defined("parse_summary")),
    (f"{C}.__init__", (), {"llm_client": 1},
     "__init__() takes exactly 2 positional arguments (0 given)", defined("summarizer_init")),
    ("inst.format_summary_for_context", ({},), {"summary": {}},
     "format_summary_for_context() got multiple values for keyword argument 'summary'",
     defined("format_summary_for_context")),
    ("_brief_args", (), {"arg": {}}, "_brief_args() got an unexpected keyword argument 'arg'",
     defined("brief_args")),
    ("_fallback_summary", ([],), {"messages": []},
     "_fallback_summary() got multiple values for keyword argument 'messages'",
     defined("fallback_summary")),
    ("_empty_summary", (1,), {}, "_empty_summary() takes no arguments (1 given)", None),
    ("_empty_summary", (), {"x": 1}, "_empty_summary() takes no keyword arguments", None),
    ("_empty_summary", (1,), {"x": 1}, "_empty_summary() takes no keyword arguments", None),
    ("_format_messages_for_summary", (None,), {},
     "Argument 'messages' has incorrect type (expected list, got NoneType)", None),
    ("_format_messages_for_summary", ((),), {},
     "Argument 'messages' has incorrect type (expected list, got tuple)", None),
    ("_brief_args", (None,), {}, "Argument 'args' has incorrect type (expected dict, got NoneType)",
     None),
    ("_parse_summary", (b"x",), {}, "Argument 'text' has incorrect type (expected str, got bytes)",
     None),
    ("inst.summarize_messages", ([], b"x"), {},
     "Argument 'existing_summary' has incorrect type (expected str, got bytes)", None),
    ("inst.summarize_messages", (), {"messages": [], "existing_summary": {}},
     "Argument 'existing_summary' has incorrect type (expected str, got dict)", None),
    ("inst.format_summary_for_context", ([],), {},
     "Argument 'summary' has incorrect type (expected dict, got list)", None),
]


@pytest.fixture
def inst(mod):
    return object.__new__(mod.ConversationSummarizer)


def resolve_callable(mod, inst, path):
    return fn(inst, path[5:]) if path.startswith("inst.") else fn(mod, path)


@pytest.mark.parametrize("path,args,kwargs,message,line", ARG_ERRORS)
def test_argument_errors(mod, inst, path, args, kwargs, message, line):
    target = resolve_callable(mod, inst, path)
    with pytest.raises(TypeError) as info:
        target(*args, **kwargs)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")
    qual = target.__qualname__
    assert tb_entries(info.value) == ([] if line is None else
                                      [(f"morvex.core.summarizer.{qual}", line)])


@pytest.mark.parametrize("path,arg,expected,got", [
    ("_format_messages_for_summary", ListSub(), "list", "ListSub"),
    ("_brief_args", DictSub(), "dict", "DictSub"),
    ("_parse_summary", StrSub("x"), "str", "StrSub"),
])
def test_subclass_refused_with_note(mod, path, arg, expected, got):
    with pytest.raises(TypeError) as info:
        fn(mod, path)(arg)
    name = fn(mod, path).__code__.co_varnames[0]
    assert str(info.value) == (f"Argument '{name}' has incorrect type "
                               f"(expected {expected}, got {got})")
    (note,) = info.value.__notes__
    assert "subclasses" in note and "SUMMARIZER_ACCEPT_SUBCLASSES" in note


def test_keyword_rules(mod):
    parse = mod._parse_summary
    with pytest.raises(TypeError) as info:
        parse(**{1: "x"})
    with pytest.raises(TypeError) as host:
        print(**{1: "x"})
    assert str(info.value) == str(host.value) == "keywords must be strings"

    class EvilName(str):
        def __eq__(self, other):
            raise ZeroDivisionError("compared")
        __hash__ = str.__hash__

    # a str subclass keyword is compared with the host's equality, whose error propagates
    with pytest.raises(ZeroDivisionError):
        parse(**{EvilName("text"): "x"})
    # a str subclass equal by value fills the parameter of that name
    record = mod._fallback_summary(**{StrSub("messages"): []})
    assert record["current_state"] == "Conversation had 0 messages before summarization"


def test_binding_and_descriptor(mod, inst):
    cls = mod.ConversationSummarizer
    raw = vars(cls)["format_summary_for_context"]
    bound = inst.format_summary_for_context
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is inst and bound.__func__ is raw
    assert cls.format_summary_for_context is raw
    assert raw.__get__(None, cls) is raw
    assert repr(raw) == f"<compiled_function {C}.format_summary_for_context at {id(raw):#x}>"
    assert inspect.signature(bound) == inspect.signature(lambda summary: 0).replace(
        parameters=[inspect.Parameter("summary", inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                      annotation="dict[str, Any]")],
        return_annotation="str")
    assert str(inspect.signature(mod._empty_summary)) == "() -> 'dict[str, Any]'"


def test_type_not_instantiable_nor_subclassable(mod):
    ftype = type(mod._empty_summary)
    with pytest.raises(TypeError) as info:
        ftype()
    with pytest.raises(TypeError) as host:
        type(sys.flags)()  # a host type that cannot be instantiated either
    assert str(info.value) == f"cannot create '{ftype.__module__}.{ftype.__name__}' instances"
    assert str(host.value).startswith("cannot create '")
    with pytest.raises(TypeError):
        type("Sub", (ftype,), {})


def test_code_objects(mod):
    code = mod._fallback_summary.__code__
    assert code.co_varnames == ("messages", "goals", "progress", "msg", "content")
    assert code.co_argcount == 1 and code.co_nlocals == 5
    assert code.co_flags & inspect.CO_OPTIMIZED and code.co_flags & inspect.CO_NEWLOCALS
    assert not code.co_flags & inspect.CO_COROUTINE
    sm = mod.ConversationSummarizer.summarize_messages.__code__
    assert sm.co_flags & inspect.CO_COROUTINE and sm.co_argcount == 3
    assert mod._empty_summary.__code__.co_varnames == ()


@pytest.mark.parametrize("attr,good,bad,message", [
    ("__name__", StrSub("n"), 5, "__name__ must be set to a string object"),
    ("__qualname__", "q", None, "__qualname__ must be set to a string object"),
    ("__annotations__", DictSub(a=1), [], "__annotations__ must be set to a dict object"),
])
def test_string_and_dict_attributes(mod, attr, good, bad, message):
    f = mod._brief_args
    old = getattr(f, attr)
    try:
        setattr(f, attr, good)
        assert getattr(f, attr) is good
        with pytest.raises(TypeError) as info:
            setattr(f, attr, bad)
        assert str(info.value) == message and getattr(f, attr) is good
        if attr != "__annotations__":
            with pytest.raises(TypeError) as info:
                delattr(f, attr)
            assert str(info.value) == message
    finally:
        setattr(f, attr, old)


def test_annotations_none_and_delete(mod):
    f = mod._parse_summary
    old = f.__annotations__
    try:
        f.__annotations__ = None
        fresh = f.__annotations__
        assert fresh == {} and f.__annotations__ is fresh
        del f.__annotations__
        assert f.__annotations__ == {}
    finally:
        f.__annotations__ = old


def test_doc_module_dict_attributes(mod):
    f = mod._parse_summary
    old_doc = f.__doc__
    try:
        f.__doc__ = 42
        assert f.__doc__ == 42 and f.func_doc == 42
        del f.__doc__
        assert f.__doc__ is None
    finally:
        f.__doc__ = old_doc
    f.__module__ = 7
    assert f.__module__ == 7
    del f.__module__
    assert f.__module__ is None
    f.__module__ = "morvex.core.summarizer"
    f.custom = 1
    assert f.__dict__ == {"custom": 1} and f.func_dict is f.__dict__
    del f.custom
    for attr in ("__globals__", "__code__", "__closure__", "_is_coroutine"):
        with pytest.raises(AttributeError):
            setattr(f, attr, None)
    assert f._is_coroutine is False


@pytest.mark.parametrize("attr,value,bad,message", [
    ("__defaults__", ("x",), ["x"], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", {"text": "x"}, ("x",), "__kwdefaults__ must be set to a dict object"),
])
def test_defaults_warn_and_do_not_change_calls(mod, attr, value, bad, message):
    f = mod._parse_summary
    try:
        with pytest.warns(RuntimeWarning) as caught:
            setattr(f, attr, value)
        assert len(caught) == 1 and caught[0].filename == __file__
        assert getattr(f, attr) == value
        with pytest.raises(TypeError) as info:
            f()
        assert str(info.value) == "_parse_summary() takes exactly 1 positional argument (0 given)"
        with pytest.raises(TypeError) as info:
            setattr(f, attr, bad)
        assert str(info.value) == message
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning):
                setattr(f, attr, None)
        assert getattr(f, attr) == value  # a refused assignment keeps the old value
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            delattr(f, attr)
    assert getattr(f, attr) is None


def test_summarize_defaults_stay_built_in(mod, inst):
    sm = mod.ConversationSummarizer.summarize_messages
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sm.__defaults__ = ("ignored",)
    try:
        assert sm.__defaults__ == ("ignored",)
        with pytest.raises(TypeError) as info:
            inst.summarize_messages(None)
        assert "expected list" in str(info.value)
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            sm.__defaults__ = (None,)


def test_reduce_and_pickle(mod):
    assert mod._parse_summary.__reduce__() == "_parse_summary"
    assert pickle.loads(pickle.dumps(mod._parse_summary)) is mod._parse_summary
    meth = vars(mod.ConversationSummarizer)["format_summary_for_context"]
    assert meth.__reduce__() == f"{C}.format_summary_for_context"
    assert pickle.loads(pickle.dumps(meth)) is meth


def test_name_error_for_missing_global(mod, monkeypatch):
    monkeypatch.delattr(mod, "time")
    with pytest.raises(NameError) as info:
        mod._empty_summary()
    assert str(info.value) == "name 'time' is not defined"
    assert tb_entries(info.value) == [("morvex.core.summarizer._empty_summary",
                                       source_line("empty_summary", "kTimestamp"))]


def test_builtins_are_searched_after_globals(mod, monkeypatch):
    import builtins
    fake_time = types.SimpleNamespace(time=lambda: 1.5)
    monkeypatch.delattr(mod, "time")
    monkeypatch.setattr(builtins, "time", fake_time, raising=False)
    assert mod._empty_summary()["created_at"] == 1.5


def test_recursion_guard(mod, monkeypatch):
    # time.time() calls back into _empty_summary through a C callable: only the
    # module's own guard stops the recursion.
    monkeypatch.setattr(mod, "time",
                        types.SimpleNamespace(time=functools.partial(mod._empty_summary)))
    with pytest.raises(RecursionError) as info:
        mod._empty_summary()
    assert str(info.value).endswith(" while calling a Python object")


def test_no_leaks_on_calls_and_errors(mod, inst):
    parse = mod._parse_summary
    empty = mod._empty_summary
    fmt = inst.format_summary_for_context

    def calls():
        empty()
        for bad in ((), ("a", "b")):
            try:
                parse(*bad)
            except TypeError:
                pass
        for kwargs in ({"x": 1}, {"text": 1}, {"summary": 1, "self": 2}):
            try:
                parse(**kwargs)
            except TypeError:
                pass
        for call in (lambda: fmt([]), lambda: mod._format_messages_for_summary(ListSub()),
                     lambda: empty(1), lambda: empty(x=1)):
            try:
                call()
            except TypeError:
                pass
        saved = mod.time
        del mod.time
        try:
            empty()
        except NameError:
            pass
        finally:
            mod.time = saved

    leak_check(calls)


def test_build_accepting_subclasses(variant_build):
    """The SUMMARIZER_ACCEPT_SUBCLASSES build lets typed parameters take subclasses."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    code = (
        "import morvex.core.summarizer as m\n"
        "class D(dict): pass\n"
        "class L(list): pass\n"
        "print(m._empty_summary.__class__.__name__, m._fallback_summary(L())['current_state'])\n"
        "try:\n    m._fallback_summary(())\nexcept TypeError as e:\n    print(e)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([variant_build, root]))
    result = subprocess.run([sys.executable, "-c", code + SUBCLASS_OVERRIDES], capture_output=True,
                            text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "compiled_function Conversation had 0 messages before summarization",
        "Argument 'messages' has incorrect type (expected list, got tuple)",
    ] + [f"{name}: same" for name in ("fallback L", "transcript L", "transcript D",
                                       "fallback D", "brief I", "parse S", "context D")]


# In that build, a subclass's own __iter__, __len__, get, __getitem__, items and strip are
# used wherever the plain-Python twin would use them.
SUBCLASS_OVERRIDES = """
from benchmarks import twin

def typed(name, value, kind):
    if not isinstance(value, kind):
        raise TypeError(f"Argument '{name}' has incorrect type (expected {kind.__name__}, "
                        f"got {type(value).__name__})")
twin.typed = typed

class L(list):
    def __iter__(self): return iter([{"role": "user", "content": "from iter"}])
    def __len__(self): return 7
class D(dict):
    def get(self, key, default=None): return "user" if key == "role" else ["from get"]
    def __getitem__(self, key): return ["from getitem"]
class I(dict):
    def items(self): return [("x", "from items")]
class S(str):
    def strip(self): return '{"goals": ["from strip"]}'

def outcome(fn, value):
    try:
        result = fn(value)
    except Exception as exc:
        return type(exc).__name__, str(exc)
    return dict(result, created_at=None) if isinstance(result, dict) else result

context = m.ConversationSummarizer(None).format_summary_for_context
for name, ours, theirs, value in [
    ("fallback L", m._fallback_summary, twin.fallback, L([{"role": "user", "content": "x"}])),
    ("transcript L", m._format_messages_for_summary, twin.format_messages,
     L([{"role": "user", "content": "x"}])),
    ("transcript D", m._format_messages_for_summary, twin.format_messages,
     [D(role="system", content="x")]),
    ("fallback D", m._fallback_summary, twin.fallback, [D(role="system", content="x")]),
    ("brief I", m._brief_args, twin.brief_args, I(a=1)),
    ("parse S", m._parse_summary, twin.parse, S(" {} ")),
    ("context D", context, twin.context, D(goals=["x"])),
]:
    got, expected = outcome(ours, value), outcome(theirs, value)
    print(f"{name}: same" if got == expected else f"{name}: {got!r} != {expected!r}")
"""
