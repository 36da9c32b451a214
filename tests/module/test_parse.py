import json
import sys
import types

import pytest
from module_support import leak_check, raises_with, source_line, tb_entries

KEYS = ["goals", "progress", "current_state", "key_decisions", "key_facts", "blockers",
        "next_steps", "summary", "created_at"]
NS, F, DECODE = types.SimpleNamespace, "```", json.JSONDecodeError
SPACE = "".join(chr(c) for c in range(0x110000) if chr(c).isspace())
WARNED = [(("Could not parse summary JSON, using fallback",), {}, DECODE)]


def record(**values):
    texts = ("current_state", "summary")
    return {k: values.get(k, "" if k in texts else []) for k in KEYS[:-1]} | {"created_at": 7.25}


class Calls(list):
    def rerun_reset(self):  # between repeated runs of one test (the leak hunt)
        self.clear()


@pytest.fixture
def calls(mod, monkeypatch):
    calls = Calls()
    warn = lambda *a, **k: calls.append((a, k, type(sys.exception())))  # noqa: E731
    monkeypatch.setattr(mod, "logger", NS(warning=warn))
    monkeypatch.setattr(mod, "time", NS(time=lambda: 7.25))
    return calls


@pytest.mark.parametrize("reply, values, warned", [
    ('\n \t{"goals": ["g"], "summary": "s"}\r\n ', {"goals": ["g"], "summary": "s"}, False),
    (f'{F}json\n{{"progress": ["p"]}}\n{F}\nafter {{', {"progress": ["p"]}, False),
    (f'{F}\n{{"blockers": [1],\n "key_facts": null}}', {"blockers": [1], "key_facts": None}, False),
    (f'{F}\n{{"next_steps": []}}\n  {F} \t\nx', {}, False),
    ('{"goals": "ab", "created_at": 1, "x": 2, "summary": {}}', {"goals": "ab", "summary": {}},
     False),
    (SPACE + '{"current_state": "\\ud800\U0001F600"}' + SPACE,
     {"current_state": "\ud800\U0001F600"}, False),
    ("prose\n```json\n{}\n```", {"summary": "prose\n```json\n{}\n```"}, True),
    (F + "json", {}, True),
    (F + '{"goals": []}' + F, {}, True),
    (SPACE, {}, True),
    ("\u200b{}", {"summary": "\u200b{}"}, True),
    (f"{F}\n  not json\n{F}py\n\t x\r\n{F}\nrest", {"summary": "  not json\n```py\n\t x\r"}, True),
    ("x" * 1001, {"summary": "x" * 1000}, True),
    ("\U0001F600" * 1001, {"summary": "\U0001F600" * 1000}, True),
    ("a\udc80" * 600, {"summary": "a\udc80" * 500}, True),
])
def test_reply(mod, calls, reply, values, warned):
    result = mod._parse_summary(reply)
    assert result == record(**values) and list(result) == KEYS
    assert calls == (WARNED if warned else [])


def test_records_are_fresh(mod):
    records = mod._parse_summary("{}"), mod._parse_summary("no")
    lists = [r[k] for r in records for k in KEYS if isinstance(r[k], list)]
    assert len({id(v) for v in lists}) == 12 and {type(r["created_at"]) for r in records} == {float}


def test_json_global_is_used(mod, calls, monkeypatch):
    seen = []

    class Data:
        def __getattr__(self, name):
            return lambda key, default: seen.append((name, key, default)) or default
    monkeypatch.setattr(mod, "json", NS(loads=lambda text: seen.append(text) or Data()))
    assert mod._parse_summary(" t ") == record() and calls == []
    assert seen == ["t"] + [("get", k, "" if k in ("current_state", "summary") else [])
                            for k in KEYS[:-1]]


class Picky(dict):
    def get(self, key, default):
        if key == "blockers":
            raise LookupError(key)
        return default


def raising(exc):
    def fn(*args):
        raise exc.with_traceback(None)  # a fresh traceback each call
    return fn


@pytest.mark.parametrize("reply, patch, error, step, context", [
    ("[1]", {}, AttributeError("'list' object has no attribute 'get'"), "kGoalsField", None),
    ("null", {}, AttributeError("'NoneType' object has no attribute 'get'"), "kGoalsField",
     None),
    ("[" * 100000, {}, RecursionError, "kLoads", None),
    ("{}", {"json": None}, NameError("name 'json' is not defined"), "kDecodeErrorMatch",
     NameError),
    ("{}", {"time": None}, NameError("name 'time' is not defined"), "kTimestamp", None),
    ("{", {"time": None}, NameError("name 'time' is not defined"), "kUnparsedTimestamp", DECODE),
    ("{", {"logger": None}, NameError("name 'logger' is not defined"), "kWarning", DECODE),
    ("{", {"logger": NS(warning=raising(OSError("w")))}, OSError("w"), "kWarning", DECODE),
    ("{", {"json": NS(loads=json.loads, JSONDecodeError=(DECODE, 3))}, TypeError(
        "catching classes that do not inherit from BaseException is not allowed"),
     "kDecodeErrorMatch", DECODE),
    ("x", {"json": NS(loads=raising(KeyError("k")), JSONDecodeError=(ValueError, LookupError))},
     None, None, None),
    ("x", {"json": NS(loads=lambda t: Picky(), JSONDecodeError=TypeError)},
     LookupError("blockers"), "kBlockersField", None),
])
def test_failures(mod, calls, monkeypatch, reply, patch, error, step, context):
    for name, value in patch.items():
        if value is None:
            monkeypatch.delattr(mod, name)
        else:
            monkeypatch.setattr(mod, name, value)
    if error is None:
        assert mod._parse_summary(reply) == record(summary="x")
        return
    exc = raises_with(lambda: mod._parse_summary(reply),
                      error if isinstance(error, type) else type(error))
    assert isinstance(error, type) or str(exc) == str(error)
    assert tb_entries(exc) == [("morvex.core.summarizer._parse_summary",
                                source_line("parse_summary", step))]
    assert type(exc.__context__) is (context or type(None))
    assert len(calls) == (step == "kUnparsedTimestamp") and sys.exception() is None


def test_no_leaks(mod, monkeypatch):
    monkeypatch.setattr(mod, "logger", NS(warning=len))

    def run():
        for reply in ('{"goals": [1]}', "``` x\n{", "[]"):
            try:
                mod._parse_summary(reply)
            except AttributeError:
                pass
    leak_check(run)
