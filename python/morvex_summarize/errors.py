"""The package's errors: each says what failed and whether trying again can help.

A message names a setting through `setting` (``setting("model")``): ``str(error)`` spells it
as the library's keyword, or as the front end that made the error spells it (the command
line names its flags: `spell_settings`); `PackageError.told` spells it any other way. Exit
statuses belong to the command line alone."""

from __future__ import annotations

import contextvars
import importlib
import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

def install(extra: str) -> str:
    """How to install one of the package's extras: from the project's folder, as the
    distribution is on no package index."""
    return f"pip install '.[{extra}]' in the project's folder"

PARAMETERS: Mapping[str, str] = {
    "llm": "client", "model": "model", "base_url": "base_url", "timeout": "timeout",
    "retries": "retries", "input_format": "input_format", "api_key": "the API key",
}
"""How a message names each setting to a library user: the keyword that sets it."""

_SPELLING: contextvars.ContextVar[Mapping[str, str]] = contextvars.ContextVar(
    "spelling", default=PARAMETERS)


def spell_settings(names: Mapping[str, str]) -> None:
    """Messages made from here on (in this context, and the tasks it starts) name each
    setting as ``names`` has it."""
    _SPELLING.set(names)


class PackageError(Exception):
    """A failure of the package, with what failed in its message and ``retryable``: whether
    the same call may succeed later unchanged."""

    retryable = False

    def __init__(self, message: str) -> None:
        self.template = message
        super().__init__(self.told(_SPELLING.get()))

    def told(self, names: Mapping[str, str]) -> str:
        """The message with each setting spelt as ``names`` has it."""
        return _fill(self.template, names)


_SETTING = re.compile("\x1e(\\w+)\x1f")


def setting(name: str) -> str:
    """The mark of a setting in a message, spelt when the message is told."""
    return f"\x1e{name}\x1f"


def _fill(template: str, names: Mapping[str, str]) -> str:
    if "\x1e" not in template:
        return template
    return _SETTING.sub(lambda m: names.get(m[1], m[1]), template)


class ConfigError(PackageError, ValueError):
    """A client or option that cannot be set up as given (a missing model, key or package,
    a setting the client has no use for)."""


class OptionRefused(ConfigError):
    """A setting the chosen client cannot take: refused, never dropped unseen."""


class InputMissing(PackageError):
    """A file to read is not there, or cannot be read."""


class InvalidJSON(PackageError, ValueError):
    """A file's text is not JSON (or not UTF-8)."""


class BadDocument(PackageError, ValueError):
    """A document that is no conversation, is empty, or is not in the named format."""


class Unsummarizable(BadDocument):
    """A conversation that reads, but holds no message to summarize."""


class OutputError(PackageError):
    """Output that cannot be written (a missing folder, a full disk)."""


class Refused(BadDocument):
    """Messages the summarizer cannot read, found before it was called (or after it
    refused them), with the reason in the caller's terms: the message's index and field."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


AUTH = "auth"
UNREACHABLE = "unreachable"
MODEL = "model"
DOCUMENT = "document"
KINDS = (AUTH, UNREACHABLE, MODEL, DOCUMENT)
"""What a `Failure` is: a rejected key, a server not reached (or not in time), a model that
gave no usable reply, a conversation that cannot be summarized."""


@dataclass(frozen=True)
class Failure:
    """What a client's exception means: its kind (one of `KINDS`), one line saying why,
    and what a retry can do."""

    kind: str
    reason: str
    transient: bool = False
    """The same request may well succeed later (rate limit, server error, time-out)."""
    fatal: bool = False
    """Every request would fail alike (bad key, no server): a batch stops."""


class ClientError(PackageError):
    """A client's failure in the package's terms: each client translates its own library's
    errors into one of these (the library's exception is its cause)."""

    def __init__(self, failure: Failure) -> None:
        super().__init__(failure.reason)
        self.failure = failure

    @property
    def retryable(self) -> bool:  # type: ignore[override]
        return self.failure.transient


class ModelError(ClientError):
    """Raised by a client when the model gave no usable reply."""

    def __init__(self, message: str) -> None:
        super().__init__(Failure(MODEL, f"the model failed: {message}"))


class ContextTooLong(ClientError):
    """The request does not fit the model's context: the server refused it for its length,
    or it was never sent because its estimate is over the bound. A smaller window may
    succeed."""

    def __init__(self, message: str) -> None:
        super().__init__(Failure(MODEL, f"the conversation does not fit the model's context: "
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
    """What a client's exception means, as a `Failure`."""
    if isinstance(exc, ClientError):
        return exc.failure
    if isinstance(exc, TimeoutError):  # the deadline: the whole exchange took too long
        return Failure(UNREACHABLE, "the model did not answer within the deadline",
                       transient=True)
    text = " ".join((str(exc) or type(exc).__name__).split())
    return Failure(MODEL, f"the model failed: {text}")


def message_of(exc: BaseException, names: Mapping[str, str] | None = None) -> str:
    """One line for any of the package's errors, its settings spelt as ``names`` has
    them (the library's own names by default)."""
    if isinstance(exc, PackageError):
        return exc.told(PARAMETERS if names is None else names)
    return str(exc)


def needs(module: str, what: str, extra: str = "cli") -> Any:
    """Imports a library of one of the package's extras, or says how to install it
    (ConfigError)."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ConfigError(f"{what} needs the {module.split('.')[0]} package: "
                          f"{install(extra)}") from None
