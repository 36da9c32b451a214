"""A LangChain agent middleware that condenses the agent's messages before each model call
(the ``langchain`` extra)::

    from langchain.agents import create_agent
    from morvex_summarize.langchain_middleware import CondensingMiddleware

    agent = create_agent(model, tools, middleware=[CondensingMiddleware(max_tokens=8000)])

Before the model is called, the state's messages go through a `Condenser` (budget in tokens
or messages, the newest ``keep_last`` kept, a tool call never separated from its results, a
leading system message kept, each summary built on the last one). When it summarized, the
state is written back as LangGraph's message reducer expects: every message removed
(``RemoveMessage(id=REMOVE_ALL_MESSAGES)``), then the summary message and the kept
messages added again under their ids. The summary's record, its text and the id of the
message that holds it stay in the state under ``morvex_summary`` (JSON-able, so any
checkpointer keeps them), and the next round builds on them.

The agent's ``system_prompt`` is not in the state: the budget counts the state's
messages only.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import uuid
from collections.abc import Mapping, Sequence
from typing import Annotated, Any, NotRequired, Unpack

from langchain.agents.middleware.types import AgentMiddleware, AgentState, OmitFromInput
from langchain_core.messages import RemoveMessage
from langgraph.graph.message import REMOVE_ALL_MESSAGES
from langgraph.runtime import Runtime

from ..condense.condenser import CondenseState
from . import Settings, SettingsKeywords

STATE_KEY = "morvex_summary"
"""The state key that keeps the latest summary between rounds."""

SUMMARY_ID_PREFIX = "morvex-summary-"


class CondensedState(AgentState[Any]):
    """The agent's state with the latest summary: ``record`` (the summary record),
    ``text`` (its context text), ``message_id`` (the message holding it),
    ``total_summarized`` (messages summarized so far) and ``summary_tokens``."""

    morvex_summary: NotRequired[Annotated[dict[str, Any] | None, OmitFromInput]]


class CondensingMiddleware(AgentMiddleware[CondensedState, Any, Any]):
    """Condenses the agent's messages before each model call.

    client: the summarizer's client (any object with a ``complete`` coroutine, such as
        `morvex_summarize.clients.langchain_client.ChatModelClient` around a chat model);
        default the offline `ExtractiveClient`.
    max_tokens, max_messages, keep_last, target_tokens, target_messages, token_counter:
        the `Condenser`'s budget and rules.
    context_role: "user" (default: providers take a user message anywhere, and the agent's
        system prompt stays the only system message) or "system".
    condenser: a ready `Condenser` instead of the settings above.
    settings: a `morvex_summarize.integrations.Settings` instead of these keywords.
    """

    state_schema = CondensedState

    def __init__(
        self,
        client: Any = None,
        *,
        settings: Settings | None = None,
        **keywords: Unpack[SettingsKeywords],
    ) -> None:
        super().__init__()
        self.last_state: CondenseState | None = None
        """What the latest condensing did (sizes before and after, what was summarized)."""
        self.condenser = Settings.of(settings, keywords).condenser_for(client, "langchain")

    @property
    def name(self) -> str:
        return "CondensingMiddleware"

    def before_model(self, state: CondensedState, runtime: Runtime[Any]
                     ) -> dict[str, Any] | None:
        """The synchronous agent (``invoke``/``stream``): the summarizer runs in an event
        loop of its own, on a worker thread when this thread already runs one."""
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            return asyncio.run(self.abefore_model(state, runtime))
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            return pool.submit(asyncio.run, self.abefore_model(state, runtime)).result()

    async def abefore_model(self, state: CondensedState, runtime: Runtime[Any]
                            ) -> dict[str, Any] | None:
        messages = list(state["messages"])
        for message in messages:
            if message.id is None:  # the reducer removes and re-adds by id
                message.id = str(uuid.uuid4())
        kept: Any = state.get(STATE_KEY)
        previous = restore_state(kept, messages)
        condensed, done = await self.condenser.condense(messages, previous,
                                                        input_format="langchain")
        self.last_state = done
        if not (done.condensed or done.refitted):
            return None
        holder: Any = done.context_message
        if holder is not None and getattr(holder, "id", None) is None:
            holder.id = SUMMARY_ID_PREFIX + uuid.uuid4().hex
        return {
            "messages": [RemoveMessage(id=REMOVE_ALL_MESSAGES), *condensed],
            STATE_KEY: {
                "record": done.summary,
                "text": done.summary_text,
                "message_id": getattr(holder, "id", None),
                "total_summarized": done.total_summarized,
                "summary_tokens": done.summary_tokens,
            },
        }


def restore_state(kept: Any, messages: Sequence[Any]
                  ) -> CondenseState | None:
    """The condenser's state from what the state keeps, with the summary's message found
    among the messages by its id (a message that is gone leaves only the text to build on)."""
    if not isinstance(kept, Mapping) or not isinstance(kept.get("text"), str):
        return None
    message_id = kept.get("message_id")
    holder = next((m for m in messages if message_id is not None
                   and getattr(m, "id", None) == message_id), None)
    record = kept.get("record")
    found: Any = holder  # a message object, where the condenser's records are dicts
    return CondenseState(
        summary=dict(record) if isinstance(record, Mapping) else None,
        summary_text=kept["text"],
        context_message=found,
        total_summarized=int(kept.get("total_summarized") or 0),
        summary_tokens=int(kept.get("summary_tokens") or 0) if holder is not None else 0,
        format="langchain",
    )
