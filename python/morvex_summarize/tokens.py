"""Token estimates, of two kinds on purpose, each without a tokenizer (the package never
knows which model reads its text):

- the budget estimate, `estimate_tokens`: one token per `CHARS_PER_TOKEN` characters, the
  common figure for English text and code, plus `MESSAGE_OVERHEAD_TOKENS` a message. It
  decides when a conversation is over its budget and how far to condense it, as a person
  who sets a budget in tokens counts them: near what the model counts, neither side
  favoured. A caller with a real tokenizer passes its count instead.
- the bound, `text_tokens` and `prompt_tokens`: a third of a token per ASCII character
  and one per two bytes of any other text, plus `MESSAGE_TOKENS` a message. It decides
  whether a request fits the model's context, where counting short means a request the
  server refuses, so it counts more than the tokenizers of common models do, on code and
  on non-Latin scripts too.

Media (images, audio, files) are charged by `MEDIA_TOKENS`, never by their data's length.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Any

from .formats.base import Message
from .formats.parts import content_text, tool_calls

CHARS_PER_TOKEN = 4
"""Characters per token of the default estimate (a common figure for English text)."""

MESSAGE_OVERHEAD_TOKENS = 4
"""Tokens the default estimate adds per message for its role and framing."""

MEDIA_TOKENS: Mapping[str, int] = {"image": 1000, "audio": 500, "file": 2000}
"""Tokens charged per image, audio clip and file (a document) on top of the estimate of the
text: their data is never counted by its length. About what the model APIs charge for an
image of a megapixel, half a minute of audio and a few pages of a PDF; set `media_tokens`
for other figures."""


def _text_length(value: Any) -> int:
    """Characters of a content value: a str as it is, a list of parts by their text."""
    if value is None:
        return 0
    if isinstance(value, str):
        return len(value)
    if isinstance(value, (list, tuple)):
        return len(content_text(value)[0])
    return len(str(value))


def _arguments_length(args: Any) -> int:
    if args is None or isinstance(args, str):
        return _text_length(args)
    try:
        return len(json.dumps(args, ensure_ascii=False, default=str))
    except (TypeError, ValueError):
        return len(str(args))


def estimate_tokens(message: Message) -> int:
    """The default token counter: characters / CHARS_PER_TOKEN, rounded up, plus
    MESSAGE_OVERHEAD_TOKENS."""
    chars = _text_length(message.get("content"))
    chars += _text_length(message.get("tool_call_id"))
    for tc in tool_calls(message):
        function = tc.get("function")
        if not isinstance(function, Mapping):
            function = {}
        chars += _text_length(tc.get("name", function.get("name")))
        chars += _arguments_length(tc.get("arguments", function.get("arguments")))
        chars += _text_length(tc.get("id"))
    return math.ceil(chars / CHARS_PER_TOKEN) + MESSAGE_OVERHEAD_TOKENS


def json_tokens(value: Any) -> int:
    """The budget estimate of a JSON value sent as it is (a request's settings, tool
    definitions, schemas): its compact JSON text, characters / CHARS_PER_TOKEN."""
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), default=str)
    return math.ceil(len(text) / CHARS_PER_TOKEN)


MESSAGE_TOKENS = 8
"""What each chat message costs beside its text in the bound (roles, separators of the chat
template)."""


def text_tokens(text: str) -> int:
    """The estimated tokens of a text: a third of a token per ASCII character and one per
    two bytes of any other character."""
    if text.isascii():
        return (len(text) + 2) // 3
    narrow = len(text.encode("ascii", "ignore"))
    wide = len(text.encode("utf-8", "surrogatepass")) - narrow
    return (narrow + 2) // 3 + (wide + 1) // 2


def prompt_tokens(messages: list[dict[str, Any]]) -> int:
    """The estimated tokens of a chat request's messages."""
    total = 0
    for message in messages:
        content = message.get("content") if isinstance(message, Mapping) else None
        total += MESSAGE_TOKENS + (text_tokens(content) if isinstance(content, str) else 0)
    return total
