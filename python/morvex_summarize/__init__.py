"""Command-line tool, LLM clients and batch runs around morvex.core.summarizer."""

__version__ = "0.2.0"

__all__ = ["__version__"]
