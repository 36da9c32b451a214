"""The shapes the package shares with the native summarizer: its summary record and the
client it calls."""

from __future__ import annotations

from typing import Any, Protocol, TypedDict, runtime_checkable


class SummaryRecord(TypedDict):
    """A summary record as ``morvex.core.summarizer`` returns it, keys in its order. The
    values are the model's, unchecked: lists of items, texts, and the time it was made."""

    goals: list[Any]
    progress: list[Any]
    current_state: Any
    key_decisions: list[Any]
    key_facts: list[Any]
    blockers: list[Any]
    next_steps: list[Any]
    summary: Any
    created_at: float


SUMMARY_KEYS: tuple[str, ...] = tuple(SummaryRecord.__annotations__)
TEXT_KEYS = ("current_state", "summary")
LIST_KEYS: tuple[str, ...] = tuple(k for k in SUMMARY_KEYS if k not in TEXT_KEYS + ("created_at",))
"""The keys whose values are lists, in the record's order."""


@runtime_checkable
class LLMClient(Protocol):
    """What the summarizer calls: ``await complete(messages=..., max_tokens=...)``, whose
    result has the reply text as its ``content``."""

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any: ...
