"""Errors the tool reports as one line on stderr, each with its own exit status."""

from __future__ import annotations

import re
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

EXIT_STATUSES = (
    (EXIT_OK, "done (batch: every result ok)"),
    (EXIT_USAGE, "usage (a bad option value included)"),
    (EXIT_NO_INPUT, "a missing file"),
    (EXIT_BAD_JSON, "invalid JSON (or text that is not UTF-8)"),
    (EXIT_BAD_DOCUMENT, "a document that is not a conversation (or is empty, or is not in "
                        "the named format)"),
    (EXIT_UNREACHABLE, "an unreachable server (or one that did not answer in time)"),
    (EXIT_AUTH, "a rejected key"),
    (EXIT_MODEL_FAILED, "a model failure"),
    (EXIT_OUTPUT, "output that cannot be written (a full disk, say)"),
    (EXIT_CONFIG, "a bad model configuration"),
    (EXIT_PARTIAL, "a batch with results that are not ok (or bad lines)"),
    (EXIT_INTERRUPTED, "interrupted"),
)
"""Each exit status with what it means, as the help and the README list them."""


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


class Refused(Exception):
    """Messages the summarizer cannot read, found before it was called (or after it
    refused them), with the reason in the caller's terms: the message's index and field."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class ConfigError(ToolError):
    exit_code = EXIT_CONFIG


class OutputError(ToolError):
    exit_code = EXIT_OUTPUT


@dataclass(frozen=True)
class Failure:
    """What a client's exception means for the tool."""

    exit_code: int
    reason: str
    transient: bool = False
    """The same request may well succeed later (rate limit, server error, time-out)."""
    fatal: bool = False
    """Every request would fail alike (bad key, no server): a batch stops."""


class ClientError(Exception):
    """A client's failure in the package's terms: each client translates its own library's
    errors into one of these (the library's exception is its cause)."""

    def __init__(self, failure: Failure) -> None:
        super().__init__(failure.reason)
        self.failure = failure


class ModelError(ClientError):
    """Raised by a client when the model gave no usable reply."""

    def __init__(self, message: str) -> None:
        super().__init__(Failure(EXIT_MODEL_FAILED, f"the model failed: {message}"))


class ContextTooLong(ClientError):
    """The request does not fit the model's context: the server refused it for its length,
    or it was never sent because its estimate is over the bound. A smaller window may
    succeed."""

    def __init__(self, message: str) -> None:
        super().__init__(Failure(EXIT_MODEL_FAILED,
                                 f"the conversation does not fit the model's context: "
                                 f"{message}"))


LENGTH_REFUSAL = re.compile(
    r"(?i)context[ _-]?(?:length|window|size)|maximum context|max_model_len|"
    r"too many (?:input )?tokens|(?:prompt|input|request|message)s? (?:is |are )?too long|"
    r"exceeds? (?:the )?(?:max(?:imum)?|available|model'?s?) (?:context|input|tokens|length)|"
    r"string_above_max_length|reduce the length")
"""What servers say when a request does not fit the model (OpenAI's and vLLM's
``context_length_exceeded`` and "maximum context length", llama.cpp's "exceeds the
available context size", "prompt is too long", "too many tokens")."""


def refused_for_length(status: int | None, text: str) -> bool:
    """A server's refusal (400 or 413) that names the request's length."""
    return status in (400, 413) and LENGTH_REFUSAL.search(text) is not None


def classify_client_failure(exc: BaseException) -> Failure:
    """Maps a client's exception to its exit status and a one-line reason."""
    if isinstance(exc, ClientError):
        return exc.failure
    if isinstance(exc, TimeoutError):  # --deadline: the whole exchange took too long
        return Failure(EXIT_UNREACHABLE, "the model did not answer within the deadline",
                       transient=True)
    text = " ".join((str(exc) or type(exc).__name__).split())
    return Failure(EXIT_MODEL_FAILED, f"the model failed: {text}")
