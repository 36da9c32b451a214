"""The LangChain chat-model client: what it sends a chat model, what it makes of the reply,
how provider errors keep their meaning, and ``--llm langchain:PROVIDER:MODEL`` in the tool
against a loopback server."""

import asyncio
import json
import subprocess
import time

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

from cli_support import SAMPLE, run_tool, stderr_lines, tool_command, tool_env  # noqa: E402
from llm_server import Answer, LLMServer, completion  # noqa: E402
from morvex_summarize import summarize  # noqa: E402
from morvex_summarize.clients.langchain_client import ChatModelClient, failure_of  # noqa: E402
from morvex_summarize.cli.status import (EXIT_AUTH, EXIT_MODEL_FAILED,  # noqa: E402
                                         EXIT_UNREACHABLE, failure_status)
from morvex_summarize.errors import ClientError, ModelError  # noqa: E402


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
        self._calls.append((list(messages), kwargs, getattr(self, "max_tokens", None)))
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
    roles and text, with the reply limit set as the model's own setting, and the reply
    (here content blocks, as Anthropic's models give) becomes the record."""
    blocks = [{"type": "thinking", "thinking": "hmm"},
              {"type": "text", "text": json.dumps(SUMMARY)[:20]},
              {"type": "text", "text": json.dumps(SUMMARY)[20:]}]
    model = RecordingChatModel(reply=blocks)
    record = asyncio.run(summarize(CONVERSATION, ChatModelClient(model)))
    assert {k: record[k] for k in SUMMARY} == SUMMARY
    ((messages, kwargs, limit),) = model._calls
    assert [m.type for m in messages] == ["system", "human"]
    assert "Please ship the release today." in messages[0].content
    assert isinstance(limit, int) and limit > 0 and "max_tokens" not in kwargs
    assert model.max_tokens is None  # set on a copy, not on the caller's model


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
    assert (failure.transient, failure.fatal, failure_status(failure)) == (*kind, exit_code)
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


# ---- the tool's options reach the provider's chat model ---------------------------------

def _anthropic_reply(request):
    return {"id": "msg_1", "type": "message", "role": "assistant", "model": "m",
            "content": [{"type": "text", "text": json.dumps(SUMMARY)}],
            "stop_reason": "end_turn", "stop_sequence": None,
            "usage": {"input_tokens": 1, "output_tokens": 1}}


def _ollama_reply(request):
    return {"model": "m", "created_at": "2026-01-01T00:00:00Z", "done": True,
            "done_reason": "stop",
            "message": {"role": "assistant", "content": json.dumps(SUMMARY)}}


# (--llm, the base URL's path, the path a request must arrive at, the provider's reply)
PROVIDER_PATHS = [
    (("--llm", "openai", "--model", "m"), "/v1", "/v1/chat/completions", None),
    (("--llm", "langchain:openai:m"), "/v1", "/v1/chat/completions", None),
    (("--llm", "langchain:anthropic:claude-x"), "", "/v1/messages", _anthropic_reply),
    (("--llm", "langchain:ollama:llama3:8b"), "", "/api/chat", _ollama_reply),
]


def _root(server):
    return f"http://127.0.0.1:{server.port}"


def _provider_ready(llm):
    provider = llm[1].split(":")[1] if llm[1].startswith("langchain:") else None
    if provider is not None:
        pytest.importorskip(f"langchain_{provider}")


@pytest.mark.parametrize("how", ["option", "variable"])
@pytest.mark.parametrize("llm, suffix, path, reply", PROVIDER_PATHS)
def test_requests_arrive_at_the_given_base_url_without_a_key(server, llm, suffix, path,
                                                             reply, how):
    """With no key set anywhere, a request goes to the URL given (by --base-url, or by the
    provider's own variable) and the summary is the server's."""
    _provider_ready(llm)
    server.push(Answer(body=reply(None) if reply else completion(json.dumps(SUMMARY))))
    url = _root(server) + suffix
    env = tool_env()
    for name in ("ANTHROPIC_API_KEY", "ANTHROPIC_BASE_URL", "OLLAMA_HOST"):
        env.pop(name, None)
    args = ["summarize", str(SAMPLE), *llm]
    if how == "option":
        args += ["--base-url", url]
    else:
        variable = {"openai": "OPENAI_BASE_URL", "langchain:openai:m": "OPENAI_BASE_URL",
                    "langchain:anthropic:claude-x": "ANTHROPIC_BASE_URL",
                    "langchain:ollama:llama3:8b": "OLLAMA_HOST"}[llm[1]]
        env[variable] = url
    result = run_tool(*args, env=env)
    assert result.returncode == 0, result.stderr
    assert server.paths == [path]
    assert SUMMARY["key_facts"][0] in result.stdout  # the server's reply is the summary


@pytest.mark.parametrize("llm, suffix, path, reply", PROVIDER_PATHS)
@pytest.mark.parametrize("retries", [0, 1])
def test_a_server_too_slow_ends_with_status_6_within_the_bound(llm, suffix, path, reply,
                                                               retries):
    """--timeout bounds each attempt and --retries counts the attempts after the first:
    the tool reports the time-out after at most (retries + 1) x timeout plus the back-off
    between attempts (0.5 s, 1 s, 2 s, ... at most 8 s each), as docs/cli.md says, timed
    here from the first request's arrival to the tool's report of it. Ollama's package
    does not retry, and takes no --retries."""
    _provider_ready(llm)
    timeout = 1.0
    no_retries = "ollama" in llm[1]
    if no_retries and retries:
        pytest.skip("the provider takes no --retries (its refusal is tested below)")
    options = ["--timeout", str(timeout)] + ([] if no_retries else ["--retries", str(retries)])
    with LLMServer(delay=30) as slow:
        tool = subprocess.Popen(
            tool_command("summarize", SAMPLE, *llm, "--base-url", _root(slow) + suffix,
                         *options), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, env=tool_env())
        line = tool.stderr.readline()
        reported = time.monotonic()
        tool.communicate(timeout=30)
        arrivals = list(slow.arrivals)
    assert tool.returncode == EXIT_UNREACHABLE, line
    assert "did not answer in time" in line
    assert len(arrivals) == retries + 1 and all(p == path for p in slow.paths)
    backoff = sum(min(0.5 * 2 ** n, 8.0) for n in range(retries))
    bound = (retries + 1) * timeout + backoff
    taken = reported - arrivals[0]
    # the server notes an arrival once it has read the request, which on a busy machine
    # may be a good part of a second after the client's clock for it started
    assert (retries + 1) * timeout - 0.3 <= taken <= bound + 0.75, (taken, bound)


@pytest.mark.parametrize("args, flag", [
    (("--llm", "langchain:ollama:llama3", "--retries", "2"), "--retries"),
    (("--llm", "langchain:openai:m", "--model", "other"), "--model"),
    (("--llm", "langchain:openai:m", "--json-mode"), "--json-mode"),
])
def test_an_option_the_provider_cannot_take_is_refused(server, args, flag):
    if "ollama" in args[1]:
        pytest.importorskip("langchain_ollama")
    pytest.importorskip("langchain_openai")
    result = run_tool("summarize", str(SAMPLE), *args, "--base-url", server.url, env=tool_env())
    assert result.returncode == 2, result.stderr
    (line,) = stderr_lines(result)
    assert flag in line and "Traceback" not in result.stderr
    assert server.requests == []


def test_a_keyword_the_chat_model_does_not_declare_is_refused(monkeypatch):
    """A chat model may keep an unknown keyword among the request's extra fields rather than
    fail; the client refuses it instead of sending it on."""
    pytest.importorskip("langchain_openai")
    from morvex_summarize.clients import langchain_client

    monkeypatch.setitem(langchain_client.PROVIDERS, "openai", langchain_client.ProviderOptions(
        timeout="no_such_timeout", key_variable="OPENAI_API_KEY"))
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    with pytest.raises(langchain_client.OptionRefused, match="^timeout: .*ChatOpenAI"):
        langchain_client.from_spec("openai:m", base_url="http://127.0.0.1:9/v1", timeout=3)
    monkeypatch.undo()
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    client = langchain_client.from_spec("openai:m", base_url="http://127.0.0.1:9/v1",
                                        timeout=3, retries=5)
    assert (client.model.request_timeout, client.model.max_retries) == (3, 5)
    assert client.model.openai_api_base == "http://127.0.0.1:9/v1"
