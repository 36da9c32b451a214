"""Any LangChain chat model as the summarizer's client (the ``langchain`` extra).

``ChatModelClient(model)`` answers ``complete(messages, max_tokens)`` with the model's
``ainvoke``, so the summary request goes to whichever provider the user has configured in
LangChain (Anthropic, Bedrock, Gemini, Ollama, OpenAI, ...). The provider's errors become
the package's `ClientError` with the same meaning as the OpenAI client's: rate limits,
time-outs, server errors and lost connections may pass on a retry; a refused key fails
every request alike.

The provider packages raise their SDK's exceptions (or LangChain's ``ModelError`` kinds,
which recent integrations mix into them), so an error is read by what it is, in order:
LangChain's error kind, the HTTP status it carries, then its class names.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ..errors import (EXIT_AUTH, EXIT_MODEL_FAILED, EXIT_UNREACHABLE, ClientError, ConfigError,
                      Failure, ModelError)
from . import Reply
from .reply import keep_json

LIMIT_KEYS = ("max_tokens", "max_output_tokens", "max_completion_tokens", "num_predict",
              "max_new_tokens")
"""The names chat models give their reply-length setting, in the order they are looked for."""

AUTO = "auto"

_ROLES = {"system": "system", "developer": "system", "user": "human", "assistant": "ai"}


def _kind(exc: BaseException, kinds: tuple[str, ...]) -> bool:
    """A class in the exception's MRO has one of these words in its name."""
    return any(word in cls.__name__ for cls in type(exc).__mro__ for word in kinds)


def _status(exc: BaseException) -> int | None:
    """The HTTP status an SDK's error carries: ``status_code`` (openai, anthropic,
    mistral), ``response.status_code`` (httpx), ``code`` (google) or botocore's metadata."""
    for value in (getattr(exc, "status_code", None),
                  getattr(getattr(exc, "response", None), "status_code", None),
                  getattr(exc, "code", None)):
        if isinstance(value, int) and not isinstance(value, bool) and 100 <= value < 600:
            return value
    response = getattr(exc, "response", None)
    if isinstance(response, Mapping):
        meta = response.get("ResponseMetadata")
        if isinstance(meta, Mapping) and isinstance(meta.get("HTTPStatusCode"), int):
            code: int = meta["HTTPStatusCode"]
            return code
    return None


def _auth(text: str) -> Failure:
    return Failure(EXIT_AUTH, f"the model provider refused the key: {text}", fatal=True)


def _late(text: str) -> Failure:
    return Failure(EXIT_UNREACHABLE, f"the model provider did not answer in time: {text}",
                   transient=True)


def _unreachable(text: str) -> Failure:
    return Failure(EXIT_UNREACHABLE, f"cannot reach the model provider: {text}",
                   transient=True, fatal=True)


def _unknown_model(text: str) -> Failure:
    return Failure(EXIT_MODEL_FAILED, f"the model provider does not know this model: {text}",
                   fatal=True)


def _busy(text: str) -> Failure:
    return Failure(EXIT_MODEL_FAILED, f"the model provider kept failing: {text}",
                   transient=True)


def _failed(text: str) -> Failure:
    return Failure(EXIT_MODEL_FAILED, f"the model failed: {text}")


def _by_status(status: int, text: str) -> Failure:
    if status in (401, 403):
        return _auth(text)
    if status == 404:
        return _unknown_model(text)
    if status == 408:
        return _late(text)
    if status in (409, 429) or status >= 500:
        return _busy(text)
    return _failed(text)  # a request this provider will not take, as it is


def failure_of(exc: BaseException) -> Failure:
    """What a chat model's exception means: its exit status and one-line reason, whether a
    later attempt may succeed and whether every request would fail alike."""
    text = " ".join((str(exc) or type(exc).__name__).split())
    from langchain_core import exceptions as lc

    def kind(*names: str) -> tuple[type, ...]:  # older langchain-core has fewer kinds
        return tuple(c for c in (getattr(lc, n, None) for n in names) if isinstance(c, type))

    # The provider-neutral kinds of recent integrations.
    if isinstance(exc, kind("ModelAuthenticationError", "ModelPermissionDeniedError")):
        return _auth(text)
    if isinstance(exc, kind("ModelTimeoutError")):
        return _late(text)
    if isinstance(exc, kind("ModelConnectionError")):
        return _unreachable(text)
    if isinstance(exc, kind("ModelNotFoundError")):
        return _unknown_model(text)
    if isinstance(exc, kind("ModelRateLimitError", "ModelAPIError")):
        return _busy(text)
    if isinstance(exc, kind("ModelError")):
        return _failed(text)
    # Time-outs before connections: the SDKs make them a kind of connection error.
    if isinstance(exc, TimeoutError) or _kind(exc, ("Timeout", "TimedOut")):
        return _late(text)
    status = _status(exc)
    if status is not None:
        return _by_status(status, text)
    if _kind(exc, ("Authentication", "PermissionDenied", "Unauthorized", "Forbidden")):
        return _auth(text)
    if _kind(exc, ("RateLimit", "Throttl", "Overloaded", "InternalServer",
                   "ServiceUnavailable")):
        return _busy(text)
    if isinstance(exc, ConnectionError) or _kind(exc, ("Connection", "ConnectError",
                                                       "NetworkError")):
        return _unreachable(text)
    return _failed(text)


def reply_text(message: Any) -> str:
    """The text of a chat model's reply: its content as a string, or the text blocks of a
    list of content blocks (reasoning and tool-call blocks left out)."""
    content = getattr(message, "content", message)
    if isinstance(content, str):
        return content
    pieces: list[str] = []
    if isinstance(content, list):
        for block in content:
            if isinstance(block, str):
                pieces.append(block)
            elif isinstance(block, Mapping) and block.get("type") == "text" and \
                    isinstance(block.get("text"), str):
                pieces.append(block["text"])
    return "".join(pieces)


def limit_key(model: Any) -> str | None:
    """The model's own name for the reply-length setting, if it has one of `LIMIT_KEYS`."""
    fields = getattr(type(model), "model_fields", None)
    if not isinstance(fields, Mapping):
        return None
    return next((key for key in LIMIT_KEYS if key in fields), None)


class ChatModelClient:
    """The summarizer's client on a LangChain chat model.

    model: a ``BaseChatModel`` (or any runnable taking a list of messages whose
        ``ainvoke`` returns a message).
    max_tokens_key: the ``ainvoke`` keyword that limits the reply's length; by default
        the first of `LIMIT_KEYS` that the model's class declares, none when it declares
        none; None never passes one.
    """

    name = "langchain"

    def __init__(self, model: Any, *, max_tokens_key: str | None = AUTO) -> None:
        if not callable(getattr(model, "ainvoke", None)):
            raise TypeError(f"a chat model with ainvoke() is needed, not "
                            f"{type(model).__name__}")
        self.model = model
        self.max_tokens_key = limit_key(model) if max_tokens_key == AUTO else max_tokens_key

    @staticmethod
    def to_chat_messages(messages: list[dict[str, Any]]) -> list[Any]:
        """The summarizer's request (role and text records) as LangChain messages."""
        from langchain_core.messages import AIMessage, HumanMessage, SystemMessage

        kinds = {"system": SystemMessage, "human": HumanMessage, "ai": AIMessage}
        out = []
        for message in messages:
            kind = _ROLES.get(str(message.get("role")), "human")
            out.append(kinds[kind](content=str(message.get("content") or "")))
        return out

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Reply:
        kwargs: dict[str, Any] = {}
        if self.max_tokens_key:
            kwargs[self.max_tokens_key] = max_tokens
        try:
            reply = await self.model.ainvoke(self.to_chat_messages(messages), **kwargs)
        except (ClientError, ConfigError):
            raise
        except Exception as exc:
            raise ClientError(failure_of(exc)) from exc
        text = reply_text(reply)
        if not text.strip():
            raise ModelError("the chat model sent an empty reply")
        return Reply(keep_json(text))


def from_spec(spec: str, **kwargs: Any) -> ChatModelClient:
    """A client on ``init_chat_model`` for "PROVIDER:MODEL" (the model name may hold more
    colons, as Ollama's tags do). Missing packages and unknown providers raise ConfigError."""
    provider, _, model = spec.partition(":")
    if not provider or not model:
        raise ConfigError(f"expected langchain:PROVIDER:MODEL, got langchain:{spec}")
    try:
        from langchain.chat_models import init_chat_model
    except ImportError:
        raise ConfigError("--llm langchain:... needs the langchain package: pip install "
                          "'morvex-core-summarizer[langchain]'") from None
    try:
        chat_model = init_chat_model(model, model_provider=provider, **kwargs)
    except ImportError as exc:
        raise ConfigError(" ".join(str(exc).split())) from None
    except Exception as exc:  # the provider's own checks: an unknown name, a missing key
        text = " ".join((str(exc) or type(exc).__name__).split())
        raise ConfigError(f"cannot set up {provider} model {model!r}: {text}") from None
    return ChatModelClient(chat_model)
