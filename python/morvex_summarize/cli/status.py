"""The tool's exit statuses and the flags its messages name: the one table from the
package's errors to what the command line says and returns."""

from __future__ import annotations

from collections.abc import Mapping

from ..errors import (AUTH, DOCUMENT, MODEL, UNREACHABLE, BadDocument, ConfigError, Failure,
                      InputMissing, InvalidJSON, OptionRefused, OutputError,
                      PackageError)

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
    (EXIT_USAGE, "usage (a bad option value included, or an output file refused)"),
    (EXIT_NO_INPUT, "a missing file"),
    (EXIT_BAD_JSON, "invalid JSON (or text that is not UTF-8)"),
    (EXIT_BAD_DOCUMENT, "a document that is not a conversation (or is empty, is nested too "
                        "deeply, has a role or type that is no string, or is not in the "
                        "named format)"),
    (EXIT_UNREACHABLE, "an unreachable server (or one that did not answer in time)"),
    (EXIT_AUTH, "a rejected key"),
    (EXIT_MODEL_FAILED, "a model failure"),
    (EXIT_OUTPUT, "output that cannot be written (a full disk, say)"),
    (EXIT_CONFIG, "a bad model configuration"),
    (EXIT_PARTIAL, "a batch with results that are not ok (or bad lines)"),
    (EXIT_INTERRUPTED, "interrupted"),
)
"""Each exit status with what it means, as the help and the README list them."""

FLAGS: Mapping[str, str] = {
    "llm": "--llm", "model": "--model", "base_url": "--base-url", "timeout": "--timeout",
    "retries": "--retries", "input_format": "--input-format", "api_key": "the API key",
    "reply_format": "--reply-format", "json_mode": "--json-mode", "output": "--output",
}
"""How the tool's messages name each setting: the flag that sets it."""

_BY_ERROR: tuple[tuple[type[PackageError], int], ...] = (
    (OptionRefused, EXIT_USAGE),
    (InputMissing, EXIT_NO_INPUT),
    (InvalidJSON, EXIT_BAD_JSON),
    (BadDocument, EXIT_BAD_DOCUMENT),
    (OutputError, EXIT_OUTPUT),
    (ConfigError, EXIT_CONFIG),
)
_BY_KIND = {AUTH: EXIT_AUTH, UNREACHABLE: EXIT_UNREACHABLE, MODEL: EXIT_MODEL_FAILED,
            DOCUMENT: EXIT_BAD_DOCUMENT}


class ToolError(PackageError):
    """A failure the tool reports as one line and an exit status, never a traceback."""

    def __init__(self, message: str, exit_code: int = 1) -> None:
        super().__init__(message)
        self.exit_code = exit_code


class UsageError(ToolError):
    """An option the command cannot take as given."""

    def __init__(self, message: str) -> None:
        super().__init__(message, EXIT_USAGE)


def failure_status(failure: Failure) -> int:
    """The exit status of a client's failure."""
    return _BY_KIND[failure.kind]


def exit_status(exc: PackageError) -> int:
    """The exit status the tool ends with on one of the package's errors."""
    if isinstance(exc, ToolError):
        return exc.exit_code
    failure = getattr(exc, "failure", None)
    if isinstance(failure, Failure):
        return failure_status(failure)
    return next((status for kind, status in _BY_ERROR if isinstance(exc, kind)), 1)


def told(exc: PackageError) -> str:
    """The one line the tool prints for an error: its settings named by their flags."""
    return exc.told(FLAGS)


def fail(failure: Failure) -> ToolError:
    """The error the tool ends with on a client's failure."""
    return ToolError(failure.reason, failure_status(failure))
