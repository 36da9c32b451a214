"""Clearing: a conversation made smaller without a summary, as the model platforms manage
the context of their own models, here for any model and in every format.

Two edits, each named and shaped after the Anthropic API's context editing:

- `ClearToolResults` (``clear_tool_uses_20250919``): the results of all but the newest
  ``keep`` tool uses are replaced by a one-line placeholder that says what was there (the
  tool, the output's size, how the step ended as `steps` reads it: passed, failed with its
  error line, the files it changed). The call stays, so the model still sees what it did,
  and can call again for what it needs to see.
- `ClearThinking` (``clear_thinking_20251015``): the reasoning of all but the newest
  ``keep`` assistant turns that hold any is removed; the newest turn's never is (a tool
  loop needs it).

An edit fires at its ``trigger``, or without one when the conversation is over the
condenser's budget. Items are rewritten in their own format (`Reader.rewrite`,
`Reader.strip_thinking`); the caller's items are never changed, and every call keeps its
results. A placeholder is recognised again in a later round and left as it is.
"""

from __future__ import annotations

import dataclasses
import json
from collections.abc import Callable, Collection, Mapping, Sequence
from typing import Any, ClassVar, Literal, NamedTuple, Union

from ..session import evidence, steps
from ..formats import (BodyContext, BodyField, Conversation, rewrite_item, strip_thinking,
                       with_items)
from ..formats.parts import size_text, tool_calls

PLACEHOLDER = "[cleared tool result: "
"""How a cleared result's text starts."""

_QUOTE_LIMIT = 160  # characters of a failure's line in a placeholder
_FILES_SHOWN = 4  # files a placeholder names before "and N more"


def is_placeholder(text: Any) -> bool:
    """The text is a cleared result's placeholder (after the error flag a format may put
    in front of a failed result)."""
    if not isinstance(text, str):
        return False
    if text.startswith(evidence.ERROR_FLAG):
        text = text[len(evidence.ERROR_FLAG):].lstrip()
    return text.startswith(PLACEHOLDER) and "\n" not in text


# -- what a cleared result said ------------------------------------------------------------

def arguments_brief(arguments: Any) -> str:
    """A call's arguments as ``key=value, ...`` (the shape `steps` reads a call in)."""
    value: Any = arguments
    if isinstance(arguments, str):
        try:
            value = json.loads(arguments)
        except (ValueError, RecursionError):
            return arguments
    if isinstance(value, Mapping):
        return ", ".join(f"{k}={v if isinstance(v, str) else repr(v)}"
                         for k, v in value.items())
    return "" if value is None else str(value)


def _one_line(text: str, limit: int) -> str:
    words = " ".join(text.split())
    return words if len(words) <= limit else words[:limit - 3] + "..."


def step_note(name: str, arguments: Any, output: str) -> str:
    """How the step a result answers ended, as far as its call and output tell: the files
    it changed, then ``passed`` or ``failed: <the line to quote>``; empty when they tell
    nothing (a read that worked, a run that showed neither)."""
    brief = arguments_brief(arguments)
    line = evidence.shell_command(name, brief)
    act = steps.action(name, brief, line)
    if act.kind in (steps.READ, steps.SUBMIT):
        # What a read printed is the read's; only its own failure is told.
        failed = evidence.outcome(output, reads=True) == evidence.FAILED
        return f"failed: {_one_line(evidence.quote(output), _QUOTE_LIMIT)}" if failed else ""
    status = steps.status(output)
    changes = bool(act.edits or act.maybe or act.patch or act.removed)
    refused = changes and (
        steps.edit_refused(output)
        or (status not in (None, 0) and not steps.says_changed(output))
        or evidence.outcome(output, reads=True) == evidence.FAILED)
    outcome = steps.run_outcome(output, status, line is None) \
        if act.runs or act.kind == steps.RUN else None
    if outcome is None and refused:
        outcome = evidence.FAILED
    said = []
    if changes and not refused:
        named = steps.changed_in_output(output) if act.patch or act.maybe else ()
        files = list(dict.fromkeys([*act.edits, *named]))
        if files:
            shown = ", ".join(_one_line(f, 80) for f in files[:_FILES_SHOWN])
            more = len(files) - _FILES_SHOWN
            said.append(f"changed {shown}" + (f" and {more} more" if more > 0 else ""))
        if act.removed:
            said.append("removed " + ", ".join(_one_line(f, 80) for f in
                                               act.removed[:_FILES_SHOWN]))
    if outcome == evidence.FAILED:
        said.append(f"failed: {_one_line(evidence.quote(output), _QUOTE_LIMIT)}")
    elif outcome == evidence.PASSED:
        said.append("passed")
    return "; ".join(said)


def placeholder(name: str, arguments: Any, output: str) -> str:
    """The one line that stands for a cleared result: the tool, the output's size and
    how its step ended (`step_note`)."""
    size = size_text(len(output.encode("utf-8", "surrogatepass")))
    note = step_note(name, arguments, output)
    return f"{PLACEHOLDER}{_one_line(name, 60)}, {size}" + (f"; {note}]" if note else "]")


# -- the tool uses of a conversation -------------------------------------------------------

class _Use:
    """One tool call with its results: where the call is (item index, its position among
    the item's calls), what it called, and each result (item index, its position among
    the item's results, its text)."""

    __slots__ = ("index", "position", "name", "arguments", "results")

    def __init__(self, index: int, position: int, name: str, arguments: Any) -> None:
        self.index = index
        self.position = position
        self.name = name
        self.arguments = arguments
        self.results: list[tuple[int, int, str]] = []


def _key(value: Any) -> Any:
    try:
        hash(value)
    except TypeError:
        return repr(value)
    return value


def tool_uses(conversation: Conversation) -> list[_Use]:
    """The conversation's tool uses, oldest first, each with the results that answer it:
    by the call's id, else (a result without one) the first unanswered call without an
    id of the newest message that made calls."""
    uses: list[_Use] = []
    by_id: dict[Any, _Use] = {}
    anonymous: list[_Use] = []
    latest: _Use | None = None
    for index, item in enumerate(conversation.items):
        if isinstance(item, (BodyField, BodyContext)):
            continue
        called = answered = 0
        for message in conversation.view(index).messages:
            calls = tool_calls(message)
            if calls:
                anonymous = []
            for tc in calls:
                function = tc.get("function")
                if not isinstance(function, Mapping):
                    function = {}
                name = tc.get("name", function.get("name"))
                use = _Use(index, called, name if isinstance(name, str) else "unknown",
                           tc.get("arguments", function.get("arguments")))
                called += 1
                uses.append(use)
                latest = use
                if tc.get("id") is None:
                    anonymous.append(use)
                else:
                    by_id[_key(tc["id"])] = use
            if message.get("role") == "tool":
                call_id = message.get("tool_call_id")
                if call_id is not None:
                    owner = by_id.get(_key(call_id))
                else:
                    owner = anonymous.pop(0) if anonymous else latest
                content = message.get("content")
                if owner is not None:
                    owner.results.append((index, answered, content if isinstance(
                        content, str) else ""))
                answered += 1
    return uses


def _empty(arguments: Any) -> bool:
    return arguments in (None, "", "{}", {}) or (
        isinstance(arguments, str) and not arguments.strip("{} \n"))


# -- edits -------------------------------------------------------------------------------

class Threshold(NamedTuple):
    """An amount an edit fires beyond (``kind``: "input_tokens" or "tool_uses")."""

    kind: str
    value: int


@dataclasses.dataclass(frozen=True)
class AppliedEdit:
    """What one edit cleared, as the Anthropic API reports it (`as_dict`)."""

    type: str
    cleared_input_tokens: int
    cleared_tool_uses: int = 0
    cleared_thinking_turns: int = 0

    def as_dict(self) -> dict[str, Any]:
        """The edit in the API's ``context_management.applied_edits`` shape."""
        counted = ("cleared_thinking_turns" if self.type == ClearThinking.type
                   else "cleared_tool_uses")
        return {"type": self.type, counted: getattr(self, counted),
                "cleared_input_tokens": self.cleared_input_tokens}


def _threshold(value: Any, kinds: tuple[str, ...]) -> Threshold | None:
    if value is None:
        return None
    if not (isinstance(value, tuple) and len(value) == 2):
        raise TypeError(f"a trigger is a (kind, value) pair, not {value!r}")
    kind, amount = value
    if kind not in kinds:
        raise ValueError(f"a trigger's kind is {' or '.join(kinds)}, not {kind!r}")
    if isinstance(amount, bool) or not isinstance(amount, int) or amount < 0:
        raise ValueError(f"a trigger's value is a whole number of at least 0, not {amount!r}")
    return Threshold(kind, amount)


def _count(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ValueError(f"{name} must be a whole number of at least {minimum}, not {value!r}")
    return value


def _names(name: str, value: Any) -> frozenset[str]:
    if isinstance(value, str) or not isinstance(value, Collection) or \
            not all(isinstance(v, str) for v in value):
        raise TypeError(f"{name} must be a collection of tool names, not {value!r}")
    return frozenset(value)


@dataclasses.dataclass(frozen=True)
class ClearToolResults:
    """Replace the results of the older tool uses with a placeholder.

    trigger: fire beyond this many input tokens (``("input_tokens", N)``, the
        conversation's tokens plus the caller's ``extra_tokens``) or tool uses
        (``("tool_uses", N)``); None: when the conversation is over the condenser's
        budget. (Anthropic's default is 100,000 input tokens: `strategies.from_request`
        gives it to an edit a request names without one.)
    keep: the newest tool uses left as they are (default 3).
    clear_at_least: clear nothing unless at least this many tokens are freed.
    exclude_tools: tool names whose uses are never cleared.
    clear_tool_inputs: also empty the call's input (its arguments): True for every tool,
        or a collection of tool names; False leaves every call as it is.

    A result no longer than its placeholder stays (clearing it would free nothing), and
    so does a result a format keeps in a shape of its own (a screenshot, a server tool's
    results)."""

    trigger: Threshold | None = None
    keep: int = 3
    clear_at_least: int | None = None
    exclude_tools: frozenset[str] = frozenset()
    clear_tool_inputs: bool | frozenset[str] = False
    type: ClassVar[str] = "clear_tool_uses_20250919"

    def __post_init__(self) -> None:
        set_ = object.__setattr__
        set_(self, "trigger", _threshold(self.trigger, ("input_tokens", "tool_uses")))
        _count("keep", self.keep, 0)
        if self.clear_at_least is not None:
            _count("clear_at_least", self.clear_at_least, 0)
        set_(self, "exclude_tools", _names("exclude_tools", self.exclude_tools))
        if not isinstance(self.clear_tool_inputs, bool):
            set_(self, "clear_tool_inputs",
                 _names("clear_tool_inputs", self.clear_tool_inputs))

    def _inputs_of(self, name: str) -> bool:
        inputs = self.clear_tool_inputs
        return inputs if isinstance(inputs, bool) else name in inputs

    def apply(self, work: Work) -> AppliedEdit | None:
        by_uses = self.trigger is not None and self.trigger.kind == "tool_uses"
        if not by_uses and not work.triggered(self.trigger, 0):
            return None  # told without reading the calls: the common case in a loop
        uses = tool_uses(work.conversation)
        if by_uses and not work.triggered(self.trigger, len(uses)):
            return None
        conversation = work.conversation
        results: dict[int, dict[int, str]] = {}
        inputs: dict[int, set[int]] = {}
        planned: list[tuple[_Use, list[tuple[int, int]], bool]] = []
        for use in uses[:max(len(uses) - self.keep, 0)]:
            if use.name in self.exclude_tools:
                continue
            cleared = []
            for index, position, text in use.results:
                if is_placeholder(text):
                    continue
                stand_in = placeholder(use.name, use.arguments, text)
                if len(stand_in) < len(text):
                    results.setdefault(index, {})[position] = stand_in
                    cleared.append((index, position))
            emptied = self._inputs_of(use.name) and not _empty(use.arguments)
            if emptied:
                inputs.setdefault(use.index, set()).add(use.position)
            if cleared or emptied:
                planned.append((use, cleared, emptied))
        changes = {}
        for index in sorted(results.keys() | inputs.keys()):
            item = rewrite_item(conversation, index, results.get(index, {}),
                                frozenset(inputs.get(index, ())))
            if item is not conversation.items[index]:
                changes[index] = item
        if not changes:
            return None
        trial = work.trial(changes)
        if self.clear_at_least is not None and trial.freed < self.clear_at_least:
            return None
        # A tool use counts as cleared when its result (or its input) was, as the
        # rewritten items read.
        done = 0
        for use, cleared, emptied in planned:
            if any(is_placeholder(trial.result(index, position)) for index, position in
                   cleared) or (emptied and _empty(trial.arguments(use.index, use.position))):
                done += 1
        work.commit(trial, summarized_as_given=True)
        return AppliedEdit(self.type, trial.freed, cleared_tool_uses=done)


@dataclasses.dataclass(frozen=True)
class ClearThinking:
    """Remove the reasoning of the older assistant turns.

    keep: the newest assistant turns that hold reasoning whose reasoning stays (at least
        1: the newest turn's is never removed), or "all" (nothing is removed).
    trigger: fire beyond this many input tokens (``("input_tokens", N)``); None: when
        the conversation is over the condenser's budget. (Anthropic's edit has none and
        always applies: `strategies.from_request` gives a request's edit the trigger 0.)

    A turn is the assistant's items between two items of someone else's (a user message,
    a tool result): one Anthropic assistant message, a Responses reasoning item with the
    calls or message it led to."""

    keep: int | Literal["all"] = 1
    trigger: Threshold | None = None
    type: ClassVar[str] = "clear_thinking_20251015"

    def __post_init__(self) -> None:
        if self.keep != "all":
            _count("keep", self.keep, 1)
        object.__setattr__(self, "trigger", _threshold(self.trigger, ("input_tokens",)))

    def apply(self, work: Work) -> AppliedEdit | None:
        if self.keep == "all" or not work.triggered(self.trigger, 0):
            return None
        conversation = work.conversation
        # Per turn with reasoning: (its number, {index: the item without its reasoning}).
        turns: list[tuple[int, dict[int, Any]]] = []
        turn = -1
        within = False
        for index, item in enumerate(conversation.items):
            if isinstance(item, (BodyField, BodyContext)):
                continue
            if any(m.get("role") != "assistant" for m in conversation.view(index).messages):
                within = False
                continue
            if not within:
                turn, within = turn + 1, True
            stripped = strip_thinking(conversation, index)
            if stripped is not item:
                if not turns or turns[-1][0] != turn:
                    turns.append((turn, {}))
                turns[-1][1][index] = stripped
        older = turns[:max(len(turns) - self.keep, 0)]
        changes = {index: item for _, found in older for index, item in found.items()}
        if not changes:
            return None
        trial = work.trial(changes)
        work.commit(trial)
        return AppliedEdit(self.type, trial.freed, cleared_thinking_turns=len(older))


Edit = Union[ClearToolResults, ClearThinking]


# -- applying edits ------------------------------------------------------------------------

class _Trial:
    """A conversation with some items changed, counted, before the edit decides."""

    def __init__(self, conversation: Conversation, counts: list[int], freed: int,
                 changes: dict[int, Any], moved: dict[int, int]) -> None:
        self.conversation = conversation
        self.counts = counts
        self.freed = freed
        self.changes = changes
        self.moved = moved  # index before -> index after, for the items that stay

    def _messages(self, index: int) -> list[Any]:
        return self.conversation.view(self.moved[index]).messages

    def result(self, index: int, position: int) -> str:
        """The text of the item's result at ``position`` (of the item once at ``index``)."""
        found = [m for m in self._messages(index) if m.get("role") == "tool"]
        content = found[position].get("content") if position < len(found) else None
        return content if isinstance(content, str) else ""

    def arguments(self, index: int, position: int) -> Any:
        """The arguments of the item's call at ``position``."""
        calls = [tc for m in self._messages(index) for tc in tool_calls(m)]
        if position >= len(calls):
            return None
        function = calls[position].get("function")
        if not isinstance(function, Mapping):
            function = {}
        return calls[position].get("arguments", function.get("arguments"))


class Work:
    """A round's conversation as edits change it one after the other: its items, their
    tokens, what replaced which of the given items."""

    def __init__(self, conversation: Conversation, counts: list[int],
                 count_items: Callable[[Conversation], list[int]],
                 over: Callable[[int, int], bool], extra_tokens: int = 0,
                 tokens: int | None = None) -> None:
        self.conversation = conversation
        self.counts = counts
        self.count_items = count_items
        self.over = over
        self.extra_tokens = extra_tokens
        self.tokens = sum(counts) if tokens is None else tokens
        self.applied: list[AppliedEdit] = []
        self._origin: dict[int, tuple[Any, Any]] = {}  # id(item now) -> (given, item now)
        self._removed: list[Any] = []
        self._as_given: set[int] = set()  # ids of items now whose summary reads the given

    def length(self) -> int:
        return len(self.conversation.items) - self.conversation.fields()

    def triggered(self, trigger: Threshold | None, uses: int) -> bool:
        if trigger is None:
            return self.over(self.tokens, self.length())
        if trigger.kind == "tool_uses":
            return uses > trigger.value
        return self.tokens + self.extra_tokens > trigger.value

    def trial(self, changes: dict[int, Any]) -> _Trial:
        changed = with_items(self.conversation, changes)
        moved: dict[int, int] = {}
        at = 0
        for index in range(len(self.counts)):
            if index in changes and changes[index] is None:
                continue
            moved[index] = at
            at += 1
        kept = sorted(i for i, item in changes.items() if item is not None)
        recounted = dict(zip(kept, self.count_items(changed.part([moved[i] for i in kept]))))
        counts = [recounted.get(i, c) for i, c in enumerate(self.counts) if i in moved]
        return _Trial(changed, counts, self.tokens - sum(counts), changes, moved)

    def commit(self, trial: _Trial, summarized_as_given: bool = False) -> None:
        """Take the trial's items. ``summarized_as_given``: a summary of the changed items
        reads the given ones (what a tool said), not what stands in their place."""
        items = self.conversation.items
        for index, item in trial.changes.items():
            given, _ = self._origin.pop(id(items[index]), (items[index], None))
            as_given = summarized_as_given or id(items[index]) in self._as_given
            self._as_given.discard(id(items[index]))
            if item is None:
                self._removed.append(given)
            else:
                self._origin[id(item)] = (given, item)
                if as_given:
                    self._as_given.add(id(item))
        self.conversation, self.counts = trial.conversation, trial.counts
        self.tokens = sum(trial.counts)

    def rewritten(self) -> tuple[tuple[Any, Any], ...]:
        """(given item, what stands in its place now): those rewritten in the order they
        stand, then those left out (with None)."""
        now = [self._origin[id(item)] for item in self.conversation.items
               if id(item) in self._origin]
        return tuple(now) + tuple((given, None) for given in self._removed)

    def summarized_as_given(self) -> tuple[tuple[Any, Any], ...]:
        """Of `rewritten`, those a summary reads as given: cleared tool results (and
        inputs). Removed reasoning stays removed: the summary does not read it either."""
        return tuple(pair for pair in self.rewritten() if id(pair[1]) in self._as_given)


def apply_edits(edits: tuple[Edit, ...], work: Work) -> None:
    """Each edit in turn on the round's conversation (each one sees what those before it
    did); what each cleared is added to ``work.applied``."""
    for edit in edits:
        done = edit.apply(work)
        if done is not None:
            work.applied.append(done)


# -- what the cleared items were -----------------------------------------------------------

def _holds_placeholder(conversation: Conversation, index: int) -> bool:
    return any(m.get("role") == "tool" and is_placeholder(m.get("content"))
               for m in conversation.view(index).messages)


def _same(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except Exception:  # a record whose comparison fails is not the one looked for
        return False


class Replaced:
    """The given items clearing replaced, by the item that stands in each one's place, for
    as long as a conversation holds that item: what a later summary of it reads instead,
    so that a strategy that clears and then summarizes summarizes what the tools said, not
    the placeholders. Kept beside a condenser's state from one round to the next.

    An item is found as the object clearing returned, or as an equal one holding a
    placeholder (a list that went through a copy on its way back)."""

    __slots__ = ("_by_id",)

    def __init__(self, by_id: dict[int, tuple[Any, Any]] | None = None) -> None:
        self._by_id = by_id or {}  # id(stand-in) -> (stand-in, the item it replaced)

    def __bool__(self) -> bool:
        return bool(self._by_id)

    def after(self, rewritten: tuple[tuple[Any, Any], ...],
              as_given: tuple[tuple[Any, Any], ...]) -> Replaced:
        """These, and what a round's clearing rewrote ((given item, what stands in its
        place) pairs), of which ``as_given`` are those a summary reads as given: an item
        rewritten again stands for the item first replaced."""
        if not rewritten:
            return self
        found = dict(self._by_id)
        fresh = {id(now) for _, now in as_given}
        for given, now in rewritten:
            entry = found.pop(id(given), None)
            if now is None:
                continue
            if entry is not None:
                found[id(now)] = (now, entry[1])
            elif id(now) in fresh:
                found[id(now)] = (now, given)
        return Replaced(found)

    def originals(self, conversation: Conversation, indexes: Sequence[int]
                  ) -> dict[int, Any]:
        """{index: the item it replaced} for the items at ``indexes`` that stand for one."""
        out: dict[int, Any] = {}
        if not self._by_id:
            return out
        items = conversation.items
        for index in indexes:
            entry = self._by_id.get(id(items[index]))
            if entry is None and _holds_placeholder(conversation, index):
                entry = next((e for e in self._by_id.values() if _same(e[0], items[index])),
                             None)
            if entry is not None:
                out[index] = entry[1]
        return out

    def kept(self, conversation: Conversation, indexes: Sequence[int]) -> Replaced:
        """Those that the items at ``indexes`` (what a round kept) stand for."""
        items = conversation.items
        return Replaced({id(items[i]): (items[i], original)
                         for i, original in self.originals(conversation, indexes).items()})
