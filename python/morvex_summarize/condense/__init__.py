"""Condensing: keep a growing conversation within a token or message budget by summarizing
its oldest messages, clearing old tool results and thinking, or both (see `Condenser`).

condenser.py holds the policy and the state a round ends in; strategies.py the ways a
conversation is made smaller, and clearing.py the edits that clear; cuts.py where a
history may be cut; fit.py fitting a summary into the budget. Summaries that build on the
one before are the package's `carry` (the offline summarizer merges with them too)."""

from ..native import CONTEXT_HEADER, is_fallback_summary
from . import condenser
from .clearing import AppliedEdit, ClearThinking, ClearToolResults
from .condenser import *  # noqa: F403 (the names condenser.__all__ lists)
from .strategies import STRATEGIES, Strategy

# The module's own texts, importable from here as before they moved to native.
__all__ = [*condenser.__all__, "CONTEXT_HEADER", "is_fallback_summary", "AppliedEdit",
           "ClearThinking", "ClearToolResults", "STRATEGIES", "Strategy"]
