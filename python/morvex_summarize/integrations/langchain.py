"""A LangChain agent middleware that condenses the agent's messages before each model call
(the ``langchain`` extra)::

    from langchain.agents import create_agent
    from morvex_summarize.integrations.langchain import CondensingMiddleware

    agent = create_agent(model, tools, middleware=[
        CondensingMiddleware(model, trigger=("fraction", 0.8), keep=("messages", 20))])

Before the model is called, the state's messages go through a `Condenser` (the newest
messages kept, a tool call never separated from its results, a leading system message
kept, each summary built on the last one; with a ``strategy`` that clears, older tool
results and reasoning cleared first or instead). When it changed them, the state is written back
as LangGraph's message reducer expects: every message removed
(``RemoveMessage(id=REMOVE_ALL_MESSAGES)``), then the summary message and the kept
messages added again under their ids. The summary's record, its text and the id of the
message that holds it stay in the state under ``morvex_summary`` (JSON-able, so any
checkpointer keeps them), and the next round builds on them.

When to summarize, in the terms of LangChain's own summarization middleware:

* ``trigger``: ``("tokens", N)``, ``("messages", N)`` or ``("fraction", F)`` (of the
  model's input limit, from its profile's ``max_input_tokens``), or a list of them: any one
  that is reached fires. A threshold is inclusive: the messages are summarized once they
  count N or more, and afterwards count fewer than N (where the rules allow).
* ``max_tokens`` and ``max_messages``: budgets, the `Condenser`'s: summarized once the
  messages count more; with a trigger, the lowest of them all applies.
* ``keep``: ``("messages", N)``, the newest N kept verbatim (``keep_last``);
  ``("tokens", N)`` or ``("fraction", F)``, the newest messages within that many tokens
  kept (at least the newest one), as few summarized as bring the rest within it.

Tokens are counted by ``token_counter``, a LangChain token counter (called with a list of
messages, as ``count_tokens_approximately`` is); each message is counted on its own and
the counts added, so the budget is kept by that counter's measure on every call. Without
one, the `Condenser`'s estimate counts. When the newest reply in the state carries the
provider's ``usage_metadata``, its ``total_tokens`` is what the messages up to it count
(with the system prompt and tools the provider saw): every count is scaled by it
(``use_usage_metadata=False`` turns this off).

The summary message is marked in ``additional_kwargs``: ``SUMMARY_MARKER`` (``lc_source``
``"summarization"``, the tag LangChain's own middleware puts on its summary, and
``morvex_summary`` true), so other middleware and UIs can recognise it.

The agent's ``system_prompt`` is not in the state: without the provider's usage, the
budget counts the state's messages only. A synchronous agent (``invoke``/``stream``) runs
the summarizer on one event loop the middleware keeps on a thread of its own, so a client's
connections live across calls; `close` stops it.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import dataclasses
import math
import threading
import uuid
from collections.abc import Callable, Mapping, Sequence
from typing import Annotated, Any, Literal, NotRequired, Union

from langchain.agents.middleware.types import AgentMiddleware, AgentState, OmitFromInput
from langchain_core.messages import RemoveMessage
from langgraph.graph.message import REMOVE_ALL_MESSAGES
from langgraph.runtime import Runtime

from ..condense.condenser import CondenseState, Condenser, Message
from ..condense.strategies import Strategy
from . import Settings

STATE_KEY = "morvex_summary"
"""The state key that keeps the latest summary between rounds."""

SUMMARY_ID_PREFIX = "morvex-summary-"

SUMMARY_MARKER: Mapping[str, Any] = {"lc_source": "summarization", "morvex_summary": True}
"""What the summary message carries in its ``additional_kwargs``."""

ContextSize = Union[tuple[Literal["tokens"], int], tuple[Literal["messages"], int],
                    tuple[Literal["fraction"], float]]
"""A threshold or an amount to keep, as LangChain's summarization middleware takes it."""

TokenCounter = Callable[[Sequence[Any]], int]
"""A LangChain token counter: the tokens of a list of messages."""


class CondensedState(AgentState[Any]):
    """The agent's state with the latest summary: ``record`` (the summary record),
    ``text`` (its context text), ``message_id`` (the message holding it),
    ``total_summarized`` (messages summarized so far) and ``summary_tokens``."""

    morvex_summary: NotRequired[Annotated[dict[str, Any] | None, OmitFromInput]]


def _size(value: Any, what: str) -> tuple[str, float]:
    """A checked ContextSize."""
    if not (isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], str)):
        raise TypeError(f"{what} must be a (kind, amount) pair such as ('tokens', 4000), "
                        f"not {value!r}")
    kind, amount = value
    if kind == "fraction":
        if isinstance(amount, bool) or not isinstance(amount, (int, float)) or \
                not 0 < amount <= 1:
            raise ValueError(f"{what} {value!r}: a fraction is more than 0 and at most 1")
        return kind, float(amount)
    if kind in ("tokens", "messages"):
        if isinstance(amount, bool) or not isinstance(amount, int) or amount < 1:
            raise ValueError(f"{what} {value!r}: the amount is a whole number of at least 1")
        return kind, amount
    raise ValueError(f"{what} {value!r}: the kind is 'tokens', 'messages' or 'fraction'")


def input_limit(model: Any) -> int | None:
    """The model's input limit in tokens, from its profile (``max_input_tokens``)."""
    profile = getattr(model, "profile", None)
    limit = profile.get("max_input_tokens") if isinstance(profile, Mapping) else None
    if isinstance(limit, int) and not isinstance(limit, bool) and limit > 0:
        return limit
    return None


def _lowest(*values: int | None) -> int | None:
    given = [v for v in values if v is not None]
    return min(given) if given else None


class _Counted(Condenser):
    """A condenser that counts the caller's messages themselves with a LangChain token
    counter (one message at a time, for the cut) and scales every count by the provider's
    reported usage."""

    list_counter: TokenCounter | None = None
    scale: float = 1.0

    def count_message(self, message: Message) -> int:
        if self.list_counter is None:
            count = super().count_message(message)
        else:
            count = self.list_counter([message])
            if isinstance(count, bool) or not isinstance(count, (int, float)) or count < 0:
                raise TypeError(f"token_counter returned {count!r}, not a count")
        return math.ceil(count * self.scale)

    def count_items(self, conversation: Any) -> list[int]:
        if self.list_counter is None:
            return super().count_items(conversation)
        return [self.count_message(item) for item in conversation.items]


class _LoopThread:
    """One event loop on a daemon thread, for the synchronous hooks: started on first use,
    kept until `close`. Coroutines run in the caller's context (LangChain's callbacks
    travel in context variables)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None

    def _started(self) -> asyncio.AbstractEventLoop:
        with self._lock:
            if self._loop is None:
                loop = asyncio.new_event_loop()
                thread = threading.Thread(target=loop.run_forever, daemon=True,
                                          name="morvex-condensing")
                thread.start()
                self._loop, self._thread = loop, thread
            return self._loop

    def run(self, coro: Any) -> Any:
        loop = self._started()
        if threading.current_thread() is self._thread:
            coro.close()
            raise RuntimeError("the condensing loop cannot wait for itself")
        done: concurrent.futures.Future[Any] = concurrent.futures.Future()

        def start() -> None:
            task = loop.create_task(coro)

            def finish(task: asyncio.Task[Any]) -> None:
                if task.cancelled():
                    done.cancel()
                elif task.exception() is not None:
                    done.set_exception(task.exception())
                else:
                    done.set_result(task.result())

            task.add_done_callback(finish)

        loop.call_soon_threadsafe(start, context=contextvars.copy_context())
        return done.result()

    @property
    def loop(self) -> asyncio.AbstractEventLoop | None:
        return self._loop

    def close(self) -> None:
        with self._lock:
            loop, thread = self._loop, self._thread
            self._loop = self._thread = None
        if loop is None or thread is None:
            return
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        loop.close()


class CondensingMiddleware(AgentMiddleware[CondensedState, Any, Any]):
    """Condenses the agent's messages before each model call.

    client: the summarizer's client (any object with a ``complete`` coroutine, such as
        `morvex_summarize.clients.langchain_client.ChatModelClient`), or a LangChain chat
        model itself (wrapped in a ``ChatModelClient``, and its profile read for fractions);
        default the offline `ExtractiveClient`.
    trigger: when to summarize: a `ContextSize` or a list of them, any of which fires; a
        threshold is reached at that amount (inclusive).
    keep: what to keep verbatim: ``("messages", N)``, ``("tokens", N)`` or
        ``("fraction", F)``; default the newest ``keep_last`` messages.
    model: the model whose profile's ``max_input_tokens`` fractions are of (default the
        client's chat model); ``max_input_tokens`` gives the limit instead.
    max_tokens, max_messages: budgets (summarize once the messages count more); with a
        trigger, the lowest applies.
    keep_last, target_tokens, target_messages: the `Condenser`'s rules.
    token_counter: a LangChain token counter (a list of messages -> tokens), such as
        ``count_tokens_approximately``; default the `Condenser`'s estimate (or the
        per-record counter of ``settings``).
    use_usage_metadata: scale the counts by the newest reply's reported usage.
    context_role: "user" (default: providers take a user message anywhere, and the agent's
        system prompt stays the only system message) or "system".
    condenser: a ready `Condenser` instead of the client, budgets and rules above.
    strategy: how the messages are made smaller: "summarize" (default),
        "clear-tool-results", "clear-thinking", "hybrid", "clear-thinking-then-summarize"
        or a `Strategy` (see
        `morvex_summarize.condense.strategies`); a message whose result or reasoning is
        cleared is written back under its own id.
    settings: a `morvex_summarize.integrations.Settings` instead of the budgets, rules,
        context_role, strategy and condenser keywords; trigger and keep apply on top of it.
    """

    state_schema = CondensedState

    def __init__(
        self,
        client: Any = None,
        *,
        trigger: ContextSize | Sequence[ContextSize] | None = None,
        keep: ContextSize | None = None,
        model: Any = None,
        max_input_tokens: int | None = None,
        max_tokens: int | None = None,
        max_messages: int | None = None,
        keep_last: int | None = None,
        target_tokens: int | None = None,
        target_messages: int | None = None,
        context_role: str | None = None,
        token_counter: TokenCounter | None = None,
        use_usage_metadata: bool = True,
        condenser: Condenser | None = None,
        strategy: str | Strategy | None = None,
        settings: Settings | None = None,
    ) -> None:
        super().__init__()
        self.last_state: CondenseState | None = None
        """What the latest condensing did (sizes before and after, what was summarized)."""
        if client is not None and not callable(getattr(client, "complete", None)) and \
                callable(getattr(client, "ainvoke", None)):
            from ..clients.langchain_client import ChatModelClient

            model = client if model is None else model
            client = ChatModelClient(client)
        if token_counter is not None and not callable(token_counter):
            raise TypeError("token_counter must be callable")
        keep_last_given = keep_last
        if settings is None:
            settings = Settings(max_tokens=max_tokens, max_messages=max_messages,
                                target_tokens=target_tokens, target_messages=target_messages,
                                condenser=condenser)
            if keep_last is not None:
                settings = dataclasses.replace(settings, keep_last=keep_last)
            if context_role is not None:
                settings = dataclasses.replace(settings, context_role=context_role)
            if strategy is not None:
                settings = dataclasses.replace(settings, strategy=strategy)
        elif any(v is not None for v in (max_tokens, max_messages, keep_last, target_tokens,
                                         target_messages, context_role, condenser, strategy)):
            raise TypeError("pass settings or its keywords, not both")
        max_tokens, max_messages = settings.max_tokens, settings.max_messages
        keep_last, target_tokens = settings.keep_last, settings.target_tokens
        triggers = [] if trigger is None else (
            [trigger] if isinstance(trigger, tuple) else list(trigger))
        sizes = [_size(t, "trigger") for t in triggers]
        kept = _size(keep, "keep") if keep is not None else None
        if any(kind == "fraction" for kind, _ in [*sizes, *([kept] if kept else [])]):
            limit = max_input_tokens if max_input_tokens is not None else input_limit(model)
            if limit is None:
                raise ValueError("a fraction needs the model's input limit: pass the chat "
                                 "model (client= or model=) with a profile that has "
                                 "max_input_tokens, or max_input_tokens=")
        else:
            limit = None

        def tokens_of(kind: str, amount: float) -> int:
            if kind == "fraction" and limit is not None:
                return math.floor(amount * limit)
            return int(amount)

        # A threshold T is reached at T: the budget the messages are kept within is T - 1.
        for kind, amount in sizes:
            budget = tokens_of(kind, amount) - 1
            if budget < 1:
                raise ValueError(f"trigger {(kind, amount)!r} is reached by any message")
            if kind == "messages":
                max_messages = _lowest(max_messages, budget)
            else:
                max_tokens = _lowest(max_tokens, budget)
        if kept is not None:
            kind, amount = kept
            if kind == "messages":
                if keep_last_given is not None and keep_last_given != amount:
                    raise ValueError("give keep or keep_last, not both")
                keep_last = int(amount)
            else:
                if target_tokens is not None:
                    raise ValueError("give keep or target_tokens, not both")
                target_tokens = tokens_of(kind, amount)
                if max_tokens is None:
                    raise ValueError(f"keep {kept!r} needs a token budget: a 'tokens' or "
                                     "'fraction' trigger, or max_tokens")
                if target_tokens > max_tokens:
                    raise ValueError(f"keep {kept!r} ({target_tokens} tokens) is more than "
                                     f"the budget the trigger leaves ({max_tokens})")
                keep_last = 1 if keep_last_given is None else keep_last_given
        self.max_input_tokens = limit
        self.use_usage_metadata = bool(use_usage_metadata)
        self.token_counter = token_counter
        self.settings = dataclasses.replace(settings, max_tokens=max_tokens,
                                            max_messages=max_messages, keep_last=keep_last,
                                            target_tokens=target_tokens)
        """The settings the condenser was made with, the trigger and keep applied."""
        self.condenser = self.settings.condenser_for(client, "langchain")
        self._loop = _LoopThread()

    @property
    def name(self) -> str:
        return "CondensingMiddleware"

    def close(self) -> None:
        """Stops the event loop of the synchronous hooks (started again if needed)."""
        self._loop.close()

    def counting(self, messages: Sequence[Any] = ()) -> Condenser:
        """The condenser for one call: counting with ``token_counter`` when there is one,
        every count scaled by the usage the newest reply among ``messages`` reports."""
        counted = _Counted.__new__(_Counted)
        counted.__dict__.update(self.condenser.__dict__)
        counted.list_counter = self.token_counter
        if self.use_usage_metadata:
            counted.scale = self._usage_scale(counted, messages)
        return counted

    @staticmethod
    def _usage_scale(counted: _Counted, messages: Sequence[Any]) -> float:
        last = next((i for i in range(len(messages) - 1, -1, -1)
                     if getattr(messages[i], "type", None) == "ai"), None)
        if last is None:
            return 1.0
        usage = getattr(messages[last], "usage_metadata", None)
        total = usage.get("total_tokens") if isinstance(usage, Mapping) else None
        if not isinstance(total, int) or isinstance(total, bool) or total <= 0:
            return 1.0
        counted_so_far = counted.count_tokens(list(messages[:last + 1]), "langchain")
        return total / counted_so_far if counted_so_far > 0 else 1.0

    def before_model(self, state: CondensedState, runtime: Runtime[Any]
                     ) -> dict[str, Any] | None:
        """The synchronous agent (``invoke``/``stream``): the summarizer runs on the
        middleware's own event loop, the same one every call."""
        return self._loop.run(self.abefore_model(state, runtime))  # type: ignore[no-any-return]

    async def abefore_model(self, state: CondensedState, runtime: Runtime[Any]
                            ) -> dict[str, Any] | None:
        messages = list(state["messages"])
        for message in messages:
            if message.id is None:  # the reducer removes and re-adds by id
                message.id = str(uuid.uuid4())
        kept: Any = state.get(STATE_KEY)
        previous = restore_state(kept, messages)
        condenser = self.counting(messages)
        condensed, done = await condenser.condense(messages, previous,
                                                   input_format="langchain")
        self.last_state = done
        if not done.changed:
            return None
        holder: Any = done.context_message
        if holder is not None:
            if getattr(holder, "id", None) is None:
                holder.id = SUMMARY_ID_PREFIX + uuid.uuid4().hex
            extra = getattr(holder, "additional_kwargs", None)
            if isinstance(extra, dict):
                holder.additional_kwargs = {**extra, **SUMMARY_MARKER}
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
