"""Condensing: keep a growing conversation within a token or message budget by summarizing
its oldest messages (see `Condenser`)."""

from .condenser import (CHARS_PER_TOKEN, CONTEXT_HEADER, MEDIA_TOKENS, MESSAGE_OVERHEAD_TOKENS,
                        CondenseResult, CondenseState, Condenser, estimate_tokens,
                        is_fallback_summary)

__all__ = [
    "CHARS_PER_TOKEN",
    "MESSAGE_OVERHEAD_TOKENS",
    "MEDIA_TOKENS",
    "CONTEXT_HEADER",
    "CondenseResult",
    "CondenseState",
    "Condenser",
    "estimate_tokens",
    "is_fallback_summary",
]
