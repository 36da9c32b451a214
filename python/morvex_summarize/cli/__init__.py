"""The ``morvex-summarize`` command line: `main` picks one of the commands (summarize,
condense, batch) that the modules beside it hold."""

from .app import main

__all__ = ["main"]
