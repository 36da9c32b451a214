"""Framework integrations: the LangChain agent middleware and the OpenAI Agents SDK session,
each condensing the conversation it holds. Each imports its framework only when used."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, fields
from typing import Any, TypedDict

from ..condense.condenser import Condenser, Message
from ..condense.strategies import Strategy
from ..settings import FRAMEWORKS


class SettingsKeywords(TypedDict, total=False):
    """The keywords the integrations' constructors take besides the client."""

    max_tokens: int | None
    max_messages: int | None
    keep_last: int
    target_tokens: int | None
    target_messages: int | None
    context_role: str
    token_counter: Callable[[Message], int] | None
    condenser: Condenser | None
    strategy: str | Strategy


@dataclass(frozen=True)
class Settings:
    """How a framework integration condenses: the `Condenser`'s budget, rules and
    strategy (its messages are the framework's own items), or a ready `condenser` instead
    of them. The integrations keep a summary message of role "user" by default: providers
    take one anywhere, and the agent's system prompt stays the only system message."""

    max_tokens: int | None = None
    max_messages: int | None = None
    keep_last: int = FRAMEWORKS.keep_last
    target_tokens: int | None = None
    target_messages: int | None = None
    context_role: str = FRAMEWORKS.context_role
    token_counter: Callable[[Message], int] | None = None
    condenser: Condenser | None = None
    strategy: str | Strategy = FRAMEWORKS.strategy

    @classmethod
    def of(cls, settings: Settings | None, keywords: SettingsKeywords) -> Settings:
        """The settings object given, or one made of the keywords; not both."""
        if settings is None:
            return cls(**keywords)
        if keywords:
            raise TypeError("pass settings or its keywords, not both")
        return settings

    def condenser_for(self, client: Any, input_format: str) -> Condenser:
        """The condenser these settings name, for conversations in `input_format`."""
        options = {f.name: getattr(self, f.name) for f in fields(self)}
        return condenser_for(options.pop("condenser"), client, input_format=input_format,
                             **options)


def condenser_for(condenser: Condenser | None, client: Any, *, input_format: str,
                  **settings: Any) -> Condenser:
    """The condenser a framework integration uses: the one it was given, or one made from
    `client` (the offline `ExtractiveClient` when None) and the `Condenser` settings, for
    conversations in `input_format`. A condenser together with a client or a budget is
    refused."""
    if condenser is not None:
        if client is not None or settings.get("max_tokens") is not None \
                or settings.get("max_messages") is not None \
                or settings.get("strategy", FRAMEWORKS.strategy) != FRAMEWORKS.strategy:
            raise TypeError("pass a condenser or its settings, not both")
        return condenser
    if client is None:
        from ..clients.extractive import ExtractiveClient

        client = ExtractiveClient()
    return Condenser(client, input_format=input_format, **settings)
