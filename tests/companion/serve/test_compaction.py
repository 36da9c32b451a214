"""The proxy carrying out the Responses API's compaction in front of an upstream that knows
nothing of it: the openai SDK's ``responses.compact`` through the proxy, the item sent back
on later requests, compaction in line (``context_management``), and items that do not
open."""

import json

import httpx
import openai
import pytest

from loopback import reply
from morvex_summarize.native import CONTEXT_HEADER, PREVIOUS_HEADING
from morvex_summarize.serve.compaction import MARK
from morvex_summarize.serve.state import StateStore

TOOL_OUTPUT = "def parse(x): return 1 / 0  # the crash site"
HISTORY = [
    {"type": "message", "role": "developer", "content": "Work in the repository only."},
    {"role": "user", "content": "Fix the crash in parser.py"},
    {"type": "function_call", "call_id": "c1", "name": "shell",
     "arguments": '{"cmd": "cat parser.py"}'},
    {"type": "function_call_output", "call_id": "c1", "output": TOOL_OUTPUT},
    {"role": "assistant", "content": "It divides by zero."},
    {"role": "user", "content": "Add a regression test too"},
]
USERS = ["Fix the crash in parser.py", "Add a regression test too"]
FOREIGN = {"type": "compaction", "encrypted_content": "gAAAAB-another-platform"}
WRITTEN = "summarized by the loopback upstream"


def sdk(proxy, key="sk-first"):
    return openai.OpenAI(base_url=proxy.url + "/v1", api_key=key, max_retries=0)


def plain(items):
    """Output items as a client sends them back."""
    return [i.model_dump(exclude_none=True, warnings=False) for i in items]


def said(text):
    return {"role": "user", "content": text}


def texts(items):
    return [json.dumps(i) for i in items]


@pytest.mark.parametrize("large", [False, True])
def test_compact_then_go_on_with_the_item(upstream, start_proxy, large):
    """The upstream writes the summary and is never asked to compact; the next request
    has the item expanded (the developer message in front, the summary after the user's
    messages), another platform's item untouched; compacting again builds on the
    summary. A large input is compacted by the process that large bodies go to, in
    summary requests within the model's context (32,768 tokens, over the budget)."""
    proxy, _ = start_proxy(20_000, carry_out_compaction=True)
    history = list(HISTORY)
    if large:
        history[3:3] = [item for n in range(2000) for item in (
            {"type": "function_call", "call_id": f"r{n}", "name": "shell",
             "arguments": json.dumps({"cmd": f"grep -n parse src/module_{n}.py"})},
            {"type": "function_call_output", "call_id": f"r{n}", "output": f"{n}: " * 150})]
        assert len(json.dumps(history)) > 1024 * 1024
    compacted = sdk(proxy).responses.compact(model="m", input=history)
    assert compacted.object == "response.compaction"
    *users, item = compacted.output
    assert [(u.role, u.content[0].text) for u in users] == [("user", t) for t in USERS]
    assert item.type == "compaction" and item.encrypted_content.startswith(MARK)
    asked = upstream.requests
    assert all(r.path == "/responses" and r.summary for r in asked)
    assert len(asked) > 1 if large else len(asked) == 1
    assert all(len(r.raw) < 4 * 32_768 for r in asked)

    sdk(proxy).responses.create(model="m", input=[FOREIGN, *plain(compacted.output),
                                                  said("Run the suite")])
    sent = upstream.calls[-1].body["input"]
    assert sent[0] == HISTORY[0] and sent[1] == FOREIGN
    assert [i["content"][0]["text"] for i in sent[2:4]] == USERS
    assert CONTEXT_HEADER in sent[4]["content"][0]["text"] and WRITTEN in texts(sent)[4]
    assert sent[5:] == [said("Run the suite")]
    assert not any(TOOL_OUTPUT in t or MARK in t for t in texts(sent))

    again = sdk(proxy).responses.compact(model="m", input=[
        *plain(compacted.output), said("Run the suite"),
        {"role": "assistant", "content": "All green."}])
    assert len(again.output) == 4 and again.output[-1].type == "compaction"
    assert PREVIOUS_HEADING in upstream.summaries[-1].body["instructions"]


def events_of(response, pieces=40):
    """A streamed Responses answer with the output of ``response``, cut into pieces that
    split the events."""
    message = response["output"][0]
    opening = {**response, "status": "in_progress", "output": []}
    events = [("response.created", {"response": opening}),
              ("response.in_progress", {"response": opening}),
              ("response.output_item.added",
               {"output_index": 0, "item": {**message, "status": "in_progress",
                                            "content": []}}),
              ("response.output_text.delta",
               {"output_index": 0, "item_id": message["id"], "content_index": 0,
                "delta": message["content"][0]["text"], "logprobs": []}),
              ("response.output_item.done", {"output_index": 0, "item": message}),
              ("response.completed", {"response": response})]
    blob = b"".join(
        f"event: {kind}\ndata: {json.dumps({'type': kind, 'sequence_number': n, **data})}"
        f"\n\n".encode() for n, (kind, data) in enumerate(events))
    return [blob[at:at + pieces] for at in range(0, len(blob), pieces)]


@pytest.mark.parametrize("stream", [False, True])
def test_context_management_compacts_in_line(upstream, start_proxy, stream):
    """Over its threshold, a request is compacted before it goes upstream and the item
    stands first in the answer's output (in a stream: announced at index 0, the model's
    events moved up); under it, nothing is; the field never goes upstream."""
    from loopback import Answer, default_answer

    def answer(req):
        if not req.summary and req.body.get("stream"):
            return Answer(pieces=events_of(reply("/responses", "m", "streamed")))
        return default_answer(req)

    upstream.responder = answer
    proxy, _ = start_proxy(100_000, carry_out_compaction=True)
    client = sdk(proxy)
    under = client.responses.create(model="m", input=[said("hi")], context_management=[
        {"type": "compaction", "compact_threshold": 10_000}])
    assert [o.type for o in under.output] == ["message"] and upstream.summaries == []

    asked = [*HISTORY, said("Run the suite")]
    management = [{"type": "compaction", "compact_threshold": 60}]
    if stream:
        events = list(client.responses.create(model="m", input=asked, stream=True,
                                              context_management=management))
        assert [e.sequence_number for e in events] == list(range(len(events)))
        indexes = [(e.type, e.output_index) for e in events if hasattr(e, "output_index")]
        assert indexes[:2] == [("response.output_item.added", 0),
                               ("response.output_item.done", 0)]
        assert {i for _, i in indexes[2:]} == {1}
        done = events[-1].response
    else:
        done = client.responses.create(model="m", input=asked,
                                       context_management=management)
    assert [o.type for o in done.output] == ["compaction", "message"]
    assert all("context_management" not in r.body for r in upstream.calls)
    sent = upstream.calls[-1].body["input"]
    assert len(upstream.summaries) == 1 and CONTEXT_HEADER in texts(sent)[-1]
    assert not any(TOOL_OUTPUT in t for t in texts(sent))

    # The client keeps its history and the answer's output: what the item stands for
    # is left out, the user's messages stay.
    client.responses.create(model="m", input=[*asked, *plain(done.output), said("Next")])
    sent = upstream.calls[-1].body["input"]
    assert [i.get("type") for i in sent].count("function_call") == 0
    assert CONTEXT_HEADER in texts(sent)[-3] and sent[-1] == said("Next")


@pytest.mark.parametrize("how", ["changed", "another caller", "another key", "cut short"])
def test_an_item_that_does_not_open_gets_400(upstream, start_proxy, how):
    proxy, _ = start_proxy(100_000, carry_out_compaction=True, compaction_key=b"k" * 32)
    item = plain(sdk(proxy).responses.compact(model="m", input=HISTORY).output)[-1]
    content, key = item["encrypted_content"], "sk-first"
    if how == "changed":
        at = len(content) // 2
        item["encrypted_content"] = content[:at] + ("A" if content[at] != "A" else "B") + \
            content[at + 1:]
    elif how == "another caller":
        key = "sk-second"
    elif how == "another key":
        proxy, _ = start_proxy(100_000, carry_out_compaction=True, compaction_key=b"j" * 32)
    else:
        item["encrypted_content"] = content[:len(MARK) + 20]
    for call in ("create", "compact"):
        with pytest.raises(openai.BadRequestError) as refused:
            getattr(sdk(proxy, key).responses, call)(model="m", input=[item, said("go on")])
        assert "compaction item" in refused.value.body["message"]
    assert upstream.calls == []


@pytest.mark.parametrize("kept_by, opens", [("state file", True), ("key", True),
                                             ("nothing", False)])
def test_items_after_a_restart(upstream, start_proxy, tmp_path, kept_by, opens):
    def start():
        options = {"carry_out_compaction": True}
        if kept_by == "state file":
            options["store"] = StateStore(path=str(tmp_path / "state.db"))
        elif kept_by == "key":
            options["compaction_key"] = b"a long enough compaction key"
        return start_proxy(100_000, **options)[0]

    first = start()
    output = plain(sdk(first).responses.compact(model="m", input=HISTORY).output)
    first.close()
    answer = httpx.post(start().url + "/v1/responses", timeout=30, headers={
        "authorization": "Bearer sk-first"}, json={"model": "m", "input": output})
    assert (answer.status_code == 200) == opens
    assert (len(upstream.calls) == 1) == opens


BAD = [
    ("/responses/compact", {"input": HISTORY}, "model is required"),
    ("/responses/compact", {"model": "m", "previous_response_id": "resp_1"},
     "previous_response_id"),
    ("/responses/compact", {"model": "m", "input": []}, "input is required"),
    ("/responses/compact", {"model": "m", "input": [{"type": "no_such_item"}]},
     "cannot be read"),
    ("/responses/compact", b"{not json", "not valid JSON"),
    ("/responses/compact", {"model": "m", "input": [{"role": ["user"], "content": "hi"}]},
     "its role is an array"),
    ("/responses/compact", {"model": "m", "input": [{"type": {"a": 1}, "role": "user"}]},
     "its type is an object"),
    ("/responses", {"model": "m", "input": "hi", "context_management": [
        {"type": "compaction", "compact_threshold": "many"}]}, "compact_threshold"),
    ("/responses", {"model": "m", "input": "hi", "context_management": {"type": "x"}},
     "must be a list"),
]


@pytest.mark.parametrize("path, body, says", BAD)
def test_bad_requests_get_one_error_in_the_api_s_shape(upstream, start_proxy, path, body,
                                                       says):
    proxy, _ = start_proxy(100_000, carry_out_compaction=True)
    content = body if isinstance(body, bytes) else json.dumps(body).encode()
    answer = httpx.post(proxy.url + "/v1" + path, content=content, timeout=30)
    assert answer.status_code == 400
    error = answer.json()["error"]
    assert error["type"] == "invalid_request_error" and says in error["message"]
    assert upstream.requests == []


def test_without_the_flag_both_go_to_the_upstream(upstream, start_proxy):
    proxy, _ = start_proxy(100_000)
    management = [{"type": "compaction", "compact_threshold": 10}]
    httpx.post(proxy.url + "/v1/responses/compact", json={"model": "m", "input": HISTORY})
    httpx.post(proxy.url + "/v1/responses", json={"model": "m", "input": HISTORY,
                                                  "context_management": management})
    assert [r.path for r in upstream.requests] == ["/responses/compact", "/responses"]
    assert upstream.requests[1].body["context_management"] == management
