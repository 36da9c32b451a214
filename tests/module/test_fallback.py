import types

import pytest
from module_support import leak_check, raises_with, source_line, tb_entries

KEYS = ["goals", "progress", "current_state", "key_decisions", "key_facts", "blockers",
        "next_steps", "summary", "created_at"]


@pytest.fixture
def fixed_time(mod, monkeypatch):
    monkeypatch.setattr(mod, "time", types.SimpleNamespace(time=lambda: 3.5))


def expected(n, goal):
    request = "unknown" if goal is None else goal
    return {"goals": [] if goal is None else [goal], "progress": [],
            "current_state": f"Conversation had {n} messages before summarization",
            "key_decisions": [], "key_facts": [], "blockers": [], "next_steps": [],
            "summary": f"Conversation with {n} messages. Primary request: {request}",
            "created_at": 3.5}


def msg(role="user", content=None):
    return {"role": role, "content": content}


class Equal:
    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        if isinstance(self.result, Exception):
            raise self.result.with_traceback(None)  # a fresh traceback each call
        return self.result


@pytest.mark.parametrize("messages, goal", [
    ([msg("system", "You are an agent."), msg("user", "Fix the failing build"),
      msg("assistant", "Looking."), msg("user", "L" * 250)], "Fix the failing build"),
    ([msg("user", "L" * 250), msg("user", "second")], "L" * 200 + "..."),
    ([], None),
    ([msg("user", ""), msg("user", None), {"content": "no role"}, msg("user", "third")], "third"),
    ([msg("tool", "t"), msg("assistant", "a"), msg(Equal(False), "e")], None),
    ([msg("user", "x" * 200)], "x" * 200),
    ([msg("user", "x" * 201)], "x" * 200 + "..."),
    ([msg("user", "\U0001F600" * 201)], "\U0001F600" * 200 + "..."),
    ([msg("user", "\udc80a" * 101)], "\udc80a" * 100 + "..."),
    ([msg(Equal(True), [1, None])], [1, None]),
])
def test_summary(mod, fixed_time, messages, goal):
    result = mod._fallback_summary(messages)
    assert result == expected(len(messages), goal) and list(result) == KEYS


def test_records_are_fresh(mod):
    records = mod._fallback_summary([msg("user", "a")]), mod._fallback_summary([])
    lists = [r[k] for r in records for k in KEYS if isinstance(r[k], list)]
    assert len({id(v) for v in lists}) == 12 and {type(r["created_at"]) for r in records} == {float}


class Hostile(dict):
    """A user message whose first get changes the message list being walked."""

    def get(self, key):
        action, self.action = self.action, len
        action(self.messages)
        return super().get(key)


@pytest.mark.parametrize("action, n", [
    (list.clear, 0),
    (lambda m: m.append(msg("user", "added")), 4),
    (lambda m: m.insert(0, msg("user", "front")), 4),
    (lambda m: m.__delitem__(slice(1, None)), 1),
])
def test_list_changed_while_walked(mod, fixed_time, action, n):
    messages = [msg("system", "s"), Hostile(role="user", content="mine"), msg("user", "later")]
    messages[1].messages, messages[1].action = messages, action
    assert mod._fallback_summary(messages) == expected(n, "mine")


class BadFormat:
    __len__ = lambda self: 1  # noqa: E731

    def __format__(self, spec):
        raise ValueError("no text")


@pytest.mark.parametrize("messages, error, step", [
    ([5], AttributeError("'int' object has no attribute 'get'"), "kRequestTest"),
    ([msg(Equal(KeyError("eq")))], KeyError("eq"), "kRequestTest"),
    ([msg("user", "ok"), msg("user", 7)], TypeError("object of type 'int' has no len()"),
     "kRequestMeasure"),
    ([msg("user", [0] * 201)], TypeError('can only concatenate list (not "str") to list'),
     "kRequestCut"),
    ([types.SimpleNamespace(get=lambda k: "user")], TypeError(
        "'types.SimpleNamespace' object is not subscriptable"), "kRequestRead"),
    ([msg("user", BadFormat())], ValueError("no text"), "kSummaryText"),
    (None, NameError("name 'time' is not defined"), "kTimestamp"),
])
def test_failures(mod, monkeypatch, messages, error, step):
    if messages is None:
        monkeypatch.delattr(mod, "time")
    exc = raises_with(lambda: mod._fallback_summary(messages or []), type(error))
    assert str(exc) == str(error)
    assert tb_entries(exc) == [("morvex.core.summarizer._fallback_summary",
                                source_line("fallback_summary", step))]


def test_no_leaks(mod):
    def run():
        for messages in ([msg("user", "L" * 250), msg("x", "y")], [msg("user", 1)]):
            try:
                mod._fallback_summary(messages)
            except TypeError:
                pass
    leak_check(run)
