"""What the proxy passes on: bodies within budget as they came, condensed ones with every
other field untouched, headers, and answers as they arrive."""

import json
import logging
import threading

import openai
import pytest

from agent_loop import LOOKUP_OPENAI, lookup
from loopback import Answer, chat_pieces, default_answer, unpaired

KEY = "sk-test-5ecret-key-0123456789"


def conversation(rounds, parallel=2):
    """A chat conversation with tool rounds (some with parallel calls)."""
    messages = [{"role": "system", "content": "You are terse."},
                {"role": "user", "content": "Check every item; never touch the archive."}]
    for r in range(rounds):
        calls = [{"id": f"call_{r}_{n}", "type": "function",
                  "function": {"name": "lookup", "arguments": json.dumps({"item": f"i{r}{n}"})}}
                 for n in range(1 + r % parallel)]
        messages.append({"role": "assistant", "content": None, "tool_calls": calls})
        messages += [{"role": "tool", "tool_call_id": c["id"], "content": lookup(c["id"])}
                     for c in calls]
        messages.append({"role": "assistant", "content": f"Round {r} done."})
        messages.append({"role": "user", "content": f"Next, round {r + 1}."})
    return messages


def create(base_url, key=KEY, **call):
    client = openai.OpenAI(base_url=base_url, api_key=key, max_retries=0)
    raw = client.chat.completions.with_raw_response.create(**call)
    if call.get("stream"):
        chunks = [c for c in raw.parse()]
        return raw, chunks
    return raw, raw.parse()


CALL = dict(model="loopback-model", tools=[LOOKUP_OPENAI], temperature=0.3, top_p=0.9,
            extra_body={"morvex_unknown": {"nested": [1, 2.5, None, "é"]}, "seed": 7})


@pytest.mark.parametrize("stream", [False, True])
def test_under_budget_goes_byte_for_byte(upstream, start_proxy, stream):
    proxy, _ = start_proxy(100_000)
    messages = conversation(3)
    create(upstream.url, messages=messages, stream=stream, **CALL)
    raw, _ = create(proxy.url + "/v1", messages=messages, stream=stream, **CALL)
    direct, relayed = upstream.requests
    assert relayed.raw == direct.raw
    tokens = int(raw.headers["x-morvex-condensed"].split("/")[0])
    assert raw.headers["x-morvex-condensed"] == f"{tokens}/{tokens}"
    assert not upstream.summaries


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("budget", [600, 900])
def test_condensed_body_keeps_every_other_field(upstream, start_proxy, stream, budget):
    upstream.responder = default_answer  # an answer in text, streamed when asked
    proxy, _ = start_proxy(budget, keep_last=4, keep_first=False)
    messages = conversation(12)
    raw, answer = create(proxy.url + "/v1", messages=messages, stream=stream, **CALL)
    sent = upstream.calls[-1].body
    expected = {k: v for k, v in dict(CALL, stream=stream).items() if k != "extra_body"}
    expected.update(CALL["extra_body"])
    assert {k: v for k, v in sent.items() if k != "messages"} == expected
    before, after = map(int, raw.headers["x-morvex-condensed"].split("/"))
    assert after <= budget < before
    assert len(sent["messages"]) < len(messages)
    # the kept tail is the conversation's own, verbatim, after the system message and
    # the summary
    kept = sent["messages"][2:]
    assert sent["messages"][0] == messages[0] and kept == messages[-len(kept):]
    assert sent["messages"][1]["content"].startswith("## Conversation History Summary")
    assert unpaired("/chat/completions", sent) == []
    assert len(upstream.summaries) == 1
    if stream:
        assert "".join(c.choices[0].delta.content or "" for c in answer).startswith("answer")
    else:
        assert answer.choices[0].message.content.startswith("answer")


@pytest.mark.parametrize("rounds", [5, 9, 14])
@pytest.mark.parametrize("keep_last", [0, 1, 3, 7])
def test_tool_calls_stay_with_their_results(upstream, start_proxy, rounds, keep_last):
    proxy, _ = start_proxy(250, keep_last=keep_last, keep_first=False)
    messages = conversation(rounds, parallel=3)
    # end on a call still waiting for its results, half of them in
    messages = messages[:-2]
    create(proxy.url + "/v1", messages=messages, model="m")
    sent = upstream.calls[-1].body["messages"]
    called_at = {c["id"]: n for n, m in enumerate(sent) for c in m.get("tool_calls") or ()}
    answered_at = {m["tool_call_id"]: n for n, m in enumerate(sent) if m["role"] == "tool"}
    assert set(called_at) == set(answered_at)
    assert all(called_at[i] < answered_at[i] for i in called_at)
    kept = sent[2:]
    assert len(kept) >= min(keep_last, len(messages) - 1)
    assert kept == messages[len(messages) - len(kept):]


def test_streamed_pieces_are_relayed_as_they_arrive(upstream, start_proxy):
    """The upstream sends the rest of its answer only once the client has the first
    piece: a proxy that held the answer back would never finish."""
    proxy, _ = start_proxy(100_000)
    gate = threading.Event()
    upstream.push(Answer(pieces=chat_pieces("m", ["one", "two", "three"]), gate=gate))
    client = openai.OpenAI(base_url=proxy.url + "/v1", api_key=KEY, max_retries=0,
                           timeout=20)
    words = []
    for chunk in client.chat.completions.create(model="m", stream=True, messages=[
            {"role": "user", "content": "count"}]):
        words.append(chunk.choices[0].delta.content)
        gate.set()
    assert words == ["one", "two", "three", None]
    assert upstream.streams_done == 1


@pytest.mark.parametrize("api", ["openai", "anthropic"])
def test_keys_are_forwarded_and_never_logged(upstream, start_proxy, caplog, api):
    """The client's key reaches the upstream on its own request and on the summary
    request made for it; no log line and no error the proxy writes holds it."""
    import anthropic
    caplog.set_level(logging.DEBUG)
    proxy, _ = start_proxy(200, upstream_format=api, keep_last=2, timeout=1)
    long = [{"role": "user" if n % 2 == 0 else "assistant", "content": f"message {n} " * 30}
            for n in range(9)]
    if api == "openai":
        client = openai.OpenAI(base_url=proxy.url + "/v1", api_key=KEY, max_retries=0)
        send = lambda: client.chat.completions.create(model="m", messages=talk)  # noqa: E731
        header, value, failure = "authorization", f"Bearer {KEY}", openai.APIStatusError
    else:
        client = anthropic.Anthropic(base_url=proxy.url, default_headers={"x-api-key": KEY},
                                     max_retries=0)
        send = lambda: client.messages.create(  # noqa: E731
            model="m", max_tokens=10, messages=talk)
        header, value, failure = "x-api-key", KEY, anthropic.APIStatusError
    talk = long
    send()
    upstream.summary_status = 401  # the summarizer fails, on another conversation
    talk = [{"role": "user", "content": "another start " * 30}] + long[1:]
    send()
    # the same conversation again: the stored (fallback) summary serves, no summary request
    upstream.push(Answer(status=401, body={"error": {"message": f"bad key {KEY}"}}))
    with pytest.raises(failure):
        send()
    upstream.push(Answer(delay=3))  # a time-out
    with pytest.raises(failure) as timed_out:
        send()
    assert timed_out.value.status_code == 504 and KEY not in str(timed_out.value.body)
    assert len(upstream.summaries) == 2
    assert all(r.headers[header] == value for r in upstream.requests)
    logged = "\n".join(f"{r.name} {r.getMessage()} {r.exc_text or ''}" for r in caplog.records)
    assert "the summarizer failed" in logged
    assert KEY not in logged and KEY[-10:] not in logged
