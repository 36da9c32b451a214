"""One summary, as every way into the package makes it: the summarizer's refusals found
before any model call, in windows within the model's context, every request within what is
left of an overall deadline, and what became of it (the model's failure, a reply in prose
rather than JSON).

The command line, ``morvex_summarize.summarize``, the batch engines and the condensing proxy
all summarize through here."""

from __future__ import annotations

import asyncio
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, cast

from .carry import skim_outputs
from .errors import Refused
from .native import module_refusal, watch_unparsed
from .records import LLMClient, SummaryRecord
from .settings import DEFAULT_CONTEXT_TOKENS
from .windows import ProgressCallback, WindowedSummarizer


@dataclass
class Outcome:
    """What became of one summary: the client's failure, if any, and whether the model's
    reply was prose rather than the JSON asked for."""

    failure: BaseException | None = None
    unparsed: bool = False

    @property
    def status(self) -> str:
        """"ok", "unparsed" (the model answered in prose) or "fallback" (the model failed
        and the summary was built from the messages)."""
        if self.failure is not None:
            return "fallback"
        return "unparsed" if self.unparsed else "ok"

    def mark_unparsed(self) -> None:
        self.unparsed = True


class DeadlineClient:
    """Passes calls to a shared client within the overall deadline, if there is one: it
    starts at the first call, and every later call (a window of a long conversation, a
    retry) gets what is left of it."""

    def __init__(self, client: LLMClient, deadline: float | None = None) -> None:
        self.client = client
        self.deadline = deadline
        self._until: float | None = None

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any:
        if self.deadline is None:
            return await self.client.complete(messages=messages, max_tokens=max_tokens)
        if self._until is None:
            self._until = asyncio.get_running_loop().time() + self.deadline
        async with asyncio.timeout_at(self._until):
            return await self.client.complete(messages=messages, max_tokens=max_tokens)


def windowed(client: LLMClient, deadline: float | None = None,
             context_tokens: int = DEFAULT_CONTEXT_TOKENS,
             on_window: ProgressCallback | None = None) -> Any:
    """The summarizer the commands use: in windows within the model's context, each
    request within what is left of the deadline."""
    return WindowedSummarizer(DeadlineClient(client, deadline), context_tokens=context_tokens,
                              on_window=on_window)


async def summarize_one(client: LLMClient, messages: list[dict[str, Any]],
                        previous: str | Mapping[str, Any] | None = None,
                        deadline: float | None = None,
                        outcome: Outcome | None = None, *,
                        context_tokens: int = DEFAULT_CONTEXT_TOKENS,
                        on_window: ProgressCallback | None = None
                        ) -> tuple[SummaryRecord, str, Outcome]:
    """(record, context text, what became of it: ``outcome``, or a new one) for one
    conversation, in windows when it is longer than ``context_tokens`` allow, building on
    ``previous`` (a summary's context text or its record). Messages the summarizer is
    known to refuse raise Refused, before any model call."""
    reason = module_refusal(messages)
    if reason is not None:
        raise Refused(reason)
    outcome = outcome or Outcome()
    with watch_unparsed(outcome.mark_unparsed):
        summarizer = windowed(client, deadline, context_tokens, on_window)
        if isinstance(previous, Mapping):
            previous = summarizer.format_summary_for_context(dict(previous))
        record = await summarizer.summarize_messages(
            skim_outputs(messages), previous or None)
        outcome.failure = summarizer.failure
        context = summarizer.format_summary_for_context(record)
        return cast(SummaryRecord, record), context, outcome


def refusal_reason(exc: BaseException, messages: Any) -> str:
    """The reason for a refusal: the one found before the call, the one the fallback's
    reading explains, or else the summarizer's own text."""
    if isinstance(exc, Refused):
        return exc.reason
    return module_refusal(messages, fallback=True) or \
        f"the summarizer cannot read this conversation: {exc}"


async def close_client(client: Any) -> None:
    """Closes the client's connections, if it keeps any, inside the loop that used them."""
    aclose = getattr(client, "aclose", None)
    if aclose is not None:
        await aclose()
