import json
import sys
import types

import pytest
from module_support import leak_check, source_line, tb_entries

FMT = "morvex.core.summarizer._format_messages_for_summary"
BRIEF = "morvex.core.summarizer._brief_args"


def entry(step):
    """The traceback entry of a step of the transcript, or of (BRIEF, step) of the brief."""
    if isinstance(step, tuple):
        return BRIEF, source_line("brief_args", step[1])
    return FMT, source_line("format_messages_for_summary", step)


class GetOnly:  # no dict: read through its own get, which raises for the key `bad`
    def __init__(self, d, bad=None):
        self.d, self.bad = d, bad

    def get(self, key, *default):
        if key == self.bad:
            raise ValueError(key)
        return self.d.get(key, *default)


class DictLike(GetOnly):
    def __getitem__(self, key):
        return self.d[key]


class SubDict(dict):
    pass


def obj(**methods):
    return type("Obj", (), methods)()


def throw(exc):
    def method(*args):
        # a fresh traceback each time: re-raising one instance would grow its old one
        raise exc.with_traceback(None) if isinstance(exc, BaseException) else ValueError(exc)
    return method


def bad(name): return obj(**{name: throw(name)})
def role(r): return obj(__eq__=lambda s, o: throw("eq " + r)() if o == r else NotImplemented)


TEXT = obj(__str__=lambda s: "S", __format__=lambda s, spec: "F")


def rewrap(messages, kind):
    """The same records as another kind: exact dicts, objects with get, dict subclasses."""
    if kind == "dict":
        return messages
    rec = DictLike if kind == "like" else SubDict

    def tool_call(tc):
        if type(tc) is not dict:
            return tc
        fn = tc.get("function")
        return SubDict(tc, **({"function": rec(fn)} if type(fn) is dict else {}))

    def message(m):
        if type(m) is dict and type(m.get("tool_calls")) is list:
            m = m | {"tool_calls": [tool_call(tc) for tc in m["tool_calls"]]}
        return rec(m) if type(m) is dict else m
    return [message(m) for m in messages]


def user(c): return {"role": "user", "content": c}
def tool(c, i="c"): return {"role": "tool", "tool_call_id": i, "content": c}
def calls(*tcs, content=""):
    return {"role": "assistant", "content": content, "tool_calls": list(tcs)}
def tcall(**kw): return [calls({"name": "n", "arguments": {}} | kw)]
def called(*briefs): return "\n".join("[Assistant called n]: " + b for b in briefs)


EXAMPLE = [
    {"role": "system", "content": "You are an agent."},
    user("List what is in /tmp"),
    {"role": "assistant", "content": "Let me look.", "tool_calls": [{"id": "call_1", "function": {
        "name": "shell", "arguments": json.dumps({"cmd": "ls /tmp", "timeout": 30})}}]},
    {"role": "tool", "tool_call_id": "call_1", "content": "a.txt b.txt"},
]
RAW = [calls({"function": {"name": "shell", "arguments": "list tmp"}})]
U = "\U0001F600"

CASES = [
    (EXAMPLE, "[User]: List what is in /tmp\n[Assistant]: Let me look.\n[Assistant called shell]: "
              "cmd=ls /tmp, timeout=30\n[Tool Result (call_1)]: a.txt b.txt"),
    (RAW, "[Assistant called shell]: list tmp"),
    ([], ""),
    ([{"role": "system", "content": "x"}, {"content": "y"}, {"role": None}, {"role": 5}], ""),
    ([{"role": "user"}, user(None), user("a\nb"), user(3.5), user(TEXT), user("\udcff")],
     "[User]: \n[User]: None\n[User]: a\nb\n[User]: 3.5\n[User]: F\n[User]: \udcff"),
    ([{"role": "assistant", "content": ""}, calls(content=None)], ""),
    ([calls({"name": "a"}, {"name": "b", "arguments": {"x": 1}}, content="hi")],
     "[Assistant]: hi\n[Assistant called a]: \n[Assistant called b]: x=1"),
    ([{"role": "tool", "content": "r"}, tool(None, 7), tool("")],
     "[Tool Result (unknown)]: r\n[Tool Result (7)]: None\n[Tool Result (c)]: "),
    ([tool("x" * 500), tool("x" * 501)],
     "[Tool Result (c)]: " + "x" * 500 + "\n[Tool Result (c)]: " + "x" * 500 + "... [truncated]"),
    ([tool(U * 501), tool("é" * 500 + U), tool("\ud800" * 600)], "\n".join(
        "[Tool Result (c)]: " + s * 500 + "... [truncated]" for s in (U, "é", "\ud800"))),
    ([calls({"name": "flat", "arguments": {"a": 1}, "function": {"name": "x", "arguments": {}}})],
     "[Assistant called flat]: a=1"),
    ([calls({"name": 5, "arguments": "ü" * 250})], "[Assistant called 5]: " + "ü" * 200),
    ([calls(*({"name": "n", "arguments": a} for a in ("[1, 2]", "null", '"hi"', 1, None, TEXT)))],
     called("[1, 2]", "None", "hi", "1", "None", "S")),
    (tcall(arguments={1: None, "e": U * 101}), called("1=None, e=" + U * 100 + "...")),
    (tcall(arguments={"a": "x" * 100, "b": "x" * 100 + U, "n" * 150: {"c": "d" * 200}, TEXT: TEXT}),
     called(f"a={'x' * 100}, b={'x' * 100}..., {'n' * 150}={{'c': '{'d' * 93}..., F=S")),
    (tcall(arguments={"s": "\ud800" * 101, "t": "\udfff"}),
     called("s=" + "\ud800" * 100 + "..., t=\udfff")),
    ([calls("s", None, [1], 2), calls(content="t") | {"tool_calls": "abc"}], "[Assistant]: t"),
    ([calls() | {"tool_calls": ({"name": "t"},)},
      calls() | {"tool_calls": {0: {"name": "i"}}.values()}],
     "[Assistant called t]: \n[Assistant called i]: "),
]


def test_brief_example(mod):
    args = {"path": "/tmp/a.txt", "content": "c" * 250, "overwrite": True, "lines": [1, 2]}
    assert mod._brief_args(args) == (
        f"path=/tmp/a.txt, content={'c' * 100}..., overwrite=True, lines=[1, 2]")


@pytest.mark.parametrize("kind", ["dict", "like", "sub"])
@pytest.mark.parametrize("messages,expected", CASES)
def test_transcript(mod, messages, expected, kind):
    assert mod._format_messages_for_summary(rewrap(messages, kind)) == expected


def test_read_order(mod):
    log = []

    class Logged(dict):
        def __getattribute__(self, name):
            if name == "get":
                log.append(("attr", self["tag"]))
            return super().__getattribute__(name)

        def get(self, key, *default):
            log.append((self["tag"], key) + default)
            return super().get(key, *default)

        def __getitem__(self, key):
            if key != "tag":
                log.append(("item", self["tag"], key))
            return super().__getitem__(key)

    f = Logged(tag="f", name="fn", arguments="{}")
    msg = Logged(tag="m", role="assistant", tool_calls=[Logged(tag="t", name="n", function=f)])
    assert mod._format_messages_for_summary([msg]) == "[Assistant called n]: "
    tc = [("attr", "t"), ("attr", "t"), ("t", "function", {}), ("attr", "f")]
    assert log == [("attr", "m"), ("m", "role", "unknown"), ("attr", "m"), ("m", "content", ""),
                   ("attr", "m"), ("m", "tool_calls"), ("item", "m", "tool_calls"),
                   *tc, ("f", "name", "unknown"), ("t", "name", "fn"),
                   *tc, ("f", "arguments", {}), ("t", "arguments", "{}")]


FAILURES = [
    ([5], AttributeError, "'int' object has no attribute 'get'", ["kRole"]),
    ([DictLike(user("a"), bad="content")], ValueError, "content", ["kContent"]),
    ([DictLike(tool("a"), bad="tool_call_id")], ValueError, "tool_call_id", ["kToolId"]),
    ([DictLike(calls(), bad="tool_calls")], ValueError, "tool_calls", ["kToolCallsTest"]),
    *(([{"role": role(r)}], ValueError, "eq " + r, [step])
      for r, step in (("system", "kIsSystem"), ("tool", "kIsTool"),
                      ("assistant", "kIsAssistant"), ("user", "kIsUser"))),
    ([tool(5)], TypeError, "object of type 'int' has no len()", ["kToolContentTest"]),
    ([tool([0] * 501)], TypeError, 'can only concatenate list (not "str") to list',
     ["kToolContentCut"]),
    ([tool("a", bad("__format__"))], ValueError, "__format__", ["kToolLine"]),
    ([calls(content=bad("__bool__"))], ValueError, "__bool__", ["kAssistantContentTest"]),
    ([calls(content=bad("__format__"))], ValueError, "__format__", ["kAssistantLine"]),
    ([calls() | {"tool_calls": 5}], TypeError, "'int' object is not iterable", ["kToolCallsWalk"]),
    ([GetOnly(calls({}))], TypeError, "'GetOnly' object is not subscriptable", ["kToolCallsWalk"]),
    (tcall(function=None), AttributeError, "'NoneType' object has no attribute 'get'", ["kName"]),
    (tcall(function=DictLike({}, bad="arguments")), ValueError, "arguments", ["kArgs"]),
    (tcall(arguments=SubDict()), TypeError,
     "Argument 'args' has incorrect type (expected dict, got SubDict)", ["kArgsBrief"]),
    (tcall(arguments={"k": bad("__str__")}), ValueError, "__str__",
     ["kArgsBrief", (BRIEF, "kValueText")]),
    (tcall(arguments={bad("__format__"): 1}), ValueError, "__format__",
     ["kArgsBrief", (BRIEF, "kEntry")]),
    (tcall(arguments=bad("__str__")), ValueError, "__str__", ["kArgsBrief"]),
    (tcall(name=bad("__format__")), ValueError, "__format__", ["kToolCallLine"]),
    ([user(bad("__format__"))], ValueError, "__format__", ["kUserLine"]),
]


def failure(fn, arg, exc_type):
    with pytest.raises(exc_type) as info:
        fn(arg)
    return info.value


@pytest.mark.parametrize("messages,exc_type,text,steps", FAILURES)
def test_failures(mod, messages, exc_type, text, steps):
    exc = failure(mod._format_messages_for_summary, messages, exc_type)
    assert str(exc) == text
    assert tb_entries(exc) == [entry(step) for step in steps]


@pytest.mark.parametrize("name,value,expected", [
    ("json", types.SimpleNamespace(loads=throw(KeyError("k")), JSONDecodeError=LookupError),
     called("{x")),
    ("json", types.SimpleNamespace(loads=throw(ValueError("v")),
                                   JSONDecodeError=json.JSONDecodeError),
     (ValueError, "v", "kLoads")),
    ("json", types.SimpleNamespace(loads=throw(ValueError("v"))), (AttributeError,
     "'types.SimpleNamespace' object has no attribute 'JSONDecodeError'", "kDecodeErrorMatch")),
    # raised again while matching
    ("json", None, (NameError, "name 'json' is not defined", "kDecodeErrorMatch")),
    ("_brief_args", lambda a: sorted(a), called("['a']")),
    ("_brief_args", None, (NameError, "name '_brief_args' is not defined", "kArgsBrief")),
])
def test_late_bound_names(mod, monkeypatch, name, value, expected):
    if value is None:
        monkeypatch.delattr(mod, name)
    else:
        monkeypatch.setattr(mod, name, value)
    messages = tcall(arguments="{x" if name == "json" else {"a": 1})
    if isinstance(expected, str):
        assert mod._format_messages_for_summary(messages) == expected
        return
    exc = failure(mod._format_messages_for_summary, messages, expected[0])
    assert (str(exc), tb_entries(exc)) == (expected[1], [entry(expected[2])])


@pytest.mark.parametrize("target,change,expected", [
    ("msg", lambda msgs, tcs: msgs.clear(), "[User]: first"),
    ("msg", lambda msgs, tcs: msgs.__setitem__(slice(1, None), [user("late")]),
     "[User]: first\n[User]: late"),
    ("tc", lambda msgs, tcs: tcs.clear(), "[User]: first\n[Assistant called a]: \n[User]: x"),
    ("tc", lambda msgs, tcs: tcs.append({"name": "c"}),
     "[User]: first\n" + "".join(f"[Assistant called {n}]: \n" for n in "abcccc") + "[User]: x"),
])
def test_lists_change_while_walked(mod, target, change, expected):
    msgs, tcs = [], []

    class Hostile(SubDict):  # each get runs `change`, which may drop this very record
        def get(self, key, *default):
            change(msgs, tcs)
            return super().get(key, *default)
    rec = {"msg": (Hostile, dict), "tc": (dict, Hostile)}[target]
    tcs[:] = [rec[1](name="a"), {"name": "b"}]
    msgs[:] = [rec[0](user("first")), {"role": "assistant", "tool_calls": tcs}, user("x")]
    assert mod._format_messages_for_summary(msgs) == expected


class Mutating:  # its text conversion changes the dictionary being briefed
    def __init__(self, change):
        self.change = change

    def __str__(self):
        self.change(self.args)
        return "m"


def brief_in_python(args):  # the host's own walk of a dict, for comparison
    parts = []
    for k, v in args.items():
        val_str = v if isinstance(v, str) else str(v)
        parts.append(f"{k}={val_str[:100] + '...' if len(val_str) > 100 else val_str}")
    return ", ".join(parts)


def outcome(fn, args):
    try:
        return fn(args)
    except RuntimeError as exc:
        return RuntimeError, str(exc)


def replace_key(old, new):  # same size afterwards, other keys
    return lambda d: (d.pop(old), d.__setitem__(new, 1))


@pytest.mark.parametrize("change,error", [
    (lambda d: d.__setitem__("new", 1), "dictionary changed size during iteration"),
    (lambda d: d.clear(), "dictionary changed size during iteration"),  # drops the value too
    (replace_key("z", "w"), None),  # fine when "z" is still ahead; else keys changed
    (replace_key("a", "w"), None),
    (lambda d: (d.pop("b"), d.__setitem__("b", 2)), None),  # same key, back at the end
    (lambda d: d.__setitem__("z", 5), None),  # a value replaced: no change of keys
])
@pytest.mark.parametrize("last", [0, 1])
def test_brief_dict_changes(mod, change, error, last):
    def make():
        first, second = Mutating(change), Mutating(lambda d: None)
        args = {"z": 0, "a": second, "b": first} if last else {"a": first, "b": second, "z": 0}
        first.args = second.args = args
        return args

    expected = outcome(brief_in_python, make())
    assert outcome(mod._brief_args, make()) == expected
    if error is not None:
        assert expected == (RuntimeError, error)
    if isinstance(expected, tuple):
        exc = failure(mod._brief_args, make(), RuntimeError)
        assert tb_entries(exc) == [entry((BRIEF, "kWalk"))]


def test_brief_keys_changed_message(mod):
    # A conversion that swaps the last key for a new one: the walk finds one entry more
    # than the dict held when it began.
    first = Mutating(replace_key("z", "w"))
    args = {"z": 0, "a": "x", "b": first}
    first.args = args
    exc = failure(mod._brief_args, args, RuntimeError)
    assert str(exc) == "dictionary keys changed during iteration"


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="needs pymalloc block counts")
def test_no_leaks(mod):
    args = {"a": Mutating(lambda d: d.clear())}

    def run():
        for messages, _ in CASES:
            mod._format_messages_for_summary(messages)
        for messages, exc_type, _, _ in FAILURES:
            failure(mod._format_messages_for_summary, messages, exc_type)
        args["a"] = Mutating(lambda d: d.clear())
        args["a"].args = args
        failure(mod._brief_args, args, RuntimeError)
    leak_check(run, repeat=300, warmup=50)


class Colliding:
    """A key that hashes like "role" and logs each comparison the dict makes with it."""

    def __init__(self, log):
        self.log = log

    def __hash__(self):
        return hash("role")

    def __eq__(self, other):
        self.log.append(other)
        return False


def later_calls(msg):
    class Text:
        def __format__(self, spec):  # runs after the record's first reads
            msg["tool_calls"] = [{"name": "late", "arguments": {"x": 1}}]
            return "text"
    return Text()


class Dying:
    def __init__(self, log):
        self.log = log

    def __del__(self):
        self.log.append("freed")


def dropping_calls(msg, log):
    class Text:
        def __format__(self, spec):  # the record's value goes as the record drops it
            del msg["tool_calls"]
            log.append("formatted")
            return "text"
    return Text()


@pytest.mark.parametrize("make", [
    lambda log: (lambda m: m.update(content=dropping_calls(m, log)) or m)(
        {"role": "user", "tool_calls": Dying(log)}),
    # keys equal to the ones read but not the same objects, as json.loads gives them
    lambda log: json.loads('{"role": "tool", "tool_call_id": "c1", "content": "out"}'),
    lambda log: {"".join(["con", "tent"]): "hi", "".join(["ro", "le"]): "user"},
    # a key of another type: the lookups run its equality, in their own order
    lambda log: {Colliding(log): 1, "role": "assistant", "content": "x", "tool_calls": []},
    # more entries than a walk reads
    lambda log: {**{f"k{i}": i for i in range(12)}, "role": "user", "content": "many"},
    # host code run after the first reads changes what the later ones find
    lambda log: (lambda m: m.update(content=later_calls(m)) or m)({"role": "assistant"}),
])
def test_records_read_as_lookups_read_them(mod, make):
    from benchmarks import twin
    ours, theirs = [], []
    assert mod._format_messages_for_summary([make(ours)]) == twin.format_messages([make(theirs)])
    assert ours == theirs


class OwnStr(str):
    """A str subclass whose text form is its own, as a __str__ may return one."""
    def __str__(self):
        return "CUSTOM"


class OwnLength(str):
    def __len__(self):
        return 101

    def __getitem__(self, key):
        return "short"


class Stringifies:
    def __init__(self, cls):
        self.cls = cls

    def __str__(self):
        return self.cls("abc")


@pytest.mark.parametrize("cls", [OwnStr, OwnLength])
@pytest.mark.parametrize("where", ["brief value", "arguments not a dict"])
def test_str_result_of_a_subclass_goes_through_its_own_methods(mod, cls, where):
    from benchmarks import twin
    value = Stringifies(cls)
    if where == "brief value":
        ours, theirs = mod._brief_args({"k": value}), twin.brief_args({"k": value})
    else:
        messages = [{"role": "assistant", "tool_calls": [{"name": "t", "arguments": value}]}]
        ours, theirs = mod._format_messages_for_summary(messages), twin.format_messages(messages)
    assert ours == theirs
    assert ("CUSTOM" in ours or "short" in ours) != ("abc" in ours)


def released_late(render, later, on_release):
    """The transcript of a user record whose content the record drops while it is
    formatted (only the walk's local holds it then), followed by `later`; the content's
    finaliser calls on_release(messages)."""
    messages = []

    class Content:
        def __format__(self, spec):
            messages[0]["content"] = "first"
            return "first"

        def __del__(self):
            on_release(messages)

    messages[:] = [{"role": "user", "content": Content()}, *later()]
    return render(messages)


def test_content_lives_until_the_next_record_replaces_it(mod):
    """A content its record drops while it is formatted is released when the next
    record's content is read, as the plain function's local is; its finaliser then
    changes the list the walk goes on with."""
    from benchmarks import twin

    def transcript(render):
        return released_late(render, lambda: [{"role": "user", "content": "second"},
                                              {"role": "user", "content": "third"}],
                             lambda messages: messages.__delitem__(1))

    assert transcript(mod._format_messages_for_summary) == transcript(twin.format_messages)
    assert transcript(twin.format_messages) == "[User]: first\n[User]: second"


@pytest.mark.parametrize("key,value,line", [
    ("tool_calls", [{"name": "late"}], "[Assistant called late]: "),
    ("tool_call_id", "late", "[Tool Result (late)]: x"),
])
def test_a_key_added_while_the_previous_content_goes_is_read(mod, key, value, line):
    """The previous record's content is released when the next record's content is
    stored; what its finaliser adds to the record is there for the record's later reads."""
    from benchmarks import twin
    role = "assistant" if key == "tool_calls" else "tool"

    def transcript(render):
        return released_late(render, lambda: [{"role": role, "content": "x"}],
                             lambda messages: messages[1].__setitem__(key, value))

    assert transcript(mod._format_messages_for_summary) == transcript(twin.format_messages)
    assert transcript(twin.format_messages).endswith(line)
