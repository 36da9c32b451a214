"""The APIs whose requests carry a conversation, one object each: its path, how its
requests are read, how a summary request is put to the upstream's model in it and the
answer's text read, and the shape of its errors.

Imports nothing of the web stack: the process that condenses large bodies reads requests
with these too. An endpoint sent there by pickle is that process's own object of the same
path (`endpoint_at`), so what holds for ``endpoint is RESPONSES`` here holds there.
"""

from __future__ import annotations

import abc
from collections.abc import Mapping
from typing import Any


class Endpoint(abc.ABC):
    """A path whose requests carry a conversation: ``format``, the conversation's format
    (as `read_conversation` names it), ``items_key``, the body's key for the items, and
    ``field``, the key of the body's top-level instructions (or None). One object per API:
    `CHAT`, `RESPONSES`, `MESSAGES`."""

    path: str
    format: str
    items_key: str
    field: str | None = None

    def server_held(self, body: Mapping[str, Any]) -> bool:
        """The history is held by the upstream: the request carries only its newest
        part."""
        return False

    @abc.abstractmethod
    def summary_request(self, model: Any, messages: list[dict[str, Any]],
                        max_tokens: int) -> dict[str, Any]:
        """The body of a summary request to `path`, for the summarizer's ``messages``
        (Chat's shape, system messages among them)."""

    def retried(self, body: dict[str, Any], status: int, answer: bytes) -> dict[str, Any] | None:
        """The body to send once more after the upstream answered ``body`` with ``status``
        and ``answer`` (its body's bytes), or None."""
        return None

    @abc.abstractmethod
    def reply_text(self, data: Any) -> str:
        """The text of the upstream's answer (JSON) to a summary request; an answer of
        another shape raises LookupError, TypeError or AttributeError."""

    def error_body(self, message: str, kind: str) -> dict[str, Any]:
        """An error the proxy answers itself, in the API's own shape."""
        return {"error": {"message": message, "type": kind, "param": None, "code": None}}

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        return endpoint_at, (self.path,)

    def __repr__(self) -> str:
        return f"<endpoint {self.path}>"


def _split(messages: list[dict[str, Any]]) -> tuple[str, list[dict[str, Any]]]:
    """The system messages' text, joined, and the other messages: for the APIs that take
    the instructions beside the conversation."""
    system = "\n\n".join(str(m["content"]) for m in messages if m["role"] == "system")
    return system, [m for m in messages if m["role"] != "system"]


def _text_of(parts: Any) -> str:
    """The text of a reply's content parts, other parts left out."""
    return "".join(p["text"] for p in parts
                   if p.get("type") in ("output_text", "text") and isinstance(p["text"], str))


class _Chat(Endpoint):
    """OpenAI's Chat Completions."""

    path = "/chat/completions"
    format = "openai"
    items_key = "messages"

    def summary_request(self, model: Any, messages: list[dict[str, Any]],
                        max_tokens: int) -> dict[str, Any]:
        return {"model": model, "messages": messages, "max_tokens": max_tokens}

    def retried(self, body: dict[str, Any], status: int, answer: bytes) -> dict[str, Any] | None:
        if status != 400 or b"max_tokens" not in answer or "max_tokens" not in body:
            return None
        # Newer models take only max_completion_tokens.
        again = dict(body)
        again["max_completion_tokens"] = again.pop("max_tokens")
        return again

    def reply_text(self, data: Any) -> str:
        content = data["choices"][0]["message"]["content"]
        if not isinstance(content, str):
            raise TypeError("no text")
        return content


class _Responses(Endpoint):
    """OpenAI's Responses, which can hold a conversation's history itself."""

    path = "/responses"
    format = "responses"
    items_key = "input"
    field = "instructions"

    def server_held(self, body: Mapping[str, Any]) -> bool:
        return bool(body.get("previous_response_id") or body.get("conversation"))

    def summary_request(self, model: Any, messages: list[dict[str, Any]],
                        max_tokens: int) -> dict[str, Any]:
        system, rest = _split(messages)
        return {"model": model, "instructions": system, "input": rest,
                "max_output_tokens": max_tokens, "store": False}

    def reply_text(self, data: Any) -> str:
        return _text_of(c for item in data["output"] if item.get("type") == "message"
                        for c in item["content"])


class _Messages(Endpoint):
    """Anthropic's Messages."""

    path = "/messages"
    format = "anthropic"
    items_key = "messages"
    field = "system"

    def summary_request(self, model: Any, messages: list[dict[str, Any]],
                        max_tokens: int) -> dict[str, Any]:
        system, rest = _split(messages)
        return {"model": model, "system": system, "messages": rest, "max_tokens": max_tokens}

    def reply_text(self, data: Any) -> str:
        return _text_of(data["content"])

    def error_body(self, message: str, kind: str) -> dict[str, Any]:
        return {"type": "error", "error": {"type": kind, "message": message}}


CHAT: Endpoint = _Chat()
RESPONSES: Endpoint = _Responses()
MESSAGES: Endpoint = _Messages()

BY_PATH: dict[str, Endpoint] = {e.path: e for e in (CHAT, RESPONSES, MESSAGES)}

ENDPOINTS: dict[str, tuple[Endpoint, ...]] = {
    "openai": (CHAT, RESPONSES),
    "anthropic": (MESSAGES,),
}
"""The endpoints that condense, by the upstream's format. The first of each answers the
proxy's own errors (`error_shape`)."""


def endpoint_at(path: str) -> Endpoint:
    """The endpoint of a path (``/chat/completions``); KeyError for any other."""
    return BY_PATH[path]


def error_shape(upstream_format: str) -> Endpoint:
    """The endpoint in whose error shape the proxy answers itself in front of an upstream
    of this format, whatever the request's path (a refused path or a 404 is no
    endpoint's)."""
    return ENDPOINTS[upstream_format][0]
