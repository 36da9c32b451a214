"""How a `Condenser` makes a conversation smaller: a strategy, chosen by name.

- ``summarize``: the oldest messages are handed to the summarizer and one context message
  stands in their place (what the condenser always did).
- ``clear-tool-results``: the results of all but the newest tool uses become one-line
  placeholders (`clearing.ClearToolResults`); nothing is summarized.
- ``clear-thinking``: the reasoning of all but the newest assistant turn is removed
  (`clearing.ClearThinking`); nothing is summarized.
- ``hybrid``: tool results are cleared first, then thinking, each only while the
  conversation is still over the budget; what clearing cannot bring within it is
  summarized.
- ``clear-thinking-then-summarize``: the reasoning of all but the newest assistant turn
  is removed while the conversation is over the budget; what is still over it is
  summarized. Tool outputs are never cleared, only summarized.

A strategy that clears and then summarizes has the summary read the tool results it
cleared as they were, not the placeholders (removed reasoning stays removed).

A `Strategy` is its edits, applied in order, and whether it summarizes after them: a
caller may make its own (``Strategy("mine", (ClearToolResults(keep=5),))``).

`from_request` reads the Anthropic API's ``context_management`` (its edits, with the
API's defaults), for a proxy that carries them out in front of another model.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence
from typing import Any, Literal

from .clearing import ClearThinking, ClearToolResults, Edit, Threshold


@dataclasses.dataclass(frozen=True)
class Strategy:
    """name: how it is named (in reports, and for the named ones, by the options);
    edits: the clearing edits, applied in order; summarize: whether what they leave over
    the budget is summarized."""

    name: str
    edits: tuple[Edit, ...] = ()
    summarize: bool = True

    def __post_init__(self) -> None:
        edits = tuple(self.edits)
        for edit in edits:
            if not isinstance(edit, (ClearToolResults, ClearThinking)):
                raise TypeError(f"an edit is a ClearToolResults or a ClearThinking, not "
                                f"{type(edit).__name__}")
        object.__setattr__(self, "edits", edits)
        if not edits and not self.summarize:
            raise ValueError(f"strategy {self.name!r} neither clears nor summarizes")


SUMMARIZE = Strategy("summarize")
CLEAR_TOOL_RESULTS = Strategy("clear-tool-results", (ClearToolResults(),), summarize=False)
CLEAR_THINKING = Strategy("clear-thinking", (ClearThinking(),), summarize=False)
HYBRID = Strategy("hybrid", (ClearToolResults(), ClearThinking()))
THINKING_THEN_SUMMARIZE = Strategy("clear-thinking-then-summarize", (ClearThinking(),))

STRATEGIES: Mapping[str, Strategy] = {s.name: s for s in (
    SUMMARIZE, CLEAR_TOOL_RESULTS, CLEAR_THINKING, HYBRID, THINKING_THEN_SUMMARIZE)}
"""The named strategies, each with its edits' defaults."""


def strategy_of(value: str | Strategy) -> Strategy:
    """The strategy a name names, or the strategy given."""
    if isinstance(value, Strategy):
        return value
    found = STRATEGIES.get(value) if isinstance(value, str) else None
    if found is None:
        raise ValueError(f"strategy must be one of {', '.join(STRATEGIES)} or a Strategy, "
                         f"got {value!r}")
    return found


def named(name: str, *, trigger: tuple[str, int] | None = None, keep_tool_uses: int = 3,
          clear_at_least: int | None = None, exclude_tools: Sequence[str] = (),
          clear_tool_inputs: bool | Sequence[str] = False,
          keep_thinking: int | str = 1) -> Strategy:
    """A named strategy with its edits' options (the command line's): ``trigger``,
    ``keep_tool_uses``, ``clear_at_least``, ``exclude_tools`` and ``clear_tool_inputs``
    for clearing tool results, ``keep_thinking`` (turns, or "all") for clearing
    thinking. An option of an edit the strategy does not make is ignored."""
    base = strategy_of(name)
    tools = ClearToolResults(trigger=Threshold(*trigger) if trigger else None,
                             keep=keep_tool_uses, clear_at_least=clear_at_least,
                             exclude_tools=frozenset(exclude_tools),
                             clear_tool_inputs=clear_tool_inputs if isinstance(
                                 clear_tool_inputs, bool) else frozenset(clear_tool_inputs))
    kept: int | Literal["all"] = "all" if keep_thinking == "all" else int(keep_thinking)
    thinking = ClearThinking(keep=kept, trigger=Threshold(*trigger) if trigger and
                             trigger[0] == "input_tokens" else None)
    edits = tuple(tools if isinstance(e, ClearToolResults) else thinking for e in base.edits)
    return dataclasses.replace(base, edits=edits)


# -- the Anthropic API's context_management --------------------------------------------------

ANTHROPIC_TRIGGER = Threshold("input_tokens", 100_000)
"""The trigger of a ``clear_tool_uses_20250919`` edit that names none."""


class EditError(ValueError):
    """A ``context_management`` value that is not the API's shape, or names an edit that
    is not carried out here: says which and why."""


def _amount(edit: Mapping[str, Any], key: str, kinds: tuple[str, ...]) -> Threshold | None:
    value = edit.get(key)
    if value is None:
        return None
    if not isinstance(value, Mapping) or value.get("type") not in kinds:
        raise EditError(f"{edit['type']}.{key} must be an object with type "
                        f"{' or '.join(kinds)}, got {value!r}")
    amount = value.get("value")
    if isinstance(amount, bool) or not isinstance(amount, int) or amount < 0:
        raise EditError(f"{edit['type']}.{key}.value must be a whole number, got {amount!r}")
    return Threshold(value["type"], amount)


def _tool_names(edit: Mapping[str, Any], key: str) -> Sequence[str]:
    value = edit.get(key) or ()
    if isinstance(value, str) or not isinstance(value, (list, tuple)) or \
            not all(isinstance(v, str) for v in value):
        raise EditError(f"{edit['type']}.{key} must be a list of tool names, got {value!r}")
    return value


def _edit(edit: Any) -> Edit:
    if not isinstance(edit, Mapping):
        raise EditError(f"an edit must be an object, got {edit!r}")
    kind = edit.get("type")
    if kind == ClearToolResults.type:
        trigger = _amount(edit, "trigger", ("input_tokens", "tool_uses"))
        keep = _amount(edit, "keep", ("tool_uses",))
        least = _amount(edit, "clear_at_least", ("input_tokens",))
        inputs = edit.get("clear_tool_inputs")
        return ClearToolResults(
            trigger=trigger or ANTHROPIC_TRIGGER, keep=keep.value if keep else 3,
            clear_at_least=least.value if least else None,
            exclude_tools=frozenset(_tool_names(edit, "exclude_tools")),
            clear_tool_inputs=bool(inputs) if inputs is None or isinstance(inputs, bool)
            else frozenset(_tool_names(edit, "clear_tool_inputs")))
    if kind == ClearThinking.type:
        keep_value = edit.get("keep")
        if keep_value is None:
            return ClearThinking(keep=1, trigger=Threshold("input_tokens", 0))
        if keep_value != "all" and not (isinstance(keep_value, Mapping)
                                        and keep_value.get("type") == "all"):
            found = _amount(edit, "keep", ("thinking_turns",))
            if found is None or found.value < 1:
                raise EditError(f"{kind}.keep must keep at least 1 turn, got {keep_value!r}")
            return ClearThinking(keep=found.value, trigger=Threshold("input_tokens", 0))
        return ClearThinking(keep="all", trigger=Threshold("input_tokens", 0))
    raise EditError(f"edit type {kind!r} is not carried out here: only "
                    f"{ClearToolResults.type} and {ClearThinking.type} are")


def from_request(context_management: Any) -> tuple[Edit, ...]:
    """The edits of a Messages request's ``context_management`` (``{"edits": [...]}``),
    each with the API's defaults where it names none: clearing tool uses fires at 100,000
    input tokens and keeps 3, clearing thinking always applies and keeps 1 turn."""
    if not isinstance(context_management, Mapping):
        raise EditError(f"context_management must be an object, got {context_management!r}")
    edits = context_management.get("edits", [])
    if not isinstance(edits, (list, tuple)):
        raise EditError(f"context_management.edits must be a list, got {edits!r}")
    return tuple(_edit(edit) for edit in edits)
