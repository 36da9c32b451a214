"""Condensing: keep a growing agent conversation within a budget.

A `Condenser` decides when a conversation is too long, which of its oldest messages to
hand to a summarizer, and how to put the summary back (its ``strategy`` may clear old
tool results and thinking first, or instead: see `strategies`)::

    condenser = Condenser(ConversationSummarizer(client), max_tokens=8000, keep_last=6)
    messages, state = await condenser.condense(messages)
    ...                                       # the agent appends new messages
    messages, state = await condenser.condense(messages, state)

The new list is the leading system and developer messages (kept when `keep_system` is
on), the user's first turn (kept when `keep_first` is on) and the items no summary can
stand for (a platform's compaction item), in their order, then one context message holding
the rendered summary (role "system" or "user", see `context_role`), then the user's later
requests that were kept (`keep_requests`) and the kept tail of the conversation, verbatim.  Passing the returned state to the next call
chains the summaries: the earlier summary's text is given to the summarizer as
`existing_summary`, and the earlier context message is recognised and replaced rather
than summarized as if it were conversation.

Rules the condenser keeps:

* a conversation within budget is returned unchanged (as a new list);
* an assistant message with tool calls and the tool results answering it are never split:
  they are summarized together or kept together, also when other messages come between;
* an assistant message whose tool calls still wait for results (only tool messages follow
  it) is never summarized, so a result that arrives later still finds its call;
* the newest `keep_last` messages are always kept verbatim, extended further back only as
  far as keeping a tool call with its results needs;
* beyond that, as few messages as possible are summarized, but enough that the kept part
  (what is kept in front and the tail) fits the target budget, where the rules above
  allow it; when what is kept in front alone reaches the target, the rest is given the
  whole budget on top of it (`CondenseState.floor_tokens`);
* the caller's list is never changed; message records are shared, never copied or changed;
* over repeated calls, every original message is either kept or was handed to exactly
  one summary (`CondenseState.summarized_messages` shows which).

Token counts come from a pluggable per-message counter.  The default, `estimate_tokens`,
is a character estimate: one token per `CHARS_PER_TOKEN` characters of the message's text
(content, tool-call names and arguments, tool-call id), rounded up, plus
`MESSAGE_OVERHEAD_TOKENS` per message for the role and framing.  It is meant for English
text and code; pass a real tokenizer's count for exact budgets.
"""
from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple

from ..formats import (AUTO, MEDIA_KINDS, BodyContext, BodyField, Conversation,
                      check_format, read_conversation, read_more, with_items)
from ..formats.base import Message as Message  # the record type the integrations name too
from ..native import is_fallback_summary, parse_context
from ..settings import TOOL
from ..tokens import CHARS_PER_TOKEN, MEDIA_TOKENS, MESSAGE_OVERHEAD_TOKENS, estimate_tokens
from .. import carry
from . import cuts
from .clearing import AppliedEdit, Edit, Replaced, Work, apply_edits
from .fit import Fitted, fit
from .strategies import Strategy, strategy_of

__all__ = [
    "CHARS_PER_TOKEN",
    "MESSAGE_OVERHEAD_TOKENS",
    "MEDIA_TOKENS",
    "CondenseResult",
    "CondenseState",
    "Condenser",
    "estimate_tokens",
]

def _recheck(record: dict[str, Any], kept: list[Any]) -> dict[str, Any]:
    """The summary with the blockers it carries that a kept message settles moved to
    its facts: the kept messages are newer than anything the summary was handed."""
    if not kept or not record.get("blockers"):
        return record
    from morvex.core.summarizer import _format_messages_for_summary

    from ..clients.extractive import settle_with
    try:
        transcript = _format_messages_for_summary(carry.skim_outputs(list(kept)))
    except Exception:  # a record the module cannot read: nothing to check it against
        return record
    return settle_with(record, transcript)


@dataclasses.dataclass(frozen=True)
class CondenseState:
    """What one `condense` call did, and what the next call needs to chain onto it.

    summary: the latest summary record (carried over unchanged by a call that summarized
        nothing), or None before the first summary.
    summary_text: the context text of that record; given to the summarizer as
        `existing_summary` by the next summary.
    context_message: the message that holds `summary_text` in the returned list.
    summarized: messages handed to the summarizer by this call.
    summarized_messages: those messages, oldest first, as the list held them; of a tool
        result that clearing replaced, the summarizer was handed the result as given, not
        the placeholder.
    total_summarized: messages handed to summaries over the whole chain.
    tokens_before, tokens_after: token counts of the list given and the list returned.
    messages_before, messages_after: their lengths.
    fallback: the summary was built without the model (the native summarizer's fallback);
        the earlier summary's lists were kept in it.
    summary_tokens: tokens of the context message in the returned list (0 without one).
    within_budget: the returned list is within the budget (False when the rules left
        nothing to summarize, or when the kept part alone exceeds the budget).
    format: the conversation's format, once something only that format writes was seen;
        a later call given this state reads messages that several formats share (as a
        condensed list may hold only such) in that format.
    budget_note: why the returned list is over the token budget, when a summary was made
        and still it could not be met (None otherwise).
    refitted: nothing could be summarized, and the earlier summary was made smaller to
        bring the list within the budget (its context message replaced; nothing else
        changed).
    floor_tokens: the tokens of what condensing keeps whatever it summarizes (the
        instructions and leading system messages, the user's first turn and requests,
        items no summary can stand for) when they alone reach the target, so that the
        budget cannot be met (0 otherwise). The rest is then condensed within the budget
        on top of them, and `budget_note` says so.
    applied_edits: what each clearing edit of the strategy did in this call (those that
        cleared something), in the order they ran; `AppliedEdit.as_dict` gives each in
        the Anthropic API's ``applied_edits`` shape.
    rewritten: the given items that clearing replaced, each with what stands in its
        place in the returned list (None for an item left out: one that was nothing but
        reasoning).
    """

    summary: dict[str, Any] | None = None
    summary_text: str | None = None
    context_message: dict[str, Any] | None = None
    summarized: int = 0
    summarized_messages: tuple[Message, ...] = ()
    total_summarized: int = 0
    tokens_before: int = 0
    tokens_after: int = 0
    messages_before: int = 0
    messages_after: int = 0
    fallback: bool = False
    summary_tokens: int = 0
    within_budget: bool = True
    format: str | None = None
    budget_note: str | None = None
    refitted: bool = False
    floor_tokens: int = 0
    applied_edits: tuple[AppliedEdit, ...] = ()
    rewritten: tuple[tuple[Any, Any], ...] = ()

    @property
    def condensed(self) -> bool:
        """True when this call replaced messages with a summary."""
        return self.summarized > 0

    @property
    def changed(self) -> bool:
        """True when the returned list differs from the given one: summarized, the
        earlier summary refitted, or something cleared."""
        return self.condensed or self.refitted or bool(self.rewritten)

    @property
    def cleared_tool_uses(self) -> int:
        """Tool uses whose results (or inputs) this call cleared."""
        return sum(e.cleared_tool_uses for e in self.applied_edits)

    @property
    def cleared_thinking_turns(self) -> int:
        """Assistant turns whose reasoning this call removed."""
        return sum(e.cleared_thinking_turns for e in self.applied_edits)

    @property
    def cleared_tokens(self) -> int:
        """Tokens that clearing freed in this call."""
        return sum(e.cleared_input_tokens for e in self.applied_edits)


_MEMO = "_memo"
"""The attribute of a CondenseState that holds what its call read (a `_Memo`)."""
_ASIDE = "_aside"
"""The attribute of a CondenseState that holds the items its summary left out to fit the
budget (`carry.left_out`), which the next summary puts back when it has room for them."""
_REPLACED = "_replaced"
"""The attribute of a CondenseState that holds what the cleared items of its returned list
replaced (a `clearing.Replaced`), for a strategy that clears and then summarizes."""


@dataclasses.dataclass(frozen=True)
class _Memo:
    """A conversation returned unchanged, as read and counted: the next call, given its
    state back with messages appended, reads and counts only those. Kept for the
    condenser, the counter and the format that made it."""

    owner: Any
    counter: Any
    media: tuple[tuple[str, int], ...]
    input_format: str
    conversation: Conversation
    fields: int
    counts: list[int]
    tokens: int
    carried: int

    def items(self) -> list[Any]:
        """The conversation's own items (a body's instructions left out), as returned; not
        to be changed."""
        items = self.conversation.items
        return items[self.fields:] if self.fields else items


@dataclasses.dataclass(frozen=True)
class _Cleared:
    """What the strategy's edits did to a round's conversation, and its size before."""

    tokens: int
    length: int
    applied: tuple[AppliedEdit, ...]
    rewritten: tuple[tuple[Any, Any], ...]
    as_given: tuple[tuple[Any, Any], ...]  # those a summary reads as given


@dataclasses.dataclass(frozen=True)
class _Round:
    """A conversation as one round read it (and cleared it), and the state the round
    chains onto."""

    previous: CondenseState
    conversation: Conversation
    known: str | None  # the conversation's format, as far as it is known
    fields: int  # a body's instructions among its items
    counts: list[int]  # tokens of each item
    tokens: int
    length: int  # messages (items without the instructions)
    carried: int  # tokens of the earlier context message in it, 0 without one
    cleared: _Cleared | None = None


class CondenseResult(NamedTuple):
    messages: list[Message]
    state: CondenseState


def _positive(name: str, value: Any, *, zero: bool = False) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < 0 or (value == 0 and not zero):
        raise ValueError(f"{name} must be {'non-negative' if zero else 'positive'}, got {value}")
    return value


class _NoSummarizer:
    """The summarizer of a condenser whose strategy never summarizes."""

    async def summarize_messages(self, messages: Any, existing_summary: Any = None) -> Any:
        raise AssertionError("this condenser's strategy does not summarize")

    def format_summary_for_context(self, record: Any) -> str:
        raise AssertionError("this condenser's strategy does not summarize")


def _length(items: Sequence[Any]) -> int:
    """Messages in a conversation's items, without a body's top-level instructions."""
    return sum(1 for i in items if not isinstance(i, (BodyField, BodyContext)))


class Condenser:
    """Condensing policy around a summarizer.

    summarizer: a `morvex.core.summarizer.ConversationSummarizer`, or any object with an
        awaitable `summarize_messages(messages, existing_summary)` giving a record and a
        `format_summary_for_context(record)` giving its text; or an LLM client (an object
        with a `complete` coroutine, such as the package's clients), which is wrapped in a
        `ConversationSummarizer`.
    max_tokens: condense when the conversation counts more tokens than this.
    max_messages: condense when it holds more messages than this.
    target_tokens, target_messages: after condensing, the kept part (system message and
        tail; for messages, the context message too) is brought within these where the
        rules allow; default three quarters of the budget, which leaves the rest to the
        summary and to the messages that follow.
    keep_last: the newest messages always kept verbatim.
    keep_system: keep the leading system (and developer) messages in front, in order.
    keep_first: keep the user's first turn verbatim after them (the messages in which
        agents send their instructions files, the environment and the request), in front
        of the summary.
    keep_requests: keep the user's later requests verbatim too, in order, right after the
        summary, the newest first as far as they take a quarter of `target_tokens` (older
        ones are summarized). The first summary is told the first turn, and every summary
        the requests it covers.
    context_role: "system" or "user", the role of the context message.
    token_counter: tokens of one message record in the summarizer's shape; default
        `estimate_tokens`. A message of another format is counted through its converted
        records, plus `media_tokens` per image, audio clip and file in it.
    media_tokens: tokens per "image", "audio" and "file"; default `MEDIA_TOKENS`.
    input_format: the conversation format, or "auto" to detect it (see
        `morvex_summarize.formats`); a call's own `input_format` overrides it.
    strategy: how the conversation is made smaller: "summarize" (the default),
        "clear-tool-results", "clear-thinking", "hybrid", "clear-thinking-then-summarize",
        or a `Strategy` (see
        `morvex_summarize.condense.strategies`). A strategy that never summarizes needs
        no summarizer (pass None).
    """

    def __init__(
        self,
        summarizer: Any,
        *,
        max_tokens: int | None = None,
        max_messages: int | None = None,
        keep_last: int = TOOL.keep_last,
        keep_system: bool = True,
        keep_first: bool = TOOL.keep_first,
        keep_requests: bool = False,
        context_role: str = TOOL.context_role,
        token_counter: Callable[[Message], int] | None = None,
        target_tokens: int | None = None,
        target_messages: int | None = None,
        media_tokens: Mapping[str, int] | None = None,
        input_format: str = AUTO,
        strategy: str | Strategy = TOOL.strategy,
    ) -> None:
        self.strategy = strategy_of(strategy)
        if summarizer is None and not self.strategy.summarize:
            summarizer = _NoSummarizer()
        if (not callable(getattr(summarizer, "summarize_messages", None))
                and callable(getattr(summarizer, "complete", None))):
            from morvex.core.summarizer import ConversationSummarizer

            summarizer = ConversationSummarizer(summarizer)
        for method in ("summarize_messages", "format_summary_for_context"):
            if not callable(getattr(summarizer, method, None)):
                raise TypeError(f"summarizer has no {method}() method "
                                "(and is no LLM client with complete())")
        self.max_tokens = _positive("max_tokens", max_tokens)
        self.max_messages = _positive("max_messages", max_messages)
        if self.max_tokens is None and self.max_messages is None:
            raise ValueError("a Condenser needs max_tokens or max_messages")
        keep = _positive("keep_last", keep_last, zero=True)
        if keep is None:
            raise TypeError("keep_last must be an int, not None")
        self.keep_last: int = keep
        if context_role not in ("system", "user"):
            raise ValueError(f"context_role must be 'system' or 'user', got {context_role!r}")
        if token_counter is not None and not callable(token_counter):
            raise TypeError("token_counter must be callable")
        self.target_tokens = self._target("tokens", self.max_tokens, target_tokens)
        self.target_messages = self._target("messages", self.max_messages, target_messages)
        self.summarizer = summarizer
        self.keep_system = bool(keep_system)
        self.keep_first = bool(keep_first)
        self.keep_requests = bool(keep_requests)
        self.context_role = context_role
        self.token_counter = token_counter or estimate_tokens
        self.media_tokens = dict(MEDIA_TOKENS)
        for kind, tokens in (media_tokens or {}).items():
            if kind not in MEDIA_KINDS:
                raise ValueError(f"media_tokens: unknown kind {kind!r} "
                                 f"(one of {', '.join(MEDIA_KINDS)})")
            checked = _positive(f"media_tokens[{kind!r}]", tokens, zero=True)
            self.media_tokens[kind] = checked or 0
        self.input_format = check_format(input_format)

    @staticmethod
    def _target(kind: str, budget: int | None, target: Any) -> int | None:
        checked = _positive(f"target_{kind}", target, zero=True)
        if budget is None:
            if checked is not None:
                raise ValueError(f"target_{kind} needs max_{kind}")
            return None
        if checked is None:
            return budget * 3 // 4
        if checked > budget:
            raise ValueError(f"target_{kind} ({checked}) exceeds max_{kind} ({budget})")
        return checked

    # -- counting ---------------------------------------------------------------------

    def count_message(self, message: Message) -> int:
        count = self.token_counter(message)
        if isinstance(count, bool) or not isinstance(count, int):
            raise TypeError(f"token_counter returned {type(count).__name__}, not int")
        if count < 0:
            raise ValueError(f"token_counter returned a negative count ({count})")
        return count

    def count_items(self, conversation: Conversation) -> list[int]:
        """Tokens of each item of a conversation: its records, and its media."""
        return self._count_from(conversation, 0)

    def _count_from(self, conversation: Conversation, start: int) -> list[int]:
        counts = []
        count_message = self.count_message
        items, views = conversation.items, conversation.views
        if start:
            items, views = items[start:], views[start:]
        for item, view in zip(items, views):
            if view is None:
                counts.append(count_message(item))
                continue
            count = sum(count_message(m) for m in view.messages)
            for kind, number in view.media.items():
                count += self.media_tokens.get(kind, 0) * number
            counts.append(count)
        return counts

    def count_tokens(self, messages: Any, input_format: str | None = None) -> int:
        """Tokens of a conversation in any format, by the configured counter."""
        return sum(self.count_items(read_conversation(messages,
                                                      input_format or self.input_format)))

    def within_budget(self, tokens: int, length: int) -> bool:
        if self.max_tokens is not None and tokens > self.max_tokens:
            return False
        return self.max_messages is None or length <= self.max_messages

    # -- condensing -------------------------------------------------------------------

    async def condense(self, messages: Any, state: CondenseState | None = None, *,
                       input_format: str | None = None) -> CondenseResult:
        """Returns (the conversation condensed, in the shape and format it was given;
        state); see the module documentation."""
        if state is not None and not isinstance(state, CondenseState):
            raise TypeError(f"state must be a CondenseState or None, not {type(state).__name__}")
        requested = input_format or self.input_format
        read = self._read(messages, state, requested)
        if self.strategy.edits:
            read = self._clear(read)
        conversation, counts, previous = read.conversation, read.counts, read.previous
        if self.within_budget(read.tokens, read.length) or not self.strategy.summarize:
            return self._as_read(read, requested)

        items = conversation.items
        parts = cuts.split(conversation, previous.context_message, previous.summary_text,
                           self.keep_system, self.keep_first)
        body, earlier_text, drop = parts.body, parts.earlier_text, parts.drop
        front = parts.heads + parts.first
        pinned = self._pinned(conversation, body, counts)
        front_tokens = sum(counts[i] for i in front) + sum(counts[body[k]] for k in pinned)
        body_counts = [0 if k in pinned else counts[i] for k, i in enumerate(body)]
        budget, target, floor = self._budget(front_tokens)
        if floor and (budget is None or read.tokens <= budget) and (
                self.max_messages is None or read.length <= self.max_messages):
            # What must be kept leaves the budget unmeetable: the rest has not outgrown
            # the budget it is given on top of it.
            return self._as_read(read, requested, floor)
        if target is not None and budget is not None and previous.summary is not None:
            # Room for a summary about the size of the last one: the kept part is brought
            # within what the budget leaves beside it, when that is less than the target.
            target = max(0, min(target, budget - previous.summary_tokens))
        cut = cuts.choose_cut(conversation, body, body_counts, len(front), front_tokens,
                              keep_last=self.keep_last, target_tokens=target,
                              target_messages=self.target_messages, pinned=pinned)
        if all(k in pinned for k in range(cut)):
            cut = 0  # only what is kept anyway: nothing to summarize
        earlier = previous.summary if previous.summary is not None else (
            parse_context(earlier_text) if earlier_text else None)
        aside = getattr(previous, _ASIDE, None)
        heads = [items[i] for i in parts.heads]
        first = [items[i] for i in parts.first]
        if cut == 0:
            if drop is not None and earlier and budget is not None:
                # Nothing more can be summarized: the earlier summary is made smaller.
                kept_tokens = read.tokens - counts[drop]
                whole = carry.put_back(earlier, aside)
                fitted = fit(whole, kept_tokens, budget, self._render)
                if fitted.tokens < counts[drop]:
                    result, holder = conversation.rebuild(
                        heads, first, [items[i] for i in body], fitted.text,
                        self.context_role)
                    return CondenseResult(result, self._state(
                        read, fitted, holder, kept_tokens, read.length, refitted=True,
                        aside=carry.left_out(whole, fitted.record), floor=floor))
            return CondenseResult(conversation.unchanged(), self._state(read, floor=floor))

        handed = body[:cut]
        summarized = [i for k, i in enumerate(handed) if k not in pinned]
        # Kept items from the summarized part: an opaque one in front of the summary (it
        # stands for what came before it), a request after it (so the next round reads
        # it as part of the body again, not of the user's first turn).
        opaque = [items[i] for k, i in enumerate(handed)
                  if k in pinned and conversation.view(i).opaque]
        requests = [items[i] for k, i in enumerate(handed)
                    if k in pinned and not conversation.view(i).opaque]
        # The first summary is told the user's first turn, which it is not handed: the
        # request the work is for.
        shown = handed if earlier_text is not None or previous.summary is not None \
            else parts.first + handed
        # What clearing replaced is read as it was, not as its placeholder: by the summary,
        # and by the check of the summary against the kept messages.
        replaced = self._replaced(read)
        originals = replaced.originals(conversation, [*shown, *body[cut:]])
        source = with_items(conversation, originals) if originals else conversation
        record = await self.summarizer.summarize_messages(
            carry.skim_outputs(source.messages_of(shown)), earlier_text)
        fallback = is_fallback_summary(record)
        if fallback:
            record = carry.merge_fallback(previous.summary, record, earlier_text)
        record = carry.put_back(carry.restore_goals(earlier, record), aside)
        record = _recheck(record, source.messages_of(body[cut:]))
        kept_tokens = front_tokens + sum(body_counts[cut:])
        fitted = fit(record, kept_tokens, budget, self._render)
        result, holder = conversation.rebuild(heads, first + opaque,
                                              requests + [items[i] for i in body[cut:]],
                                              fitted.text, self.context_role)
        if replaced:
            replaced = replaced.kept(conversation, [i for k, i in enumerate(body)
                                                    if k >= cut or k in pinned])
        length_after = _length(result if isinstance(result, list) else
                               result[conversation.items_key])
        return CondenseResult(result, self._state(
            read, fitted, holder, kept_tokens, length_after,
            handed=tuple(items[i] for i in summarized), fallback=fallback,
            aside=carry.left_out(record, fitted.record), floor=floor, replaced=replaced))

    def clear(self, messages: Any, edits: Sequence[Edit], *, extra_tokens: int = 0,
              input_format: str | None = None) -> tuple[Any, tuple[AppliedEdit, ...]]:
        """(the conversation with ``edits`` carried out, in the shape and format it was
        given; what each edit cleared). Each edit fires at its own trigger, counting
        ``extra_tokens`` besides the conversation's (what else a request sends), and one
        without a trigger when the conversation is over this condenser's budget. Nothing
        is summarized; the caller's items are never changed. This is how a request's own
        edits are carried out (`strategies.from_request`)."""
        conversation = read_conversation(messages, input_format or self.input_format)
        counts = self.count_items(conversation)
        work = Work(conversation, counts, self.count_items,
                    lambda tokens, length: not self.within_budget(tokens, length),
                    extra_tokens=extra_tokens)
        apply_edits(tuple(edits), work)
        return work.conversation.unchanged(), tuple(work.applied)

    def _clear(self, read: _Round) -> _Round:
        """The round with the strategy's edits applied to its conversation (the round
        itself when none cleared anything)."""
        work = Work(read.conversation, read.counts, self.count_items,
                    lambda tokens, length: not self.within_budget(tokens, length),
                    tokens=read.tokens)
        apply_edits(self.strategy.edits, work)
        if not work.applied:
            return read
        return dataclasses.replace(
            read, conversation=work.conversation, counts=work.counts, tokens=work.tokens,
            length=work.length(), cleared=_Cleared(read.tokens, read.length,
                                                   tuple(work.applied), work.rewritten(),
                                                   work.summarized_as_given()))

    def _as_read(self, read: _Round, requested: str, floor: int = 0) -> CondenseResult:
        """The conversation returned unchanged, with what the round read kept for the next
        call (which then reads and counts only the items appended)."""
        conversation = read.conversation
        memo = _Memo(self, self.token_counter, tuple(self.media_tokens.items()), requested,
                     conversation, read.fields, read.counts, read.tokens, read.carried)
        return CondenseResult(conversation.assemble(memo.items()[:]),
                              self._state(read, memo=memo, floor=floor))

    def _pinned(self, conversation: Conversation, body: list[int],
                counts: list[int]) -> frozenset[int]:
        """The body positions kept whatever the cut: the items no summary can stand for,
        and (with ``keep_requests``) the user's requests, the newest first, as far as
        they take a quarter of the target; older ones are summarized."""
        pinned = {k for k, i in enumerate(body) if conversation.view(i).opaque}
        if not self.keep_requests:
            return frozenset(pinned)
        room = self.target_tokens // 4 if self.target_tokens is not None else None
        for k in range(len(body) - 1, -1, -1):
            i = body[k]
            if k in pinned or not cuts.is_request(conversation, i):
                continue
            if room is not None:
                if counts[i] > room:
                    break
                room -= counts[i]
            pinned.add(k)
        return frozenset(pinned)

    def _budget(self, floor: int) -> tuple[int | None, int | None, int]:
        """(the token budget, the target, and ``floor`` or 0) for a round whose kept
        front and pinned items take ``floor`` tokens. When they alone reach the target,
        no summary can meet the budget: the rest is given the whole budget on top of
        them, so that it is summarized as often as the budget would have it, not on every
        call."""
        budget, target = self.max_tokens, self.target_tokens
        if budget is None or target is None or floor < target or floor == 0:
            return budget, target, 0
        return floor + budget, floor + target, floor

    def _read(self, messages: Any, state: CondenseState | None, requested: str) -> _Round:
        """The conversation given to a round, read and counted (only the items appended,
        when it is the one the last round returned unchanged)."""
        read = None
        if isinstance(messages, Conversation):  # already read (by a caller that checks first)
            conversation = messages
        else:
            # Read at once, before any await: the appended items are copied out of the
            # caller's list, which it may change while a summary is made.
            read = self._read_more(messages, state, requested)
            if read is None:
                if isinstance(messages, (list, tuple)):
                    messages = list(messages)  # a snapshot: the caller may change its list
                conversation = read_conversation(
                    messages, requested, default=state.format if state is not None else None)
            else:
                conversation = read[0]
        previous = state or CondenseState()
        fields = conversation.fields()
        if read is None:
            counts = self.count_items(conversation)
            tokens = sum(counts)
            marker = previous.context_message
            carried = next((c for m, c in zip(conversation.items, counts)
                            if cuts.same_message(m, marker)), 0)
        else:
            counts, tokens, carried = read[1], read[2], read[3]
        known = conversation.format if conversation.definite else previous.format
        return _Round(previous, conversation, known, fields, counts, tokens,
                      len(conversation.items) - fields, carried)

    def _state(self, read: _Round, fitted: Fitted | None = None, holder: Any = None,
               kept_tokens: int = 0, length_after: int | None = None, *,
               handed: tuple[Message, ...] = (), fallback: bool = False,
               refitted: bool = False, memo: _Memo | None = None,
               aside: dict[str, list[Any]] | None = None, floor: int = 0,
               replaced: Replaced | None = None) -> CondenseState:
        """The state a round ends in: with the summary ``fitted`` beside ``kept_tokens`` of
        kept messages, in the context message ``holder``, when the round made or refitted
        one, and the items its fitting set ``aside``; else with the earlier summary (and
        what was set aside) carried over and the conversation unchanged. ``floor``: the
        tokens of what must be kept, when they leave the budget unmeetable."""
        previous = read.previous
        if fitted is None:
            summary = (previous.summary, previous.summary_text, previous.context_message,
                       read.carried)
            aside = getattr(previous, _ASIDE, None)
            tokens_after, length_after, note = read.tokens, read.length, None
        else:
            summary = (fitted.record, fitted.text, holder, fitted.tokens)
            tokens_after, note = kept_tokens + fitted.tokens, fitted.note
        assert length_after is not None
        if floor:
            note = (f"what must be kept (instructions, system messages, the user's first "
                    f"turn and requests) takes {floor} tokens, over the target of "
                    f"{self.target_tokens}: the rest is condensed within {self.max_tokens} "
                    f"tokens on top of it")
        cleared = read.cleared
        state = CondenseState(
            summary=summary[0], summary_text=summary[1], context_message=summary[2],
            summarized=len(handed), summarized_messages=handed,
            total_summarized=previous.total_summarized + len(handed),
            tokens_before=read.tokens if cleared is None else cleared.tokens,
            tokens_after=tokens_after,
            messages_before=read.length if cleared is None else cleared.length,
            messages_after=length_after, fallback=fallback, summary_tokens=summary[3],
            within_budget=self.within_budget(tokens_after, length_after), format=read.known,
            budget_note=note, refitted=refitted, floor_tokens=floor,
            applied_edits=cleared.applied if cleared else (),
            rewritten=cleared.rewritten if cleared else ())
        # Not fields: the state's fields, its copies and its dict form stay the result's.
        if memo is not None:
            object.__setattr__(state, _MEMO, memo)
        if aside:
            object.__setattr__(state, _ASIDE, aside)
        if replaced is None:
            replaced = self._replaced(read)
        if replaced:
            object.__setattr__(state, _REPLACED, replaced)
        return state

    def _replaced(self, read: _Round) -> Replaced:
        """What the cleared items of the round's conversation replaced: those the state
        it chains onto knew of, and those its own clearing rewrote. Only a strategy that
        summarizes after clearing keeps them."""
        if not (self.strategy.edits and self.strategy.summarize):
            return Replaced()
        known = getattr(read.previous, _REPLACED, None) or Replaced()
        return known.after(read.cleared.rewritten, read.cleared.as_given) \
            if read.cleared else known

    def _read_more(self, doc: Any, state: CondenseState | None, requested: str
                   ) -> tuple[Conversation, list[int], int, int] | None:
        """(conversation, counts, tokens, tokens of the earlier context message) when
        ``doc`` is the conversation the last call returned unchanged with items appended:
        only those are read and counted. None when it is not (a full read decides).

        The items the last call returned are compared by identity first, at the cost of a
        list comparison: a record changed in place after it was returned is not seen."""
        memo = getattr(state, _MEMO, None)
        if type(self).count_items is not Condenser.count_items:
            return None  # a subclass counts in its own way: it counts everything
        if memo is None or memo.owner is not self or memo.counter is not self.token_counter \
                or memo.input_format != requested \
                or memo.media != tuple(self.media_tokens.items()):
            return None
        old = memo.conversation
        if isinstance(doc, list):
            if old.body is not None:
                return None
            given = doc
        else:
            body = old.body
            if type(doc) is not dict or body is None or doc.keys() != body.keys() or any(
                    doc[k] is not body[k] for k in doc if k != old.items_key):
                return None
            given = doc[old.items_key]
            if not isinstance(given, list):
                return None
        earlier = memo.items()
        if len(given) < len(earlier):
            return None
        try:
            if given[:len(earlier)] != earlier:
                return None
        except Exception:  # a record whose comparison fails: read the whole again
            return None
        # The new conversation holds the caller's items: equal to the earlier ones, they
        # need not be the same objects.
        conversation = read_more(old, given, requested)
        if conversation is None:
            return None
        counts = memo.counts
        tokens = memo.tokens
        if len(given) > len(earlier):
            more = self._count_from(conversation, len(old.items))
            counts = counts + more
            tokens += sum(more)
        return conversation, counts, tokens, memo.carried

    def _render(self, record: Mapping[str, Any]) -> tuple[str, int]:
        """(the context text of a record, its tokens as the context message)."""
        text = self.summarizer.format_summary_for_context(dict(record))
        if not isinstance(text, str):
            raise TypeError(f"format_summary_for_context returned {type(text).__name__}, not str")
        return text, self.count_message({"role": self.context_role, "content": text})
