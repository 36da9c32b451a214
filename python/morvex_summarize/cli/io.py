"""Old import path of the tool's file input and output: they live in
`morvex_summarize.files` now."""

from typing import Any


def __getattr__(name: str) -> Any:
    from .. import files

    return getattr(files, name)
