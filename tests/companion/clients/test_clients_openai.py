"""The OpenAI-compatible client against a real HTTP server on loopback, alone and under the
summarizer."""

import asyncio
import logging
import socket

import pytest

openai = pytest.importorskip("openai")

from llm_server import Answer, Drop, LLMServer, completion  # noqa: E402
from morvex_summarize.clients.openai_client import OpenAIClient  # noqa: E402
from morvex_summarize.cli.status import (EXIT_AUTH, EXIT_MODEL_FAILED,  # noqa: E402
                                         EXIT_UNREACHABLE, failure_status)
from morvex_summarize.errors import (ClientError, ConfigError, ContextTooLong,  # noqa: E402
                                     ModelError, classify_client_failure)

FAST_RETRY = {"retry-after-ms": "1"}  # the SDK honours it: keeps the retry tests quick

REQUEST = [
    {"role": "system", "content": "prompt\n\n## Conversation to Summarize:\n[User]: fix the build"},
    {"role": "user", "content": "Produce the JSON summary."},
]


@pytest.fixture
def server():
    with LLMServer() as s:
        yield s


def call(client_args, messages=REQUEST, max_tokens=2048):
    """Runs one complete() in a fresh loop, closing the client inside it."""
    async def run():
        client = OpenAIClient(**client_args)
        try:
            return await client.complete(messages=messages, max_tokens=max_tokens)
        finally:
            await client.aclose()
    return asyncio.run(run())


def refused_url():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()  # nothing listens there now
    return f"http://127.0.0.1:{port}/v1"


@pytest.mark.parametrize("options,response_format", [
    ({}, "json_schema"),
    ({"json_mode": True}, "json_object"),
    ({"reply_format": "json"}, "json_object"),
    ({"reply_format": "text"}, None),
])
def test_success_sends_the_request_and_returns_the_text(server, options, response_format):
    reply = call(dict(model="m-1", base_url=server.url, api_key="k-123", **options))
    assert '"goals": ["fix the build"]' in reply.content
    (sent,), (headers,) = server.requests, server.headers
    assert sent["model"] == "m-1" and sent["max_tokens"] == 2048
    assert sent["messages"] == REQUEST
    assert headers["authorization"] == "Bearer k-123"
    assert sent.get("response_format", {}).get("type") == response_format
    if response_format == "json_schema":
        schema = sent["response_format"]["json_schema"]["schema"]
        assert set(schema["required"]) == {"goals", "progress", "current_state",
                                           "key_decisions", "key_facts", "blockers",
                                           "next_steps", "summary"}


@pytest.mark.parametrize("status", [429, 500, 503])
def test_retries_a_passing_failure_then_succeeds(server, status):
    server.push(Answer(status, {"error": {"message": "busy"}}, FAST_RETRY),
                Answer(status, {"error": {"message": "busy"}}, FAST_RETRY))
    reply = call(dict(model="m", base_url=server.url, max_retries=2))
    assert "loopback summary" in reply.content
    assert len(server.requests) == 3


@pytest.mark.parametrize("status,error", [(500, openai.InternalServerError),
                                          (502, openai.InternalServerError),
                                          (429, openai.RateLimitError)])
def test_gives_up_when_retries_run_out(server, status, error):
    server.push(*[Answer(status, {"error": {"message": "down"}}, FAST_RETRY)] * 5)
    with pytest.raises(ClientError) as info:
        call(dict(model="m", base_url=server.url, max_retries=2))
    assert len(server.requests) == 3 and type(info.value.__cause__) is error
    assert classify_client_failure(info.value).transient


@pytest.mark.parametrize("answer", [
    Answer(body=b"<html>not json</html>", content_type="text/html"),
    Answer(body=b"{truncated", content_type="application/json"),
    Answer(body={"object": "chat.completion"}),
    Answer(body={"choices": []}),
    Answer(body=completion(None)),
    Answer(body=completion("   ")),
], ids=["html", "bad-json", "no-choices", "empty-choices", "null-content", "blank-content"])
def test_a_malformed_or_empty_answer_raises(server, answer):
    server.push(answer)
    with pytest.raises(ModelError):
        call(dict(model="m", base_url=server.url, max_retries=0))


def test_time_out(server):
    server.push(Answer(delay=5.0))
    with pytest.raises(ClientError) as info:
        call(dict(model="m", base_url=server.url, timeout=0.3, max_retries=0))
    assert isinstance(info.value.__cause__, openai.APITimeoutError)
    assert failure_status(classify_client_failure(info.value)) == EXIT_UNREACHABLE


@pytest.mark.parametrize("target", ["refused", "dropped"])
def test_connection_failures(server, target):
    url = refused_url() if target == "refused" else server.url
    if target == "dropped":
        server.push(Drop(), Drop())
    with pytest.raises(ClientError) as info:
        call(dict(model="m", base_url=url, max_retries=1))
    assert isinstance(info.value.__cause__, openai.APIConnectionError)
    found = classify_client_failure(info.value)
    assert (failure_status(found), found.fatal) == (EXIT_UNREACHABLE, True)


@pytest.mark.parametrize("status,code", [(401, EXIT_AUTH), (403, EXIT_AUTH),
                                         (404, EXIT_MODEL_FAILED), (400, EXIT_MODEL_FAILED)])
def test_client_errors_are_not_retried(server, status, code):
    server.push(Answer(status, {"error": {"message": "nope"}}))
    with pytest.raises(ClientError) as info:
        call(dict(model="m", base_url=server.url, max_retries=3))
    assert len(server.requests) == 1 and isinstance(info.value.__cause__, openai.APIStatusError)
    assert failure_status(classify_client_failure(info.value)) == code


SCHEMA_REFUSED = Answer(400, {"error": {
    "message": "'response_format.type' of 'json_schema' is not supported with this model",
    "type": "invalid_request_error", "param": "response_format"}})
JSON_REFUSED = Answer(400, {"error": {"message": "response_format json_object is unsupported"}})
UNPROCESSABLE = Answer(422, {"detail": [{"loc": ["body", "response_format"],
                                         "msg": "extra fields not permitted"}]})


@pytest.mark.parametrize("refusals,formats", [
    ([], ["json_schema"]),
    ([SCHEMA_REFUSED], ["json_schema", "json_object"]),
    ([SCHEMA_REFUSED, JSON_REFUSED], ["json_schema", "json_object", None]),
    ([UNPROCESSABLE, UNPROCESSABLE], ["json_schema", "json_object", None]),
], ids=["schema", "json-mode", "text", "422"])
def test_the_reply_format_falls_back_and_is_remembered_per_server(refusals, formats):
    with LLMServer() as server, LLMServer() as other:
        server.push(*refusals)
        first = call(dict(model="m", base_url=server.url))
        again = call(dict(model="m", base_url=server.url))
        call(dict(model="m", base_url=other.url))
        call(dict(model="other-model", base_url=server.url))
    sent = [r.get("response_format", {}).get("type") for r in server.requests]
    # The second request starts with what worked; another server or model starts afresh.
    assert sent == formats + [formats[-1], "json_schema"]
    assert other.requests[0]["response_format"]["type"] == "json_schema"
    assert "loopback summary" in first.content and "loopback summary" in again.content


@pytest.mark.parametrize("answer,error", [
    (Answer(400, {"error": {"message": "This model's maximum context length is 8192 tokens. "
                                       "However, you requested 9000 tokens.",
                            "code": "context_length_exceeded"}}), ContextTooLong),
    (Answer(400, {"error": {"message": "nope"}}), ClientError),
    (Answer(400, {"error": {"message": "response_format is not supported"}}), ClientError),
], ids=["length", "other", "format-in-text-mode"])
def test_a_refusal_the_formats_cannot_help_raises_at_once(server, answer, error):
    server.push(answer)
    with pytest.raises(ClientError) as info:
        call(dict(model="m", base_url=server.url, reply_format="text"))
    assert type(info.value) is error and len(server.requests) == 1


@pytest.mark.parametrize("env,args,message", [
    ({}, dict(base_url="http://127.0.0.1:1/v1"), "no model given"),
    ({"MORVEX_SUMMARIZE_MODEL": "m"}, {}, "no API key"),
])
def test_configuration_errors(monkeypatch, env, args, message):
    for name in ("MORVEX_SUMMARIZE_MODEL", "OPENAI_MODEL", "OPENAI_API_KEY", "OPENAI_BASE_URL"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(ConfigError, match=message):
        OpenAIClient(**args)


def test_model_url_and_key_from_the_environment(server, monkeypatch):
    monkeypatch.setenv("MORVEX_SUMMARIZE_MODEL", "env-model")
    monkeypatch.setenv("OPENAI_BASE_URL", server.url)
    monkeypatch.setenv("OPENAI_API_KEY", "env-key")
    call({})
    assert server.requests[0]["model"] == "env-model"
    assert server.headers[0]["authorization"] == "Bearer env-key"


# ---- under the summarizer ---------------------------------------------------------------

MESSAGES = [
    {"role": "user", "content": "Rename the config flag"},
    {"role": "assistant", "content": "Renamed it in three files."},
]


def summarize(mod, client_args, messages=MESSAGES):
    async def run():
        client = OpenAIClient(**client_args)
        try:
            return await mod.ConversationSummarizer(client).summarize_messages(messages)
        finally:
            await client.aclose()
    return asyncio.run(run())


def test_summarizer_uses_the_server_reply(mod, server):
    record = summarize(mod, dict(model="m", base_url=server.url))
    assert record["goals"] == ["Rename the config flag"]
    assert record["summary"] == "loopback summary"
    (sent,) = server.requests
    assert sent["max_tokens"] == 2048 and sent["messages"][0]["role"] == "system"
    assert "[User]: Rename the config flag" in sent["messages"][0]["content"]


@pytest.mark.parametrize("failure", ["500", "refused", "malformed", "timeout"])
def test_summarizer_falls_back_on_failure_and_logs_it(mod, server, caplog, failure):
    args = dict(model="m", base_url=server.url, max_retries=0, timeout=0.3)
    if failure == "500":
        server.push(Answer(500, {"error": {"message": "boom"}}))
    elif failure == "refused":
        args["base_url"] = refused_url()
    elif failure == "malformed":
        server.push(Answer(body={"choices": []}))
    else:
        server.push(Answer(delay=5.0))
    with caplog.at_level(logging.ERROR, logger="morvex.summarizer"):
        record = summarize(mod, args)
    expected = mod._fallback_summary(MESSAGES)
    assert {k: v for k, v in record.items() if k != "created_at"} == \
        {k: v for k, v in expected.items() if k != "created_at"}
    failures = [r for r in caplog.records if r.name == "morvex.summarizer"]
    assert len(failures) == 1 and failures[0].levelno == logging.ERROR
    assert failures[0].getMessage().startswith("Summarization failed: ")
