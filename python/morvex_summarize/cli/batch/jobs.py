"""Old import path of the batch jobs: they live in `morvex_summarize.batch.jobs` now."""

from typing import Any


def __getattr__(name: str) -> Any:
    from ...batch import jobs

    return getattr(jobs, name)
