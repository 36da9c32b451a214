"""Errors the tool reports as one line on stderr, each with its own exit status."""

from __future__ import annotations

from dataclasses import dataclass

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


def _connection_text(exc: BaseException, text: str) -> str:
    """The SDK's connection errors say little: add the URL and the underlying cause."""
    request = getattr(exc, "request", None)
    url = getattr(request, "url", None)
    where = ""
    if url is not None:
        where = f"{url.scheme}://{url.host}" + (f":{url.port}" if url.port else "")
    cause = exc.__cause__
    cause_text = " ".join(str(cause).split()) if cause is not None else ""
    parts = [p for p in (where, text.rstrip("."), cause_text) if p]
    return ": ".join(dict.fromkeys(parts))


@dataclass(frozen=True)
class Failure:
    """What a client's exception means for the tool."""

    exit_code: int
    reason: str
    transient: bool = False
    """The same request may well succeed later (rate limit, server error, time-out)."""
    fatal: bool = False
    """Every request would fail alike (bad key, no server): a batch stops."""


def classify_client_failure(exc: BaseException) -> Failure:
    """Maps a client's exception to its exit status and a one-line reason."""
    text = " ".join((str(exc) or type(exc).__name__).split())
    if isinstance(exc, TimeoutError):  # --deadline: the whole exchange took too long
        return Failure(EXIT_UNREACHABLE, "the model did not answer within the deadline",
                       transient=True)
    try:
        import openai  # imported here: the offline path should not pay for it
    except ImportError:
        return Failure(EXIT_MODEL_FAILED, f"the model failed: {text}")
    if isinstance(exc, openai.APIConnectionError):
        text = _connection_text(exc, text)
    if isinstance(exc, (openai.AuthenticationError, openai.PermissionDeniedError)):
        return Failure(EXIT_AUTH, f"the model server refused the key: {text}", fatal=True)
    if isinstance(exc, openai.APITimeoutError):
        return Failure(EXIT_UNREACHABLE, f"the model server did not answer in time: {text}",
                       transient=True)
    if isinstance(exc, openai.APIConnectionError):
        return Failure(EXIT_UNREACHABLE, f"cannot reach the model server: {text}",
                       transient=True, fatal=True)
    if isinstance(exc, openai.NotFoundError):
        return Failure(EXIT_MODEL_FAILED,
                       f"the model server does not know this model or path: {text}", fatal=True)
    if isinstance(exc, (openai.RateLimitError, openai.InternalServerError)):
        return Failure(EXIT_MODEL_FAILED, f"the model server kept failing: {text}",
                       transient=True)
    return Failure(EXIT_MODEL_FAILED, f"the model failed: {text}")
