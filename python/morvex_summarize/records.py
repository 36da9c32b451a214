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


def summary_schema(max_items: int = 8) -> dict[str, Any]:
    """JSON schema of the summary object with bounded lists, so a looping model still ends.
    Texts carry no length bound: llama.cpp's grammar turns one into a rule per character
    and rejects it; the token limit bounds them instead."""
    props: dict[str, Any] = {}
    for key in SUMMARY_KEYS[:-1]:  # all but the time, which the summarizer adds
        if key in LIST_KEYS:
            props[key] = {"type": "array", "items": {"type": "string"}, "maxItems": max_items}
        else:
            props[key] = {"type": "string"}
    return {"type": "object", "properties": props, "required": list(props),
            "additionalProperties": False}


@runtime_checkable
class LLMClient(Protocol):
    """What the summarizer calls: ``await complete(messages=..., max_tokens=...)``, whose
    result has the reply text as its ``content``."""

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any: ...
