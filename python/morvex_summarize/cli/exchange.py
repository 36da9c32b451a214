"""A command's exchange with the summarizer, run under the spinner, with the tool's
logging."""

from __future__ import annotations

import asyncio
import logging
import sys
from collections.abc import Callable, Coroutine
from typing import Any

from ..errors import BadDocument, Refused, classify_client_failure, needs
from ..files import READING_LOG
from ..native import is_failure_log, raised_by_module
from ..summarizing import Outcome, refusal_reason
from .options import PROG
from .status import fail


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
        raise fail(classify_client_failure(outcome.failure))


# ---- the spinner and logging ------------------------------------------------------------

class _ReportedByTool(logging.Filter):
    """Drops the summarizer's own "Summarization failed" log line: the tool reports the
    failure itself, as one line with its exit status."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not is_failure_log(record)


def setup_logging(verbose: bool = False) -> None:
    """Warnings on stderr, one line each; with ``verbose``, also what reading left out."""
    if verbose:
        READING_LOG.setLevel(logging.INFO)
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


def __getattr__(name: str) -> Any:
    """The library's names under their old import path (`morvex_summarize.summarizing`)."""
    from .. import summarizing

    return getattr(summarizing, name)
