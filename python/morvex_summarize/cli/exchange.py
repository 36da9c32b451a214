"""One summary and what became of it, run under the spinner, with the tool's logging."""

from __future__ import annotations

import asyncio
import logging
import sys
from collections.abc import Callable, Coroutine
from dataclasses import dataclass
from typing import Any, cast

from ..carry import skim_outputs
from ..errors import BadDocument, Refused, ToolError, classify_client_failure
from ..native import is_failure_log, module_refusal, raised_by_module, watch_unparsed
from ..records import LLMClient, SummaryRecord
from ..windows import DEFAULT_CONTEXT_TOKENS, ProgressCallback
from .options import PROG, needs


# ---- one summary ------------------------------------------------------------------------

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
    from ..windows import WindowedSummarizer

    return WindowedSummarizer(DeadlineClient(client, deadline), context_tokens=context_tokens,
                              on_window=on_window)


async def summarize_one(client: LLMClient, messages: list[dict[str, Any]],
                        previous: str | None = None, deadline: float | None = None,
                        outcome: Outcome | None = None, *,
                        context_tokens: int = DEFAULT_CONTEXT_TOKENS,
                        on_window: ProgressCallback | None = None
                        ) -> tuple[SummaryRecord, str, Outcome]:
    """(record, context text, what became of it: ``outcome``, or a new one) for one
    conversation, in windows when it is longer than ``context_tokens`` allow. Messages the
    summarizer is known to refuse raise Refused, before any model call."""
    reason = module_refusal(messages)
    if reason is not None:
        raise Refused(reason)
    outcome = outcome or Outcome()
    with watch_unparsed(outcome.mark_unparsed):
        summarizer = windowed(client, deadline, context_tokens, on_window)
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


def run_exchange(main: Callable[[], Coroutine[Any, Any, None]], where: str, busy: str,
                 outcome: Outcome, messages: Any = (),
                 activity: Activity | None = None) -> None:
    """Runs a command's exchange with the summarizer under a spinner (``activity``, when
    given, is the spinner, which becomes a bar as windows are reported to it). A
    conversation the summarizer refuses is the input's fault (BadDocument, saying why in
    terms of ``messages``, the records it was given); a model failure is raised as its
    ToolError."""
    try:
        with activity or Activity(busy):
            asyncio.run(main())
    except Exception as exc:
        if not (isinstance(exc, Refused) or raised_by_module(exc)):
            raise
        raise BadDocument(f"{where}: {refusal_reason(exc, messages)}") from None
    if outcome.failure is not None:
        found = classify_client_failure(outcome.failure)
        raise ToolError(found.reason, found.exit_code)


async def close_client(client: Any) -> None:
    """Closes the client's connections, if it keeps any, inside the loop that used them."""
    aclose = getattr(client, "aclose", None)
    if aclose is not None:
        await aclose()


# ---- the spinner and logging ------------------------------------------------------------

class _ReportedByTool(logging.Filter):
    """Drops the summarizer's own "Summarization failed" log line: the tool reports the
    failure itself, as one line with its exit status."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not is_failure_log(record)


def setup_logging() -> None:
    root = logging.getLogger()
    if any(isinstance(f, _ReportedByTool) for h in root.handlers for f in h.filters):
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(f"{PROG}: %(levelname)s: %(message)s"))
    handler.addFilter(_ReportedByTool())
    root.addHandler(handler)
    root.setLevel(logging.WARNING)


class Activity:
    """On stderr when it is a terminal: a spinner while the model works, which becomes a bar
    counting the windows once a conversation is summarized in more than one. Nothing
    otherwise."""

    def __init__(self, text: str) -> None:
        console = needs("rich.console", "the command-line tool").Console(stderr=True)
        self.console = console if console.is_terminal else None
        self.text = text
        self.status: Any = None
        self.bar: Any = None
        self.task: Any = None

    def __enter__(self) -> Activity:
        if self.console is not None:
            self.status = self.console.status(self.text)
            self.status.start()
        return self

    def window(self, done: int, expected: int) -> None:
        """Windows done of those expected (a ProgressCallback)."""
        if self.console is None or expected <= 1:
            return
        if self.bar is None:
            from rich import progress

            if self.status is not None:
                self.status.stop()
                self.status = None
            self.bar = progress.Progress(
                progress.TextColumn("summarizing windows"), progress.BarColumn(),
                progress.MofNCompleteColumn(), progress.TimeElapsedColumn(),
                progress.TimeRemainingColumn(), console=self.console)
            self.task = self.bar.add_task("windows", total=expected)
            self.bar.start()
        self.bar.update(self.task, completed=done, total=expected)

    def __exit__(self, *exc: object) -> None:
        if self.status is not None:
            self.status.stop()
        if self.bar is not None:
            self.bar.stop()
