"""Fitting a summary into what the token budget leaves beside the kept messages, and the
one verdict on a round that still ends over it (`budget_note`)."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

from .. import carry

Render = Callable[[Mapping[str, Any]], tuple[str, int]]
"""(the context text of a record, its tokens as the context message)."""


class Fitted(NamedTuple):
    record: dict[str, Any]
    text: str
    tokens: int
    note: str | None


def budget_note(kept_tokens: int, summary_tokens: int, budget: int | None) -> str | None:
    """Why the kept messages and a summary of ``summary_tokens`` take the list over the
    budget, or None when they do not. Where the kept messages leave room, the summary is
    one `fit` made as small as it can be."""
    if budget is None or kept_tokens + summary_tokens <= budget:
        return None
    if kept_tokens >= budget:
        return f"the kept messages alone take {kept_tokens} tokens of the {budget} budget"
    return (f"the summary takes {summary_tokens} tokens at its smallest (its goals, "
            f"constraints and decisions are never dropped), and {budget - kept_tokens} are left")


def fit(record: dict[str, Any], kept_tokens: int, budget: int | None,
        render: Render) -> Fitted:
    """The record, made smaller when its context text would take the list over the token
    budget; its text, its tokens, and the budget note (None when it fits)."""
    text, tokens = render(record)
    if budget is None or kept_tokens + tokens <= budget or kept_tokens >= budget:
        return Fitted(record, text, tokens, budget_note(kept_tokens, tokens, budget))
    fitted, _ = carry.shrink_to_fit(record, lambda r: render(r)[1], budget - kept_tokens)
    text, tokens = render(fitted)
    return Fitted(fitted, text, tokens, budget_note(kept_tokens, tokens, budget))
