"""LLM clients with the shape the summarizer calls: ``await complete(messages=..., max_tokens=...)``
returning an object whose ``content`` is the reply text."""

from __future__ import annotations

import os
from dataclasses import dataclass

from ..records import LLMClient

MODEL_ENV = "MORVEX_SUMMARIZE_MODEL"
"""Environment variable naming the model for OpenAI-compatible servers."""


@dataclass(frozen=True)
class Reply:
    content: str


def configured_model() -> str | None:
    return os.environ.get(MODEL_ENV) or os.environ.get("OPENAI_MODEL") or None


__all__ = ["LLMClient", "MODEL_ENV", "Reply", "configured_model"]
