"""Errors the tool reports as one line on stderr, each with its own exit status."""

from __future__ import annotations

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_NO_INPUT = 3
EXIT_BAD_JSON = 4
EXIT_BAD_DOCUMENT = 5
EXIT_UNREACHABLE = 6
EXIT_AUTH = 7
EXIT_MODEL_FAILED = 8
EXIT_OUTPUT = 9
EXIT_CONFIG = 10
EXIT_PARTIAL = 11
EXIT_INTERRUPTED = 130


class ToolError(Exception):
    """A failure the tool reports as one line and an exit status, never a traceback."""

    exit_code = 1

    def __init__(self, message: str, exit_code: int | None = None) -> None:
        super().__init__(message)
        if exit_code is not None:
            self.exit_code = exit_code


class InputMissing(ToolError):
    exit_code = EXIT_NO_INPUT


class InvalidJSON(ToolError):
    exit_code = EXIT_BAD_JSON


class BadDocument(ToolError):
    exit_code = EXIT_BAD_DOCUMENT


class ConfigError(ToolError):
    exit_code = EXIT_CONFIG


class OutputError(ToolError):
    exit_code = EXIT_OUTPUT


class ModelError(Exception):
    """Raised by a client when the model gave no usable reply."""


def classify_client_failure(exc: BaseException) -> tuple[int, str]:
    """Maps a client's exception to (exit status, one-line reason)."""
    try:
        import openai
    except ImportError:  # pragma: no cover - openai is a dependency
        openai = None  # type: ignore[assignment]
    text = str(exc) or type(exc).__name__
    if openai is not None:
        if isinstance(exc, (openai.AuthenticationError, openai.PermissionDeniedError)):
            return EXIT_AUTH, f"the model server refused the key: {text}"
        if isinstance(exc, openai.APITimeoutError):
            return EXIT_UNREACHABLE, f"the model server did not answer in time: {text}"
        if isinstance(exc, openai.APIConnectionError):
            return EXIT_UNREACHABLE, f"cannot reach the model server: {text}"
        if isinstance(exc, openai.NotFoundError):
            return EXIT_MODEL_FAILED, f"the model server does not know this model or path: {text}"
    return EXIT_MODEL_FAILED, f"the model failed: {text}"


def is_fatal_for_batch(exit_code: int) -> bool:
    """Failures that affect every conversation alike: a batch stops on them."""
    return exit_code == EXIT_AUTH
