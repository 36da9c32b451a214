"""Chat-completions client for any OpenAI-compatible server (hosted APIs, vLLM, llama.cpp's
server, Ollama, LM Studio), on the official ``openai`` package."""

from __future__ import annotations

import json
import os
import re
from typing import Any

import openai
from openai.types.chat import ChatCompletion

from ..errors import (AUTH, MODEL, UNREACHABLE, ClientError, ConfigError, ContextTooLong,
                      Failure, ModelError, refused_for_length, setting)
from ..records import summary_schema
from . import DEFAULT_RETRIES, DEFAULT_TIMEOUT, NO_KEY, Reply, configured_model
from .reply import keep_json

REPLY_FORMATS = ("schema", "json", "text")
"""What a request asks the reply to be, most helpful first: the summary's JSON schema
(structured output), any JSON object (JSON mode), or plain text."""
SCHEMA_ITEMS = 16
"""Items each list of the schema allows, so a looping model still ends."""

_FORMAT_WORDS = re.compile(r"(?i)response_format|json_schema|json_object|schema|structured|"
                           r"grammar|guided|not supported|unsupported")
"""What a server says when it does not take the reply format asked for."""

_worked: dict[tuple[str | None, str], str] = {}
"""The reply format each server (URL and model) last answered, for this process: later
requests start there instead of being refused again."""


def response_format(kind: str) -> dict[str, Any] | None:
    """The request's ``response_format`` for a reply format (None: plain text). The same
    object each time: it is only read."""
    return _RESPONSE_FORMATS[kind]


def _response_format(kind: str) -> dict[str, Any] | None:
    if kind == "schema":
        return {"type": "json_schema",
                "json_schema": {"name": "conversation_summary", "strict": True,
                                "schema": summary_schema(SCHEMA_ITEMS)}}
    if kind == "json":
        return {"type": "json_object"}
    return None


_RESPONSE_FORMATS = {kind: _response_format(kind) for kind in REPLY_FORMATS}


def forget_reply_formats() -> None:
    """Forgets what every server answered (a new server at an old address, tests)."""
    _worked.clear()


class OpenAIClient:
    """``complete`` sends one chat-completions request; the SDK retries 408, 409, 429 and
    5xx answers and lost connections with back-off. Every failure raises.

    The reply is asked for in ``reply_format`` (``schema``, ``json`` or ``text``); a server
    that refuses it with a 400 or 422 naming the format is asked again for the next one,
    and the format that worked is remembered for the server and model. A refusal for the
    request's length raises ContextTooLong.
    The reply text goes through ``keep_json``: a JSON object among prose is handed on
    alone."""

    name = "openai"

    def __init__(
        self,
        model: str | None = None,
        *,
        base_url: str | None = None,
        api_key: str | None = None,
        timeout: float = DEFAULT_TIMEOUT,
        max_retries: int = DEFAULT_RETRIES,
        json_mode: bool = False,
        temperature: float | None = 0.0,
        reply_format: str | None = None,
    ) -> None:
        chosen = model or configured_model()
        if not chosen:
            raise ConfigError(f"no model given: pass {setting('model')} or set "
                              "MORVEX_SUMMARIZE_MODEL")
        self.model: str = chosen
        base_url = base_url or os.environ.get("OPENAI_BASE_URL") or None
        api_key = api_key or os.environ.get("OPENAI_API_KEY") or None
        if api_key is None:
            if base_url is None:
                raise ConfigError(f"no API key: set OPENAI_API_KEY (or give "
                                  f"{setting('base_url')} for a local server)")
            api_key = NO_KEY
        self.base_url = base_url
        if reply_format is None:
            reply_format = "json" if json_mode else "schema"
        if reply_format not in REPLY_FORMATS:
            raise ConfigError(f"unknown reply format {reply_format!r}: use "
                              f"{', '.join(REPLY_FORMATS)}")
        self.reply_format = reply_format
        self.temperature = temperature
        self._client = openai.AsyncOpenAI(api_key=api_key, base_url=base_url,
                                          timeout=timeout, max_retries=max_retries)

    def _formats(self) -> tuple[str, ...]:
        """The reply formats to try, in order: from the one asked for, or from the one the
        server last answered when that is further down."""
        first = max(REPLY_FORMATS.index(self.reply_format),
                    REPLY_FORMATS.index(_worked.get(self._server, self.reply_format)))
        return REPLY_FORMATS[first:]

    @property
    def _server(self) -> tuple[str | None, str]:
        return (self.base_url, self.model)

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Reply:
        formats = self._formats()
        for at, kind in enumerate(formats):
            body: dict[str, Any] = {"model": self.model, "messages": messages,
                                    "max_tokens": max_tokens}
            wanted = response_format(kind)
            if wanted is not None:
                body["response_format"] = wanted
            if self.temperature is not None:
                body["temperature"] = self.temperature
            try:
                response = await self._post(body)
            except openai.APIStatusError as exc:
                said = _said(exc)
                if refused_for_length(exc.status_code, said):
                    raise ContextTooLong(" ".join(str(exc).split())) from exc
                if (at + 1 < len(formats) and exc.status_code in (400, 422)
                        and _FORMAT_WORDS.search(said)):
                    continue
                raise ClientError(failure_of(exc)) from exc
            _worked[self._server] = kind
            return Reply(keep_json(_content(response)))
        raise AssertionError("unreachable: the last format raises or returns")

    async def _post(self, body: dict[str, Any]) -> Any:
        # The SDK's generic POST: the same retries, time-outs and errors as
        # ``chat.completions.create``, without re-checking our plain dict messages against its
        # parameter types on every call (the largest cost per request in a batch).
        try:
            return await self._client.post("/chat/completions", body=body,
                                           cast_to=ChatCompletion)
        except json.JSONDecodeError as exc:
            raise ModelError(f"the model server sent a body that is not JSON: {exc}") from exc
        except openai.APIStatusError:
            raise
        except openai.APIError as exc:
            raise ClientError(failure_of(exc)) from exc

    async def aclose(self) -> None:
        await self._client.close()


def _said(exc: openai.APIStatusError) -> str:
    """All a refusal says: the SDK's message, the error code and the body as sent (FastAPI
    servers put their reasons where the SDK does not look)."""
    try:
        body = json.dumps(exc.body, default=str)
    except (TypeError, ValueError):
        body = ""
    return f"{exc} {getattr(exc, 'code', None) or ''} {body}"


def _content(response: Any) -> str:
    """The reply text of a chat completion; ModelError when there is none."""
    try:
        content = response.choices[0].message.content
    except (AttributeError, IndexError, KeyError, TypeError) as exc:
        raise ModelError("malformed reply from the model server: "
                         f"{_what_was_sent(response)}") from exc
    if not isinstance(content, str) or not content.strip():
        raise ModelError("the model server sent an empty reply")
    return content


_JSON_KINDS = {str: "string", list: "list", dict: "object", int: "number", float: "number",
               bool: "boolean", type(None): "null"}


def _what_was_sent(response: Any) -> str:
    """In a few words, what a reply that is not a chat completion held instead. The SDK
    builds a completion from any JSON object without checking it, and hands back any
    other JSON value as it is."""
    kind = _JSON_KINDS.get(type(response))
    if kind is not None:
        return f"a JSON {kind} instead of a completion"
    extra = getattr(response, "model_extra", None) or {}
    error = extra.get("error")
    if error:
        message = error.get("message") if isinstance(error, dict) else None
        return f"an error instead of a completion: {' '.join(str(message or error).split())}"
    choices = getattr(response, "choices", None)
    if not isinstance(choices, list):
        keys = ", ".join([*getattr(response, "model_fields_set", ()), *extra][:6]) or "none"
        return f"an object with no choices (its keys: {keys})"
    if not choices:
        return "a completion with no choices"
    return "a choice without a message"


def _connection_text(exc: openai.APIConnectionError, text: str) -> str:
    """The SDK's connection errors say little: add the URL and the underlying cause."""
    url = getattr(getattr(exc, "request", None), "url", None)
    where = ""
    if url is not None:
        where = f"{url.scheme}://{url.host}" + (f":{url.port}" if url.port else "")
    cause = exc.__cause__
    cause_text = " ".join(str(cause).split()) if cause is not None else ""
    parts = [p for p in (where, text.rstrip("."), cause_text) if p]
    return ": ".join(dict.fromkeys(parts))


def failure_of(exc: openai.APIError) -> Failure:
    """What an error of the openai package means: its exit status and one-line reason,
    whether a later attempt may succeed and whether every request would fail alike."""
    text = " ".join((str(exc) or type(exc).__name__).split())
    if isinstance(exc, openai.APIConnectionError):
        text = _connection_text(exc, text)
    if isinstance(exc, (openai.AuthenticationError, openai.PermissionDeniedError)):
        return Failure(AUTH, f"the model server refused the key: {text}", fatal=True)
    if isinstance(exc, openai.APITimeoutError):
        return Failure(UNREACHABLE, f"the model server did not answer in time: {text}",
                       transient=True)
    if isinstance(exc, openai.APIConnectionError):
        return Failure(UNREACHABLE, f"cannot reach the model server: {text}",
                       transient=True, fatal=True)
    if isinstance(exc, openai.NotFoundError):
        return Failure(MODEL,
                       f"the model server does not know this model or path: {text}", fatal=True)
    if isinstance(exc, (openai.RateLimitError, openai.InternalServerError)):
        return Failure(MODEL, f"the model server kept failing: {text}",
                       transient=True)
    return Failure(MODEL, f"the model failed: {text}")
