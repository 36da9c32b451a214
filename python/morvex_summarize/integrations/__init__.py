"""Framework integrations: the LangChain agent middleware and the OpenAI Agents SDK session,
each condensing the conversation it holds. Each imports its framework only when used."""

from __future__ import annotations

from typing import Any

from ..condense.condenser import Condenser


def condenser_for(condenser: Condenser | None, client: Any, *, input_format: str,
                  **settings: Any) -> Condenser:
    """The condenser a framework integration uses: the one it was given, or one made from
    `client` (the offline `ExtractiveClient` when None) and the `Condenser` settings, for
    conversations in `input_format`. A condenser together with a client or a budget is
    refused."""
    if condenser is not None:
        if client is not None or settings.get("max_tokens") is not None \
                or settings.get("max_messages") is not None:
            raise TypeError("pass a condenser or its settings, not both")
        return condenser
    if client is None:
        from ..clients.extractive import ExtractiveClient

        client = ExtractiveClient()
    return Condenser(client, input_format=input_format, **settings)
