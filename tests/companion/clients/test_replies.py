"""What a client does to a model's reply: a JSON object among prose is kept, against a real
chat-completions server on loopback and as a property of any prose around any summary."""

import asyncio
import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

pytest.importorskip("openai")

from llm_server import Answer, LLMServer, completion  # noqa: E402
from morvex_summarize.clients.openai_client import OpenAIClient  # noqa: E402
from morvex_summarize.clients.reply import keep_json  # noqa: E402
from morvex_summarize.summarizing import summarize_one  # noqa: E402

SUMMARY = {"goals": ["Fix the payments build"], "progress": ["patched src/money.py"],
           "current_state": "tests pass", "key_decisions": ["round half-even"],
           "key_facts": ["cluster ledger-stg-eu3 has 16 replicas"], "blockers": [],
           "next_steps": ["open the pull request"], "summary": "Build fixed."}
BODY = json.dumps(SUMMARY, indent=2)
MESSAGES = [{"role": "user", "content": "Fix the payments build"},
            {"role": "assistant", "content": "Done."}]


def summarize_reply(text):
    """(record, status) of a summary whose model replied ``text``."""
    async def run():
        client = OpenAIClient("m", base_url=server.url, max_retries=0)
        try:
            record, _, outcome = await summarize_one(client, MESSAGES)
            return record, outcome.status
        finally:
            await client.aclose()
    with LLMServer() as server:
        server.push(Answer(body=completion(text)))
        return asyncio.run(run())


@pytest.mark.parametrize("reply", [
    f"Here you go:\n```json\n{BODY}\n```",
    f"Here you go:\n```\n{BODY}\n```\nLet me know if you need more.",
    f"Sure! The summary is {json.dumps(SUMMARY)} as requested.",
    f"An example first: {{\"name\": \"x\"}}. Now the summary:\n```json\n{BODY}\n```",
    f"```json\n{BODY}\n```\nI kept every file path.",
    BODY,
], ids=["fenced-after-prose", "fenced-between-prose", "bare-in-prose",
        "after-another-object", "fenced-then-prose", "plain-json"])
def test_a_json_object_among_prose_comes_back_ok_with_its_fields(reply):
    record, status = summarize_reply(reply)
    assert status == "ok"
    assert {key: record[key] for key in SUMMARY} == SUMMARY


@pytest.mark.parametrize("reply", [
    "I could not produce JSON, but the build is fixed.",
    "The braces { and } appear here, yet no object: {not json}.",
])
def test_a_reply_without_a_json_object_stays_unparsed(reply):
    record, status = summarize_reply(reply)
    assert status == "unparsed" and record["summary"] == reply and record["goals"] == []


prose = st.text(alphabet=st.characters(blacklist_characters="{}`",
                                       blacklist_categories=("Cs",)), max_size=80)
items = st.lists(st.text(max_size=30), max_size=4)
records = st.fixed_dictionaries({"goals": items, "summary": st.text(max_size=60)},
                                optional={"key_facts": items, "current_state": st.text()})


@given(before=prose, after=prose, record=records, fenced=st.booleans(),
       indent=st.sampled_from([None, 2]))
def test_the_object_is_kept_whatever_prose_surrounds_it(before, after, record, fenced,
                                                        indent):
    body = json.dumps(record, indent=indent)
    if fenced:
        body = f"```json\n{body}\n```"
    # The summarizer strips the text it is handed and unwraps a fence that opens it.
    kept = keep_json(f"{before}\n{body}\n{after}").strip()
    if kept.startswith("```"):
        kept = kept.split("\n", 1)[1].rsplit("```", 1)[0]
    assert json.loads(kept) == record


@given(text=prose)
def test_prose_without_an_object_is_left_as_it_is(text):
    assert keep_json(text) == text
