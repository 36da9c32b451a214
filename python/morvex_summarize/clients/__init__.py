"""LLM clients with the shape the summarizer calls: ``await complete(messages=..., max_tokens=...)``
returning an object whose ``content`` is the reply text."""

from __future__ import annotations

import os
from dataclasses import dataclass

from ..records import LLMClient
from ..settings import CLIENT_RETRIES as DEFAULT_RETRIES
from ..settings import CLIENT_TIMEOUT as DEFAULT_TIMEOUT

NO_KEY = "no-key"
"""The key sent to a server at a given URL when none is set: local servers take any key, and
the SDKs insist on one."""

MODEL_ENV = "MORVEX_SUMMARIZE_MODEL"
"""Environment variable naming the model for OpenAI-compatible servers."""


@dataclass(frozen=True)
class Reply:
    content: str


def configured_model() -> str | None:
    return os.environ.get(MODEL_ENV) or os.environ.get("OPENAI_MODEL") or None


__all__ = ["DEFAULT_RETRIES", "DEFAULT_TIMEOUT", "LLMClient", "MODEL_ENV", "NO_KEY", "Reply",
           "configured_model"]
