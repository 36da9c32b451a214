"""Summaries of conversations longer than the model can read: in windows, each built on the
one before, so that no request is larger than the model's context.

``WindowedSummarizer`` has the summarizer's two methods (``summarize_messages`` and
``format_summary_for_context``) and is used wherever one is. A conversation whose prompt
fits is summarized in one request, as the summarizer alone would. A longer one is cut into
windows of whole messages, oldest first; each window is handed the context text of the
summary of the windows before it as its earlier summary, so the last summary is built from
all of them. The first goal and the user's constraints are carried over whatever the
model made of them.

Sizes are the bound of `morvex_summarize.tokens` (more than common tokenizers count), and
the model's reply is counted at the size the summarizer asks for. A request whose estimate is
over the bound is never sent; one the server refuses for its length is tried again with a
smaller window, down to a sixty-fourth of the first size, before the summary falls back to
the one built from the messages."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from typing import Any

from . import carry
from .errors import LENGTH_REFUSAL, ContextTooLong
from .native import parse_context
from .settings import DEFAULT_CONTEXT_TOKENS, MIN_CONTEXT_TOKENS, REPLY_TOKENS
from .tokens import MESSAGE_TOKENS, prompt_tokens, text_tokens

PROMPT_SLACK = 64
"""Tokens kept free beside the instructions for the headings and the request line."""
EARLIER_SHARE = 4
"""The earlier summary handed to a window takes at most this fraction (1/N) of the room."""
SHRINKS = 6
"""Times a window is halved after a refusal for its length before the summary gives up."""

ProgressCallback = Callable[[int, int], None]
"""Called with (windows done, windows expected) as a windowed summary goes on."""


def too_long(failure: BaseException | None) -> bool:
    """The failure is a refusal of the request for its length: ContextTooLong from a
    client, or another client's error of status 400 or 413 that says so."""
    seen: set[int] = set()
    while failure is not None and id(failure) not in seen:
        if isinstance(failure, ContextTooLong):
            return True
        status = getattr(failure, "status_code", None) or getattr(failure, "status", None)
        if status in (400, 413) and LENGTH_REFUSAL.search(str(failure)):
            return True
        seen.add(id(failure))
        failure = failure.__cause__
    return False


class _Guard:
    """The client the summarizer calls: refuses (without sending it) a request whose
    estimate is over the context, counts what it sends, and keeps the last failure for the
    window that caused it."""

    def __init__(self, client: Any, context_tokens: int) -> None:
        self.client = client
        self.context_tokens = context_tokens
        self.requests = 0
        self.largest_prompt = 0
        self.largest_prompt_chars = 0
        self.failure: BaseException | None = None

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any:
        tokens = prompt_tokens(messages)
        try:
            if tokens + max_tokens > self.context_tokens:
                raise ContextTooLong(f"the request takes about {tokens} tokens and its reply "
                                     f"{max_tokens}, more than the {self.context_tokens} of "
                                     "the context (not sent)")
            self.requests += 1
            self.largest_prompt = max(self.largest_prompt, tokens)
            self.largest_prompt_chars = max(self.largest_prompt_chars, sum(
                len(m["content"]) for m in messages if isinstance(m.get("content"), str)))
            return await self.client.complete(messages=messages, max_tokens=max_tokens)
        except Exception as exc:
            self.failure = exc
            raise

    def take_failure(self) -> BaseException | None:
        failure, self.failure = self.failure, None
        return failure


def _clipped_text(text: str, tokens: int) -> str:
    """The text within about ``tokens`` tokens: its start and its end, with a mark of how
    much was left out between them."""
    keep = max(tokens * 3 - 64, 32)
    while True:
        head, tail = text[:keep * 2 // 3], text[len(text) - keep // 3:]
        left_out = len(text) - len(head) - len(tail)
        clipped = f"{head}\n... [{left_out} characters left out] ...\n{tail}"
        if text_tokens(clipped) <= tokens or keep <= 32:
            return clipped
        keep //= 2


class WindowedSummarizer:
    """A summarizer that never asks the model to read more than ``context_tokens`` (its
    reply included); see the module documentation. ``failure`` is the client's exception
    that ended the last summary with the fallback (None when the model answered), and
    ``windows`` the number of windows it was summarized in. ``requests``,
    ``largest_prompt`` (estimated tokens) and ``largest_prompt_chars`` count the requests
    sent. One instance makes one summary at a time (its failure and windows are those of
    the last); make one per summary in flight."""

    def __init__(self, client: Any, *, context_tokens: int = DEFAULT_CONTEXT_TOKENS,
                 on_window: ProgressCallback | None = None) -> None:
        import morvex.core.summarizer as module

        self._module = module
        self._guard = _Guard(client, context_tokens)
        self._summarizer = module.ConversationSummarizer(self._guard)
        self.context_tokens = context_tokens
        self.room = (context_tokens - REPLY_TOKENS - 2 * MESSAGE_TOKENS - PROMPT_SLACK
                     - text_tokens(module.SUMMARIZE_PROMPT))
        if context_tokens < MIN_CONTEXT_TOKENS:
            raise ValueError(f"context_tokens must be at least {MIN_CONTEXT_TOKENS}, got "
                             f"{context_tokens}")
        self.on_window = on_window
        self.failure: BaseException | None = None
        self.windows = 0

    @property
    def requests(self) -> int:
        return self._guard.requests

    @property
    def largest_prompt(self) -> int:
        return self._guard.largest_prompt

    @property
    def largest_prompt_chars(self) -> int:
        return self._guard.largest_prompt_chars

    def format_summary_for_context(self, record: Any) -> str:
        text: str = self._summarizer.format_summary_for_context(record)
        return text

    async def summarize_messages(self, messages: Any, existing_summary: str | None = None
                                 ) -> Any:
        self.failure = None
        self.windows = 0
        self._guard.take_failure()
        if not isinstance(messages, list) or not messages:
            # Nothing to cut: the summarizer answers (or refuses) as it would alone.
            return await self._one(messages, existing_summary)
        render = self._module._format_messages_for_summary
        earlier = existing_summary or ""
        costs = []
        for message in messages:
            text = render([message])
            costs.append(text_tokens(text) + 1 if text else 0)
        if _fits(messages, costs, self.room - text_tokens(earlier), render):
            self.windows = 1
            record = await self._one(messages, existing_summary)
            self._report(1, 1)
            return record
        return await self._in_windows(messages, costs, earlier)

    async def _one(self, messages: Any, existing_summary: str | None) -> Any:
        record = await self._summarizer.summarize_messages(messages, existing_summary)
        self.failure = self._guard.take_failure()
        return record

    def _report(self, done: int, expected: int) -> None:
        if self.on_window is not None:
            self.on_window(done, expected)

    def _fit_earlier(self, text: str, record: Mapping[str, Any] | None) -> str:
        """The earlier summary's text within its share of the room: made smaller (the least
        important and oldest items first) when it is over."""
        share = self.room // EARLIER_SHARE
        if text_tokens(text) <= share:
            return text
        found = dict(record) if record is not None else parse_context(text)
        if found:
            smaller, _ = carry.shrink_to_fit(
                found, lambda r: text_tokens(self.format_summary_for_context(dict(r))), share)
            text = self.format_summary_for_context(smaller)
            if text_tokens(text) <= share:
                return text
        return _clipped_text(text, share)

    def _window(self, messages: list[Any], costs: list[int], start: int, budget: int
                ) -> tuple[int, list[Any]]:
        """(the end of the window that starts at ``start`` within ``budget`` tokens, its
        messages). The window ends before a tool result when it can, so that a call and
        its results are read together, unless that would give up half of it; a message
        larger than the budget on its own is clipped."""
        end, used = start, 0
        while end < len(messages) and used + costs[end] <= budget:
            used += costs[end]
            end += 1
        if end == start:
            return start + 1, [self._clipped(messages[start], budget)]
        if end < len(messages):
            for cut in range(end, start + (end - start) // 2, -1):
                if _role(messages[cut]) != "tool":
                    end = cut
                    break
        return end, messages[start:end]

    def _clipped(self, message: Any, budget: int) -> Any:
        """A message within ``budget`` tokens: its text content clipped, or, when its size
        is elsewhere (many tool calls), its transcript line as plain text, clipped."""
        render = self._module._format_messages_for_summary
        if isinstance(message, dict) and isinstance(message.get("content"), str):
            smaller = dict(message, content=_clipped_text(message["content"], budget - 8))
            if text_tokens(render([smaller])) < budget:
                return smaller
        role = _role(message)
        return {"role": role if role in ("user", "assistant") else "assistant",
                "content": _clipped_text(render([message]), budget - 8)}

    async def _in_windows(self, messages: list[Any], costs: list[int], earlier: str) -> Any:
        remaining = sum(costs)
        record: Any = None
        earlier_record: Mapping[str, Any] | None = None
        scale, shrinks, start = 1.0, 0, 0
        while start < len(messages):
            handed = self._fit_earlier(earlier, earlier_record) if earlier else ""
            budget = max(int((self.room - text_tokens(handed)) * scale), 16)
            self._report(self.windows, self.windows + max(1, math.ceil(remaining / budget)))
            end, window = self._window(messages, costs, start, budget)
            record = await self._summarizer.summarize_messages(window, handed or None)
            failure = self._guard.take_failure()
            if failure is not None:
                if too_long(failure) and shrinks < SHRINKS:
                    scale, shrinks = scale / 2, shrinks + 1
                    continue
                # The model cannot go on: the summary is the one built from all messages.
                self.failure = failure
                self.windows += 1
                return self._module._fallback_summary(messages)
            if earlier_record is not None:
                record = carry.restore_goals(earlier_record, record)
            earlier_record = record
            earlier = self.format_summary_for_context(record)
            remaining -= sum(costs[start:end])
            start = end
            self.windows += 1
        self._report(self.windows, self.windows)
        return record


def _fits(messages: list[Any], costs: list[int], room: int,
          render: Callable[[list[Any]], str]) -> bool:
    """The transcript of all the messages is within ``room`` tokens. It is their lines
    joined by newlines, so its estimate is at most the sum of the messages' costs (each
    one's own estimate and one for its newline) and less than that sum by at most two per
    message that shows (the rounding of its two kinds of character and its newline): only
    between those bounds is the whole transcript rendered to tell."""
    upper = sum(costs)
    if upper <= room:
        return True
    if upper - 2 * sum(1 for cost in costs if cost) > room:
        return False
    return text_tokens(render(messages)) <= room


def _role(message: Any) -> str:
    return str(message.get("role")) if isinstance(message, Mapping) else ""
