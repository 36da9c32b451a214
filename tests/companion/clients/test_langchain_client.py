"""The LangChain chat-model client: what it sends a chat model, what it makes of the reply,
how provider errors keep their meaning, and ``--llm langchain:PROVIDER:MODEL`` in the tool
against a loopback server."""

import asyncio
import json

import pytest

pytest.importorskip("langchain_core")
httpx = pytest.importorskip("httpx")
openai = pytest.importorskip("openai")
anthropic = pytest.importorskip("anthropic")

from langchain_core import exceptions as lc_errors  # noqa: E402
from langchain_core.language_models import BaseChatModel  # noqa: E402
from langchain_core.messages import AIMessage  # noqa: E402
from langchain_core.outputs import ChatGeneration, ChatResult  # noqa: E402
from pydantic import PrivateAttr  # noqa: E402

from cli_support import SAMPLE, run_tool, stderr_lines, tool_env  # noqa: E402
from llm_server import Answer, LLMServer  # noqa: E402
from morvex_summarize import summarize  # noqa: E402
from morvex_summarize.clients.langchain_client import ChatModelClient, failure_of  # noqa: E402
from morvex_summarize.errors import (EXIT_AUTH, EXIT_MODEL_FAILED, EXIT_UNREACHABLE,  # noqa: E402
                                     ClientError, ModelError)


class PlainChatModel(BaseChatModel):
    """Replies with ``reply`` (or raises ``error``); records each call's messages and
    keyword arguments. Declares no reply-limit field."""

    reply: object = ""
    error: object = None
    _calls: list = PrivateAttr(default_factory=list)

    @property
    def _llm_type(self):
        return "recording"

    def _generate(self, messages, stop=None, run_manager=None, **kwargs):
        self._calls.append((list(messages), kwargs))
        if self.error is not None:
            raise self.error
        return ChatResult(generations=[ChatGeneration(message=AIMessage(content=self.reply))])


class RecordingChatModel(PlainChatModel):
    max_tokens: int | None = None


SUMMARY = {"goals": ["ship the release"], "progress": ["built"], "current_state": "testing",
           "key_decisions": [], "key_facts": ["the cache is cold"], "blockers": [],
           "next_steps": ["tag it"], "summary": "Release work."}
CONVERSATION = [{"role": "user", "content": "Please ship the release today."},
                {"role": "assistant", "content": "Building it now."}]


def test_summary_through_a_chat_model_sends_the_prompt_and_reads_its_reply():
    """The module's request reaches the chat model as LangChain messages of the same
    roles and text, with the reply limit under the model's own name, and the reply
    (here content blocks, as Anthropic's models give) becomes the record."""
    blocks = [{"type": "thinking", "thinking": "hmm"},
              {"type": "text", "text": json.dumps(SUMMARY)[:20]},
              {"type": "text", "text": json.dumps(SUMMARY)[20:]}]
    model = RecordingChatModel(reply=blocks)
    record = asyncio.run(summarize(CONVERSATION, ChatModelClient(model)))
    assert {k: record[k] for k in SUMMARY} == SUMMARY
    ((messages, kwargs),) = model._calls
    assert [m.type for m in messages] == ["system", "human"]
    assert "Please ship the release today." in messages[0].content
    assert isinstance(kwargs.get("max_tokens"), int) and kwargs["max_tokens"] > 0


@pytest.mark.parametrize("key, expected", [("auto", None), (None, None), ("num_predict", 99)])
def test_reply_limit_keyword(key, expected):
    """A model that declares no limit field is sent none unless one is named."""
    plain = PlainChatModel(reply="text")
    client = ChatModelClient(plain, max_tokens_key=key)
    assert asyncio.run(client.complete([{"role": "user", "content": "x"}], 99)).content == "text"
    assert plain._calls[0][1].get("num_predict") == expected
    assert "max_tokens" not in plain._calls[0][1]


@pytest.mark.parametrize("reply", ["", "   ", [{"type": "tool_use", "id": "t"}]])
def test_an_empty_reply_is_a_model_error(reply):
    client = ChatModelClient(RecordingChatModel(reply=reply))
    with pytest.raises(ModelError):
        asyncio.run(client.complete([{"role": "user", "content": "x"}], 10))


def _response(status):
    return httpx.Response(status, request=httpx.Request("POST", "https://api.example/v1"))


def _openai(cls, status):
    return cls("refused", response=_response(status), body=None)


REQUEST = httpx.Request("POST", "https://api.example/v1")

TRANSIENT, FATAL, BOTH, NEITHER = (True, False), (False, True), (True, True), (False, False)


@pytest.mark.parametrize("error, kind, exit_code", [
    (_openai(openai.RateLimitError, 429), TRANSIENT, EXIT_MODEL_FAILED),
    (_openai(openai.InternalServerError, 503), TRANSIENT, EXIT_MODEL_FAILED),
    (_openai(openai.AuthenticationError, 401), FATAL, EXIT_AUTH),
    (_openai(openai.PermissionDeniedError, 403), FATAL, EXIT_AUTH),
    (_openai(openai.BadRequestError, 400), NEITHER, EXIT_MODEL_FAILED),
    (_openai(openai.NotFoundError, 404), FATAL, EXIT_MODEL_FAILED),
    (openai.APITimeoutError(request=REQUEST), TRANSIENT, EXIT_UNREACHABLE),
    (openai.APIConnectionError(request=REQUEST), BOTH, EXIT_UNREACHABLE),
    (_openai(anthropic.RateLimitError, 429), TRANSIENT, EXIT_MODEL_FAILED),
    (_openai(anthropic.InternalServerError, 529), TRANSIENT, EXIT_MODEL_FAILED),
    (_openai(anthropic.AuthenticationError, 401), FATAL, EXIT_AUTH),
    (anthropic.APITimeoutError(request=REQUEST), TRANSIENT, EXIT_UNREACHABLE),
    (httpx.ReadTimeout("slow", request=REQUEST), TRANSIENT, EXIT_UNREACHABLE),
    (httpx.ConnectError("refused", request=REQUEST), BOTH, EXIT_UNREACHABLE),
    (httpx.HTTPStatusError("busy", request=REQUEST, response=_response(502)), TRANSIENT,
     EXIT_MODEL_FAILED),
    (lc_errors.ModelRateLimitError("slow down"), TRANSIENT, EXIT_MODEL_FAILED),
    (lc_errors.ModelAuthenticationError("bad key"), FATAL, EXIT_AUTH),
    (lc_errors.ContextOverflowError("too long"), NEITHER, EXIT_MODEL_FAILED),
    (type("ThrottlingException", (Exception,), {})("throttled"), TRANSIENT, EXIT_MODEL_FAILED),
    (ValueError("odd reply"), NEITHER, EXIT_MODEL_FAILED),
])
def test_provider_errors_keep_their_meaning(error, kind, exit_code):
    """Raised by a chat model, each becomes a ClientError whose failure says whether a
    retry may help and whether every request would fail alike."""
    client = ChatModelClient(RecordingChatModel(error=error))
    with pytest.raises(ClientError) as info:
        asyncio.run(client.complete([{"role": "user", "content": "x"}], 10))
    failure = info.value.failure
    assert info.value.__cause__ is error
    assert (failure.transient, failure.fatal, failure.exit_code) == (*kind, exit_code)
    assert failure == failure_of(error) and "\n" not in failure.reason


@pytest.fixture
def server():
    with LLMServer() as s:
        yield s


def _env(server):
    return tool_env(OPENAI_BASE_URL=server.url, OPENAI_API_KEY="k-1")


def test_tool_summarizes_through_init_chat_model(server):
    pytest.importorskip("langchain_openai")
    server.push(Answer(429, {"error": {"message": "slow down"}},
                       headers={"retry-after-ms": "1"}))
    result = run_tool("summarize", str(SAMPLE), "--llm", "langchain:openai:loopback-1",
                      env=_env(server))
    assert result.returncode == 0, result.stderr
    assert "answered by the loopback server" in result.stdout  # the server's reply
    assert [r["model"] for r in server.requests] == ["loopback-1"] * 2  # the 429 retried


@pytest.mark.parametrize("llm, status, exit_code, words", [
    ("langchain:openai:loopback-1", 401, EXIT_AUTH, "refused the key"),
    ("langchain:no-such-provider:m", None, 10, "no-such-provider"),
    ("langchain:openai", None, 10, "langchain:PROVIDER:MODEL"),
])
def test_tool_reports_chat_model_failures_in_one_line(server, llm, status, exit_code, words):
    pytest.importorskip("langchain_openai")
    if status is not None:
        server.push(Answer(status, {"error": {"message": "bad key"}}))
    result = run_tool("summarize", str(SAMPLE), "--llm", llm, env=_env(server))
    assert result.returncode == exit_code, result.stderr
    (line,) = [x for x in stderr_lines(result) if "using the offline" not in x]
    assert words in line and "Traceback" not in result.stderr
