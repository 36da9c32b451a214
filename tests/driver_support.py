"""Clients, stand-ins and drivers shared by the summarize operation tests."""
import asyncio
import ctypes
import json
import sys
import types

import pytest

_send = ctypes.pythonapi.PyIter_Send
_send.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.c_void_p)]
_send.restype = ctypes.c_int
_decref = ctypes.pythonapi.Py_DecRef
_decref.argtypes = [ctypes.c_void_p]


def iter_send(obj, value):
    """PyIter_Send (the am_send slot): ("next" | "return", value); errors raise."""
    out = ctypes.c_void_p()
    status = _send(obj, value, ctypes.byref(out))
    result = ctypes.cast(out, ctypes.py_object).value
    _decref(out)
    return ("return", "next", "error")[status], result


class Reply:
    def __init__(self, content):
        self.content = content


class Log:
    """Stands in for `logger`; keeps sys.exc_info() as seen by each call."""

    def __init__(self):
        self.records, self.handled = [], []

    def warning(self, text):
        self.records.append(("warning", text))

    def error(self, text):
        self.records.append(("error", text))
        self.handled.append(sys.exc_info()[1])


class Client:
    """complete() returns an async def that suspends `suspend` times, then raises
    `content` if it is an exception, else replies with Reply(content) for a str or None
    and with `content` itself otherwise."""

    def __init__(self, content='{"ok": 1}', suspend=1):
        self.content, self.suspend, self.calls, self.coros = content, suspend, [], []

    def rerun_reset(self):  # between repeated runs of one test (the leak hunt)
        self.calls.clear()
        self.coros.clear()

    def complete(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        coro = self._reply()
        self.coros.append(coro)
        return coro

    async def _reply(self):
        for _ in range(self.suspend):
            await asyncio.sleep(0)
        if isinstance(self.content, BaseException):
            raise self.content.with_traceback(None)  # the same instance, a fresh traceback
        plain = self.content is None or isinstance(self.content, str)
        return Reply(self.content) if plain else self.content


@types.coroutine
def handoff(marker="marker"):
    """A generator-based coroutine: yields `marker`, replies with what is sent back."""
    sent = yield marker
    return Reply(sent)


class GenClient:
    def complete(self, **kwargs):
        return handoff()


def parse_standin(text):
    data = json.loads(text)
    if not isinstance(data, dict):
        raise ValueError("not an object")
    return data


@pytest.fixture
def env(mod, monkeypatch):
    """Stand-ins for the record functions and the logger."""
    ns = types.SimpleNamespace(log=Log(), fallbacks=[])

    def fallback(messages):
        ns.fallbacks.append(len(messages))
        return {"fallback": len(messages)}

    monkeypatch.setattr(mod, "_fallback_summary", fallback)
    monkeypatch.setattr(mod, "_format_messages_for_summary", lambda messages: "transcript")
    monkeypatch.setattr(mod, "_parse_summary", parse_standin)
    monkeypatch.setattr(mod, "logger", ns.log)
    ns.make = lambda client=None: mod.ConversationSummarizer(client or Client())

    def rerun_reset():  # between repeated runs of one test (the leak hunt)
        ns.log.records.clear()
        ns.log.handled.clear()
        ns.fallbacks.clear()
    ns.rerun_reset = rerun_reset
    return ns


def run(op, sends=()):
    """Drives op by send(); returns (result, yielded values)."""
    yielded, value, sends = [], None, list(sends)
    while True:
        try:
            yielded.append(op.send(value))
        except StopIteration as stop:
            return stop.value, yielded
        value = sends.pop(0) if sends else None
