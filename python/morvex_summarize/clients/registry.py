"""The clients by name: what each is called, the settings it reads, how it is built, and
whether it can be built again in another process (a Ray worker). Every caller that turns a
name into a client (the command line, batch engines, the proxy) reads this table.

A client is named as ``extractive``, ``openai``, ``gguf:PATH`` or
``langchain:PROVIDER:MODEL``; `ClientSettings` holds the rest."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass

from ..errors import OptionRefused, needs, setting
from ..records import LLMClient
from . import DEFAULT_RETRIES, DEFAULT_TIMEOUT, MODEL_ENV, configured_model


@dataclass(frozen=True)
class ClientSettings:
    """What a client may be given besides its name; None is "not given" (the client's
    default). ``context_tokens`` is the model's context, which a local model is loaded
    with."""

    model: str | None = None
    base_url: str | None = None
    timeout: float | None = None
    retries: int | None = None
    reply_format: str | None = None
    context_tokens: int | None = None

    def given(self) -> list[str]:
        """The settings given, in field order (``context_tokens`` aside: every command
        has one)."""
        return [f.name for f in dataclasses.fields(self)
                if f.name != "context_tokens" and getattr(self, f.name) is not None]


@dataclass(frozen=True)
class ClientKind:
    """One kind of client: ``name`` as it is chosen (followed by its argument after a
    colon when it ``takes_argument``), its ``usage`` as help and errors show it, the
    settings it reads, how it is built, the environment variables it reads (for a name),
    and whether it is ``portable``: built from its name, settings and those variables
    alone, so that every worker of a cluster can make its own. Building one that
    ``loads_model`` is slow: a caller does not build one only to check its settings."""

    name: str
    usage: str
    reads: frozenset[str]
    build: Callable[[str, ClientSettings], LLMClient]
    variables: Callable[[str], tuple[str, ...]] = lambda _: ()
    settle: Callable[[ClientSettings], ClientSettings] = lambda settings: settings
    portable: bool = True
    takes_argument: bool = False
    loads_model: bool = False

    def matches(self, choice: str) -> bool:
        if self.takes_argument:
            return choice.startswith(self.name + ":") and len(choice) > len(self.name) + 1
        return choice == self.name


def _extractive(_: str, __: ClientSettings) -> LLMClient:
    from .extractive import ExtractiveClient

    return ExtractiveClient()


def _openai(_: str, settings: ClientSettings) -> LLMClient:
    needs("openai", "the openai client")
    from .openai_client import OpenAIClient

    return OpenAIClient(settings.model, base_url=settings.base_url,
                        timeout=DEFAULT_TIMEOUT if settings.timeout is None else settings.timeout,
                        max_retries=DEFAULT_RETRIES if settings.retries is None
                        else settings.retries,
                        reply_format=settings.reply_format)


def _openai_settled(settings: ClientSettings) -> ClientSettings:
    """The model and server taken from the environment now, once."""
    return dataclasses.replace(settings, model=settings.model or configured_model(),
                               base_url=settings.base_url or os.environ.get("OPENAI_BASE_URL"))


def _langchain_variables(choice: str) -> tuple[str, ...]:
    from .langchain_client import PROVIDERS

    found = PROVIDERS.get(choice.split(":")[1]) if choice.count(":") >= 2 else None
    return tuple(v for v in (found.key_variable, found.url_variable) if v) if found else ()


def _gguf(choice: str, settings: ClientSettings) -> LLMClient:
    from .gguf import GGUFClient

    if settings.context_tokens is None:
        return GGUFClient(choice.partition(":")[2])
    return GGUFClient(choice.partition(":")[2], n_ctx=settings.context_tokens)


def _langchain(choice: str, settings: ClientSettings) -> LLMClient:
    from .langchain_client import from_spec

    return from_spec(choice.partition(":")[2], base_url=settings.base_url,
                     timeout=settings.timeout, retries=settings.retries)


_SERVER = frozenset({"base_url", "timeout", "retries"})

KINDS: tuple[ClientKind, ...] = (
    ClientKind("extractive", "extractive", frozenset(), _extractive),
    ClientKind("openai", "openai", _SERVER | {"model", "reply_format", "json_mode"}, _openai,
               variables=lambda _: (MODEL_ENV, "OPENAI_MODEL", "OPENAI_API_KEY",
                                    "OPENAI_BASE_URL"),
               settle=_openai_settled),
    # A local model is loaded from its file by each process that asks (the file must be
    # on every machine of a cluster).
    ClientKind("gguf", "gguf:PATH", frozenset(), _gguf, takes_argument=True,
               loads_model=True),
    ClientKind("langchain", "langchain:PROVIDER:MODEL", _SERVER, _langchain,
               variables=_langchain_variables, takes_argument=True),
)
"""The clients, in the order they are offered."""

USAGE = ", ".join(k.usage for k in KINDS[:-1]) + " or " + KINDS[-1].usage


def kind_of(choice: str) -> ClientKind:
    """The kind a client's name chooses; OptionRefused for a name none has."""
    for kind in KINDS:
        if kind.matches(choice):
            return kind
    raise OptionRefused(f"unknown {setting('llm')} {choice!r}: use {USAGE}")


def default_choice(settings: ClientSettings) -> str:
    """The client used when none is named: openai when a model is named or configured,
    else the offline extractive one."""
    return "openai" if (settings.model or configured_model()) else "extractive"


def check_settings(choice: str | None, given: Iterable[str]) -> None:
    """OptionRefused for a setting the chosen client would not read, before anything is
    built: it would be dropped unseen. With no client named, a server setting needs a
    model to be named or configured."""
    given = list(given)
    if choice is None:
        if not given or configured_model() or "model" in given:
            return
        raise OptionRefused(f"{setting(given[0])}: no model is configured, so no server is "
                            f"asked (name one with {setting('model')}, or use "
                            f"{setting('llm')} openai)")
    kind = kind_of(choice)
    unread = [name for name in given if name not in kind.reads]
    if unread:
        readers = " or ".join(k.usage for k in KINDS if unread[0] in k.reads)
        raise OptionRefused(f"{setting(unread[0])}: not for {setting('llm')} {choice} (it "
                            f"applies to {setting('llm')} {readers})")


def build(choice: str | None, settings: ClientSettings = ClientSettings()) -> LLMClient:
    """The client ``choice`` names (None: `default_choice`), with ``settings``."""
    choice = choice or default_choice(settings)
    return kind_of(choice).build(choice, settings)
