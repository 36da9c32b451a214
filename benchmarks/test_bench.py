"""Benchmarks (pytest-benchmark): python -m pytest benchmarks --benchmark-only"""
import asyncio
import json

import pytest

import morvex.core.summarizer as m

REPLY = json.dumps({
    "goals": ["Fix the failing build"], "progress": ["Read the log", "Patched ledger.cpp"],
    "current_state": "Tests pass", "key_decisions": ["Keep Dana's change"],
    "key_facts": ["src/ledger.cpp:42"], "blockers": [], "next_steps": ["Tell the user"],
    "summary": "The build was fixed without reverting the header change.",
})


def conversation(n):
    messages = [{"role": "system", "content": "You are an agent."}]
    for i in range(n):
        messages.append({"role": "user", "content": f"Request {i}: please look at file_{i}.py"})
        messages.append({"role": "assistant", "content": "Looking.", "tool_calls": [
            {"id": f"c{i}", "function": {"name": "read_file",
                                         "arguments": json.dumps({"path": f"file_{i}.py",
                                                                  "limit": 200})}}]})
        messages.append({"role": "tool", "tool_call_id": f"c{i}", "content": "x" * 800})
    return messages


MESSAGES = conversation(100)


class Reply:
    content = REPLY


class Client:
    async def complete(self, messages, max_tokens):
        return Reply()


def test_transcript(benchmark):
    benchmark(m._format_messages_for_summary, MESSAGES)


def test_brief_args(benchmark):
    args = {"path": "/tmp/a.txt", "content": "y" * 250, "overwrite": True, "lines": [1, 2]}
    benchmark(m._brief_args, args)


def test_parse_fenced_reply(benchmark):
    benchmark(m._parse_summary, "```json\n" + REPLY + "\n```")


def test_fallback(benchmark):
    benchmark(m._fallback_summary, MESSAGES)


def test_context(benchmark):
    summarizer = m.ConversationSummarizer(None)
    record = m._parse_summary(REPLY)
    benchmark(summarizer.format_summary_for_context, record)


def test_empty_summary(benchmark):
    benchmark(m._empty_summary)


@pytest.mark.parametrize("count", [1, 100])
def test_summarize_end_to_end(benchmark, count):
    summarizer = m.ConversationSummarizer(Client())
    short = MESSAGES[:10]

    async def many():
        return await asyncio.gather(*(summarizer.summarize_messages(short)
                                      for _ in range(count)))

    loop = asyncio.new_event_loop()
    try:
        benchmark(lambda: loop.run_until_complete(many()))
    finally:
        loop.close()
