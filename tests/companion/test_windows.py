"""Conversations longer than the model's context, summarized in windows: against a real
chat-completions server on loopback that refuses what does not fit, and with the offline
client."""

import asyncio
import json
import random
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("openai")

from llm_server import Answer, LLMServer  # noqa: E402
from morvex_summarize.clients.extractive import ExtractiveClient  # noqa: E402
from morvex_summarize.clients.openai_client import OpenAIClient  # noqa: E402
from morvex_summarize.errors import ContextTooLong  # noqa: E402
from morvex_summarize.summarizing import summarize_one  # noqa: E402
from morvex_summarize.windows import SHRINKS, _fits, text_tokens, too_long  # noqa: E402

WORDS = ("ledger build header rounding deploy cache migration query worker queue schema "
         "commit review branch retry timeout handler index").split()
STEP = re.compile(r"^\[User\]: step (\d{5}):", re.M)
CONVERSATION = "## Conversation to Summarize:\n"
PREVIOUS = "## Previous Summary (build on this):\n"


def conversation(steps, seed=1, user_chars=400):
    """An agent session: each step a user request naming its number, a tool call, its
    output (longer than the transcript keeps) and the assistant's answer."""
    rng = random.Random(seed)

    def words(chars):
        out = []
        while sum(len(w) + 1 for w in out) < chars:
            out.append(rng.choice(WORDS))
        return " ".join(out)

    messages = [{"role": "system", "content": "You are a careful coding agent."}]
    for n in range(steps):
        messages.append({"role": "user", "content": f"step {n:05d}: {words(user_chars)}"})
        messages.append({"role": "assistant", "content": None, "tool_calls": [
            {"id": f"call_{n}", "type": "function",
             "function": {"name": "shell", "arguments": json.dumps({"cmd": f"make s{n}"})}}]})
        messages.append({"role": "tool", "tool_call_id": f"call_{n}",
                         "content": words(rng.choice((200, 600, 2000)))})
        messages.append({"role": "assistant", "content": f"finished step {n:05d}"})
    return messages


def sections(request):
    """(earlier summary, transcript) of a summarize request."""
    system = request["messages"][0]["content"]
    head, _, transcript = system.partition(CONVERSATION)
    earlier = head.partition(PREVIOUS)[2]
    return earlier, transcript


def steps_of(request):
    return [int(n) for n in STEP.findall(sections(request)[1])]


def window_reply(request):
    """A summary naming the window's first and last steps."""
    steps = steps_of(request)
    first, last = (f"{steps[0]:05d}", f"{steps[-1]:05d}") if steps else ("-", "-")
    return json.dumps({"goals": [f"step {first}"], "key_facts": [f"saw step {last}"],
                       "summary": f"window {first}..{last}"})


class Recording:
    """A client that keeps each request it passes on."""

    def __init__(self, client):
        self.client, self.requests = client, []

    async def complete(self, messages, max_tokens):
        self.requests.append({"messages": messages, "max_tokens": max_tokens})
        return await self.client.complete(messages=messages, max_tokens=max_tokens)


def summarize(client, messages, context_tokens, previous=None):
    async def run():
        try:
            return await summarize_one(client, messages, previous,
                                       context_tokens=context_tokens,
                                       on_window=lambda done, expected: seen.append(
                                           (done, expected)))
        finally:
            aclose = getattr(client, "aclose", None)
            if aclose is not None:
                await aclose()
    seen = []
    record, context, outcome = asyncio.run(run())
    return record, context, outcome, seen


def openai_client(server):
    return OpenAIClient("m", base_url=server.url, max_retries=0)


@pytest.mark.parametrize("context_tokens,steps", [(4096, 60), (8192, 300), (32768, 900)])
def test_a_long_conversation_is_summarized_in_windows_within_the_context(context_tokens,
                                                                         steps):
    with LLMServer(context_tokens=context_tokens, responder=window_reply) as server:
        record, context, outcome, seen = summarize(openai_client(server),
                                                   conversation(steps), context_tokens)
    sent = server.accepted
    assert outcome.status == "ok" and not server.refused and len(sent) > 1
    assert max(server.sizes) <= context_tokens
    # Every step is read once, in order, each window after the one before.
    assert [n for request in sent for n in steps_of(request)] == list(range(steps))
    for before, after in zip(sent, sent[1:]):
        assert f"saw step {steps_of(before)[-1]:05d}" in sections(after)[0]
    assert not sections(sent[0])[0]
    # The summary is the last window's, built on all before it.
    assert record["summary"] == f"window {steps_of(sent[-1])[0]:05d}..{steps - 1:05d}"
    assert record["goals"][0] == "step 00000"
    assert f"saw step {steps - 1:05d}" in record["key_facts"]
    # The bar counted the windows.
    assert seen[-1] == (len(sent), len(sent))
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)


@pytest.mark.parametrize("context_tokens,steps", [(4096, 40), (16384, 400)])
def test_the_offline_client_gets_the_same_bound(context_tokens, steps):
    client = Recording(ExtractiveClient())
    record, _, outcome, _ = summarize(client, conversation(steps), context_tokens)
    sizes = [sum(-(-len(m["content"]) // 3) for m in r["messages"]) + r["max_tokens"]
             for r in client.requests]
    assert outcome.status == "ok" and len(sizes) > 1 and max(sizes) <= context_tokens
    assert [n for request in client.requests for n in steps_of(request)] == list(range(steps))
    assert record["goals"][0].startswith("step 00000:")


def test_a_conversation_that_fits_is_one_request_as_before():
    messages = conversation(5)
    with LLMServer(context_tokens=32768) as server:
        record, _, outcome, _ = summarize(openai_client(server), messages, 32768,
                                          previous="### Original Goals\n  - earlier goal")
    (request,) = server.requests
    earlier, transcript = sections(request)
    assert earlier.startswith("### Original Goals") and steps_of(request) == list(range(5))
    assert outcome.status == "ok" and record["goals"] == ["step 00000: " + messages[1]
                                                          ["content"][len("step 00000: "):]]


LLAMA_CPP = Answer(400, {"error": {"code": 400, "type": "exceed_context_size_error",
                                   "message": "the request exceeds the available context "
                                              "size, try increasing it"}})
TOO_LARGE = Answer(413, {"error": {"message": "prompt is too long: 9120 tokens > 8192"}})


@pytest.mark.parametrize("refusal", [None, LLAMA_CPP, TOO_LARGE],
                         ids=["openai", "llama.cpp", "413"])
def test_a_window_refused_for_its_length_is_made_smaller(refusal):
    # The server counts two characters a token: more than the client's estimate.
    options = {} if refusal is None else {"refusal": lambda limit, asked: refusal}
    with LLMServer(context_tokens=8192, count_tokens=lambda t: -(-len(t) // 2),
                   responder=window_reply, **options) as server:
        record, _, outcome, _ = summarize(openai_client(server), conversation(200), 8192)
    assert server.refused and outcome.status == "ok" and outcome.failure is None
    assert max(server.sizes) <= 8192
    assert [n for request in server.accepted for n in steps_of(request)] == list(range(200))
    assert record["summary"].endswith("..00199")


@pytest.mark.parametrize("answer,requests", [
    (Answer(400, {"error": {"message": "nope", "code": "invalid_value"}}), 1),
    (None, SHRINKS + 1),
], ids=["other-refusal", "never-fits"])
def test_a_refusal_that_shrinking_cannot_help_falls_back(answer, requests):
    options = {"count_tokens": lambda t: len(t) * 100} if answer is None else {}
    with LLMServer(context_tokens=8192, **options) as server:
        if answer is not None:
            server.push(answer)
        record, _, outcome, _ = summarize(openai_client(server), conversation(100), 8192)
    assert len(server.requests) == requests
    assert outcome.status == "fallback"
    assert too_long(outcome.failure) is (answer is None)
    # The fallback is built from every message, not from the window that failed.
    assert "00000" in record["goals"][0]


def test_a_request_over_the_bound_is_never_sent():
    # One message larger than any window: clipped to fit, its start and end kept.
    messages = [{"role": "user", "content": "start " + "x" * 200_000 + " end"}]
    with LLMServer(context_tokens=4096) as server:
        _, _, outcome, _ = summarize(openai_client(server), messages, 4096)
    (request,) = server.accepted
    transcript = sections(request)[1]
    assert outcome.status == "ok" and max(server.sizes) <= 4096
    assert "[User]: start x" in transcript and transcript.rstrip().endswith("x end")
    assert "characters left out" in transcript


def test_context_too_long_is_a_length_refusal():
    assert too_long(ContextTooLong("over"))
    wrapped = RuntimeError("wrapper")
    wrapped.__cause__ = ContextTooLong("over")
    assert too_long(wrapped) and not too_long(RuntimeError("other"))


@pytest.mark.parametrize("command", ["summarize", "batch", "condense"])
def test_each_command_keeps_within_the_context(tmp_path, command):
    from cli_support import read_results, run_tool, write_jsonl

    messages = conversation(120)
    path = tmp_path / "conversation.json"
    path.write_text(json.dumps(messages))
    model = ("--llm", "openai", "--model", "m", "--context-tokens", "4096")
    with LLMServer(context_tokens=4096, responder=window_reply) as server:
        model += ("--base-url", server.url)
        if command == "summarize":
            result = run_tool(path, "--format", "json", *model)
            record = json.loads(result.stdout)
        elif command == "batch":
            write_jsonl(tmp_path / "in.jsonl", [{"id": 1, "messages": messages}])
            result = run_tool("batch", tmp_path / "in.jsonl", "--output",
                              tmp_path / "out.jsonl", *model)
            (line,) = read_results(tmp_path / "out.jsonl")
            assert line["status"] == "ok"
            record = line["summary"]
        else:
            result = run_tool("condense", path, "--budget", "2000", "--keep-last", "4", *model)
            condensed = json.loads(result.stdout)
            assert "  - step 00000" in condensed[1]["content"]  # the first goal, carried
            record = None
    assert result.returncode == 0, result.stderr
    assert len(server.accepted) > 1 and not server.refused and max(server.sizes) <= 4096
    read = [n for request in server.accepted for n in steps_of(request)]
    assert read == list(range(len(read))) and len(read) >= 100
    if record is not None:
        assert read == list(range(120)) and record["summary"].endswith("..00119")


@pytest.mark.parametrize("value", ["100", "4095", "many"])
def test_a_context_too_small_is_a_usage_error(tmp_path, value):
    from cli_support import SAMPLE, run_tool, stderr_lines

    result = run_tool(SAMPLE, "--llm", "extractive", "--context-tokens", value)
    assert result.returncode == 2 and "--context-tokens" in stderr_lines(result)[-1]


def test_the_library_summary_takes_the_context_too():
    import morvex_summarize

    with LLMServer(context_tokens=4096, responder=window_reply) as server:
        async def run():
            client = openai_client(server)
            try:
                return await morvex_summarize.summarize(conversation(50), client,
                                                        context_tokens=4096)
            finally:
                await client.aclose()
        record = asyncio.run(run())
    assert len(server.accepted) > 1 and not server.refused and max(server.sizes) <= 4096
    assert record["summary"].endswith("..00049") and record["goals"][0] == "step 00000"


@pytest.mark.parametrize("steps,shown", [(3, "Summarizing..."), (120, "summarizing windows")])
def test_on_a_terminal_the_spinner_becomes_a_bar_of_windows(tmp_path, steps, shown):
    import os
    import pty
    import subprocess

    from cli_support import tool_command, tool_env

    path = tmp_path / "conversation.json"
    path.write_text(json.dumps(conversation(steps)))
    leader, follower = pty.openpty()
    env = tool_env(COLUMNS="120", TERM="xterm")
    env.pop("NO_COLOR")
    with subprocess.Popen(tool_command(path, "--llm", "extractive", "--context-tokens",
                                       "4096", "--format", "json"),
                          stdout=subprocess.PIPE, stderr=follower, env=env) as child:
        os.close(follower)
        shown_text = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the child closed its end
                break
            if not chunk:
                break
            shown_text += chunk
        record = json.loads(child.stdout.read())
    os.close(leader)
    assert child.returncode == 0 and record["goals"][0].startswith("step 00000:")
    text = shown_text.decode("utf-8", "replace")
    assert shown in text
    if steps > 3:
        done = re.findall(r"(\d+)/(\d+)", text)
        assert done and done[-1][0] == done[-1][1] and int(done[-1][0]) > 1


_ROLES = st.sampled_from(["system", "user", "assistant", "tool"])
_TEXT = st.text(st.characters(codec="utf-8", exclude_categories=("Cs",)), max_size=40)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.fixed_dictionaries({"role": _ROLES, "content": _TEXT}), max_size=12),
       st.integers(-40, 40))
def test_whether_everything_fits_is_told_as_the_whole_transcript_tells(messages, off):
    # The fit is decided from the messages' own costs wherever they settle it; the
    # answer must be the one the whole transcript's estimate gives.
    import morvex.core.summarizer as module

    render = module._format_messages_for_summary
    costs = [text_tokens(t) + 1 if (t := render([m])) else 0 for m in messages]
    whole = text_tokens(render(messages))
    assert _fits(messages, costs, whole + off, render) == (off >= 0)
