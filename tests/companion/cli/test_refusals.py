"""Messages the summarizer refuses are found before it is called, and said in the caller's
terms: the check agrees with the module itself on every shape it is given."""

import asyncio
import json
import logging

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from cli_support import run_tool
from morvex_summarize.native import module_refusal


class Answers:
    async def complete(self, messages, max_tokens):
        return type("Reply", (), {"content": json.dumps({"summary": "fine"})})()


class Fails:
    async def complete(self, messages, max_tokens):
        raise RuntimeError("the model is down")


def module_refuses(mod, messages, client):
    try:
        asyncio.run(mod.ConversationSummarizer(client).summarize_messages(messages))
    except Exception:
        return True
    return False


ODD = st.one_of(st.none(), st.integers(), st.text(max_size=3), st.lists(st.integers(),
                                                                          max_size=2),
                st.dictionaries(st.sampled_from(["name", "arguments"]), st.text(max_size=3)))
CALL = st.one_of(ODD, st.fixed_dictionaries({}, optional={
    "id": st.one_of(st.text(min_size=1, max_size=3), st.none()),
    "name": st.text(max_size=3), "arguments": ODD, "function": ODD}))
MESSAGE = st.one_of(ODD, st.fixed_dictionaries({}, optional={
    "role": st.sampled_from(["user", "assistant", "tool", "system", "other"]),
    "content": ODD, "tool_calls": st.one_of(ODD, st.lists(CALL, max_size=3)),
    "tool_call_id": ODD}))


@settings(max_examples=300, deadline=None)
@given(st.lists(MESSAGE, min_size=1, max_size=4))
def test_the_check_agrees_with_the_module(mod, messages):
    """Refused by the check exactly when the module raises: with a model that answers,
    and (fallback) with one that fails, whose fallback summary reads more."""
    logger = logging.getLogger("morvex.summarizer")  # the failing model's log lines
    was = logger.disabled
    logger.disabled = True
    try:
        assert (module_refusal(messages) is not None) == \
            module_refuses(mod, messages, Answers())
        assert (module_refusal(messages, fallback=True) is not None) == \
            module_refuses(mod, messages, Fails())
    finally:
        logger.disabled = was


@pytest.mark.parametrize("messages, reason", [
    ([{"role": "user", "content": "hi"}, {"role": "assistant", "content": "x"},
      {"role": "assistant", "tool_calls": [{"id": "a", "function": None}]}],
     "message 2: tool call 'a' has no function"),
    ([{"role": "assistant", "tool_calls": [{"name": "n", "function": "f"}]}],
     "message 0: tool call 0: function is str, not an object"),
    ([{"role": "user", "content": "hi"}, {"role": "tool", "content": 42}],
     "message 1: content is int, not text"),
    ([{"role": "user", "content": "hi"}, "text"], "message 1: a str, not an object"),
    ([{"role": "assistant", "tool_calls": 5}], "message 0: tool_calls is int, not a list"),
])
def test_the_reason_names_the_message_and_field(messages, reason):
    assert module_refusal(messages) == reason


def test_the_tool_says_which_message_before_calling_the_model(tmp_path):
    """The OpenAI chat format passes tool calls through as they are: a bad one is told by
    its message's place in the file (a body's messages counted from 0), for summarize and
    for condense, with no model call (the server named would refuse the connection)."""
    doc = {"model": "m", "messages": [
        {"role": "system", "content": "be brief"},
        {"role": "user", "content": "look it up"},
        {"role": "assistant", "content": None,
         "tool_calls": [{"id": "a", "type": "function", "function": None}]}]}
    (tmp_path / "c.json").write_text(json.dumps(doc), encoding="utf-8")
    model = ["--llm", "openai", "--model", "m", "--base-url", "http://127.0.0.1:9/v1",
             "--retries", "0"]
    for command in (["c.json"], ["condense", "c.json", "--budget", "1", "--keep-last", "0"]):
        done = run_tool(*command, *model, cwd=tmp_path)
        assert done.returncode == 5, done.stderr
        assert done.stderr.strip() == \
            "morvex-summarize: error: c.json: message 2: tool call 'a' has no function"
