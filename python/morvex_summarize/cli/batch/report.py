"""What a batch run shows: a progress bar while it runs, and its final counts, with the
exit status they make."""

from __future__ import annotations

import sys
from typing import Any

from ...batch.jobs import STATUSES, Counts
from ...errors import needs
from ..options import PROG
from ..status import EXIT_OK, EXIT_PARTIAL, ToolError, failure_status


class Progress:
    """Rich's progress bar (counts, rate, time) on stderr when it is a terminal."""

    def __init__(self, total: int | None) -> None:
        console = needs("rich.console", "the command-line tool").Console(stderr=True)
        self.total = total
        self.bar: Any = None
        if console.is_terminal:
            from rich import progress

            self.bar = progress.Progress(
                progress.TextColumn("summarizing"), progress.BarColumn(),
                progress.MofNCompleteColumn(), progress.TaskProgressColumn(),
                progress.TimeElapsedColumn(), progress.TimeRemainingColumn(), console=console)
            self.task = self.bar.add_task("batch", total=total)

    def __enter__(self) -> Progress:
        if self.bar is not None:
            self.bar.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.stop()

    def skip(self) -> None:
        """A line already done: it leaves the total."""
        if self.total is not None:
            self.total -= 1
            if self.bar is not None:
                self.bar.update(self.task, total=self.total)

    def advance(self, finished: int) -> None:
        if self.bar is not None:
            self.bar.update(self.task, completed=finished)


def report(counts: Counts, elapsed: float) -> int:
    """Prints the final counts, and says what a rerun would do; the exit status."""
    written = sum(counts.written.values())
    by_status = ", ".join(f"{n} {s}" for s, n in counts.written.items())
    print(f"{PROG}: {written} written ({by_status}), {counts.skipped} already done, "
          f"{counts.bad_lines} bad lines, {counts.not_written} not written, "
          f"in {elapsed:.2f} s ({written / max(elapsed, 1e-9):.1f}/s)", file=sys.stderr)
    if counts.stopped is not None:
        raise ToolError(f"batch stopped: {counts.stopped.reason}",
                        failure_status(counts.stopped))
    if counts.not_written:
        print(f"{PROG}: error: {counts.first_error}; rerun to retry the conversations not "
              "written", file=sys.stderr)
        return EXIT_PARTIAL
    not_ok = written - counts.written["ok"]
    if not_ok:
        print(f"{PROG}: {not_ok} results are not ok; rerun with --retry "
              f"{','.join(s for s in STATUSES[1:] if counts.written[s])} to redo them",
              file=sys.stderr)
    return EXIT_OK if counts.bad_lines == 0 and not not_ok else EXIT_PARTIAL


def tell(line: str) -> None:
    """One line of the run's account on stderr."""
    print(f"{PROG}: {line}", file=sys.stderr)
