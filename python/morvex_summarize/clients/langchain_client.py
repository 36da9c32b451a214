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

import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from ..errors import (AUTH, MODEL, UNREACHABLE, ClientError, ConfigError, Failure, ModelError,
                      OptionRefused, install, setting)
from . import DEFAULT_RETRIES, DEFAULT_TIMEOUT, NO_KEY, Reply
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
    return Failure(AUTH, f"the model provider refused the key: {text}", fatal=True)


def _late(text: str) -> Failure:
    return Failure(UNREACHABLE, f"the model provider did not answer in time: {text}",
                   transient=True)


def _unreachable(text: str) -> Failure:
    return Failure(UNREACHABLE, f"cannot reach the model provider: {text}",
                   transient=True, fatal=True)


def _unknown_model(text: str) -> Failure:
    return Failure(MODEL, f"the model provider does not know this model: {text}",
                   fatal=True)


def _busy(text: str) -> Failure:
    return Failure(MODEL, f"the model provider kept failing: {text}",
                   transient=True)


def _failed(text: str) -> Failure:
    return Failure(MODEL, f"the model failed: {text}")


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
    max_tokens_key: the name of the setting that limits the reply's length; by default
        the first of `LIMIT_KEYS` that the model's class declares, none when it declares
        none; None never sets one. A setting the model declares is set on a copy of the
        model (its clients shared), since some providers take it only there (Ollama's
        ``num_predict`` belongs in the request's options); any other name is passed to
        ``ainvoke`` as a keyword.
    """

    name = "langchain"

    def __init__(self, model: Any, *, max_tokens_key: str | None = AUTO) -> None:
        if not callable(getattr(model, "ainvoke", None)):
            raise TypeError(f"a chat model with ainvoke() is needed, not "
                            f"{type(model).__name__}")
        self.model = model
        self.max_tokens_key = limit_key(model) if max_tokens_key == AUTO else max_tokens_key
        self._limited: dict[int, Any] = {}  # reply limit -> the model copy with it set

    def _limited_model(self, max_tokens: int) -> tuple[Any, dict[str, Any]]:
        """(the model to call, the keywords to call it with) for a reply limit."""
        key = self.max_tokens_key
        if not key:
            return self.model, {}
        fields = getattr(type(self.model), "model_fields", None)
        copy = getattr(self.model, "model_copy", None)
        if not (isinstance(fields, Mapping) and key in fields and callable(copy)):
            return self.model, {key: max_tokens}
        model = self._limited.get(max_tokens)
        if model is None:
            model = self._limited[max_tokens] = copy(update={key: max_tokens})
        return model, {}

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
        model, kwargs = self._limited_model(max_tokens)
        try:
            reply = await model.ainvoke(self.to_chat_messages(messages), **kwargs)
        except (ClientError, ConfigError):
            raise
        except Exception as exc:
            raise ClientError(failure_of(exc)) from exc
        text = reply_text(reply)
        if not text.strip():
            raise ModelError("the chat model sent an empty reply")
        return Reply(keep_json(text))


@dataclass(frozen=True)
class ProviderOptions:
    """How one provider's chat model takes the tool's options: the ``init_chat_model``
    keyword for each (None: the provider has no such setting; "FIELD.KEY" sets KEY in the
    dict setting FIELD), and the environment variables its SDK reads the key and the base
    URL from."""

    base_url: str | None = "base_url"
    timeout: str | None = "timeout"
    retries: str | None = "max_retries"
    api_key: str | None = "api_key"
    key_variable: str | None = None
    url_variable: str | None = None


PROVIDERS: Mapping[str, ProviderOptions] = {
    "openai": ProviderOptions(key_variable="OPENAI_API_KEY", url_variable="OPENAI_BASE_URL"),
    "anthropic": ProviderOptions(key_variable="ANTHROPIC_API_KEY",
                                 url_variable="ANTHROPIC_BASE_URL"),
    "azure_openai": ProviderOptions(base_url="azure_endpoint",
                                    key_variable="AZURE_OPENAI_API_KEY",
                                    url_variable="AZURE_OPENAI_ENDPOINT"),
    "groq": ProviderOptions(key_variable="GROQ_API_KEY", url_variable="GROQ_BASE_URL"),
    "mistralai": ProviderOptions(key_variable="MISTRAL_API_KEY"),
    "deepseek": ProviderOptions(key_variable="DEEPSEEK_API_KEY"),
    "xai": ProviderOptions(key_variable="XAI_API_KEY"),
    "ollama": ProviderOptions(timeout="client_kwargs.timeout", retries=None, api_key=None,
                              url_variable="OLLAMA_HOST"),
}
"""The providers whose settings' names are known. Any other provider is given only the
options the user names, under the common names of `ProviderOptions`, and refused one its
model turns out not to declare."""

OPTIONS = ("base_url", "timeout", "retries", "api_key")
"""The settings a chat model is given under its provider's names."""


def _declares(model_class: Any, keyword: str) -> bool:
    """The chat model class has a setting by this name or alias (a pydantic field)."""
    fields = getattr(model_class, "model_fields", None)
    if not isinstance(fields, Mapping):
        return False
    name = keyword.partition(".")[0]
    return any(field == name or getattr(info, "alias", None) == name
               for field, info in fields.items())


def chat_model_options(provider: str, *, base_url: str | None = None,
                       timeout: float | None = None, retries: int | None = None,
                       environ: Mapping[str, str] | None = None) -> dict[str, Any]:
    """The ``init_chat_model`` keywords for the tool's options (None: not given). A known
    provider gets the defaults of the options not given, as ``--llm openai`` does; a key
    placeholder goes to a server at a given URL when no key is set, as local servers need
    none. An option the provider has no setting for raises OptionRefused naming it."""
    env = os.environ if environ is None else environ
    known = PROVIDERS.get(provider)
    names = known or ProviderOptions()
    if base_url is None and names.url_variable:
        base_url = env.get(names.url_variable) or None
    if known is not None:
        timeout = DEFAULT_TIMEOUT if timeout is None else timeout
        retries = DEFAULT_RETRIES if retries is None and names.retries else retries
    values: dict[str, Any] = {"base_url": base_url, "timeout": timeout, "retries": retries}
    if base_url is not None and names.api_key and not (
            names.key_variable and env.get(names.key_variable)):
        values["api_key"] = NO_KEY
    options: dict[str, Any] = {}
    for option, value in values.items():
        if value is None:
            continue
        keyword = getattr(names, option)
        if keyword is None:
            raise OptionRefused(f"{setting(option)}: langchain:{provider} models have "
                                f"no such setting")
        field, _, key = keyword.partition(".")
        if key:
            options.setdefault(field, {})[key] = value
        else:
            options[field] = value
    return options


def from_spec(spec: str, *, base_url: str | None = None, timeout: float | None = None,
              retries: int | None = None, **kwargs: Any) -> ChatModelClient:
    """A client on ``init_chat_model`` for "PROVIDER:MODEL" (the model name may hold more
    colons, as Ollama's tags do), with the tool's options under the provider's names (see
    `chat_model_options`). Missing packages and unknown providers raise ConfigError; an
    option the provider's model does not declare raises OptionRefused."""
    provider, _, model = spec.partition(":")
    if not provider or not model:
        raise ConfigError(f"expected langchain:PROVIDER:MODEL, got langchain:{spec}")
    try:
        from langchain.chat_models import init_chat_model
    except ImportError:
        raise ConfigError(f"{setting('llm')} langchain:... needs the langchain package: "
                          f"{install('langchain')}") from None
    options = chat_model_options(provider, base_url=base_url, timeout=timeout,
                                 retries=retries)
    try:
        chat_model = init_chat_model(model, model_provider=provider, **options, **kwargs)
    except ImportError as exc:
        raise ConfigError(" ".join(str(exc).split())) from None
    except Exception as exc:  # the provider's own checks: an unknown name, a missing key
        text = " ".join((str(exc) or type(exc).__name__).split())
        raise ConfigError(f"cannot set up {provider} model {model!r}: {text}") from None
    # A chat model may keep a keyword it does not know among the request's extra fields (and
    # send it to the server) rather than fail: each one given must be a setting it declares.
    names = PROVIDERS.get(provider) or ProviderOptions()
    for option in OPTIONS:
        keyword = getattr(names, option)
        if keyword and keyword.partition(".")[0] in options and \
                not _declares(type(chat_model), keyword):
            raise OptionRefused(f"{setting(option)}: langchain:{provider} models "
                                f"({type(chat_model).__name__}) have no such setting")
    return ChatModelClient(chat_model)
