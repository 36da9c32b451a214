"""An OpenAI Agents SDK session that hands the runner a condensed history (the ``agents``
extra)::

    from agents import RunConfig, Runner, SQLiteSession
    from morvex_summarize.integrations.agents import CondensingSession

    session = CondensingSession(SQLiteSession("user-42", "chats.db"), max_tokens=8000)
    config = RunConfig(call_model_input_filter=session.condense_model_input)
    result = await Runner.run(agent, "next request", session=session, run_config=config)

It wraps any other session and leaves what that one stores alone: ``add_items``,
``pop_item`` and ``clear_session`` go straight to it, and the condensing is only a view
that ``get_items()`` builds over the stored items: Responses input items in, Responses input
items out, with the `Condenser`'s rules (a ``function_call`` never separated from its
``function_call_output``, a reasoning item kept with what it led to, the newest items kept,
each summary built on the last one). The summary is one input message in front of the kept
items; `summarized_items` gives the stored items it stands for.

The runner reads the session once per run; `condense_model_input`, given to the run as its
``call_model_input_filter``, keeps the calls within a run of many tool rounds in budget too.

``get_items(limit)`` returns the newest ``limit`` stored items as they are: the runner
reads a bounded tail to check its own writes against storage, and a summary there would
not match them. Bound the history with the condenser's budget instead of a session limit:
with the wrapped session's ``SessionSettings(limit=N)`` the runner reads the newest N
stored items, as it would without the wrapper, and only `condense_model_input` condenses.

Everything else is the wrapped session's: ``session_id`` and ``session_settings`` (read and
set), ``close()`` and any public attribute or method its type adds are reached through the
wrapper, so it stands wherever the wrapped session did. Private names (a leading
underscore) are not passed on: the runner looks some up to reach a session's storage
directly, which would go around the condensed view.

The view is kept in memory: after a restart the first read condenses the stored history
anew, in one summary. Items popped off the end leave the view as they go; a stored
history that changed otherwise under the view (another writer, a popped item that was
summarized) is condensed anew the same way.
"""

from __future__ import annotations

import asyncio
import dataclasses
import hashlib
import json
from typing import Any, Unpack

from ..condense.condenser import CondenseState, Condenser
from . import Settings, SettingsKeywords

try:  # the SDK's base class for sessions, where the installed SDK has it
    from agents.memory.session import SessionABC as _SessionBase
except ImportError:  # an SDK without it: the Session protocol is met by the methods alone
    _SessionBase = object  # type: ignore[assignment,misc]


def _digest(item: Any) -> str:
    text = json.dumps(item, sort_keys=True, default=str, ensure_ascii=False)
    return hashlib.blake2b(text.encode(), digest_size=16).hexdigest()


class _View:
    """A condensed view over a list that only grows at its end (or loses items there):
    which of its items the summary stands for and which are kept, found again in the next,
    longer list by the items' contents, so each summary builds on the one before."""

    def __init__(self, condenser: Condenser) -> None:
        self.condenser = condenser
        self.forget()

    def forget(self) -> None:
        self.digests: list[str] = []  # of the items the view was made from
        self.layout: list[int | None] = []  # the view: item positions, None for the summary
        self.summarized: list[int] = []  # positions the summary stands for
        self.state: CondenseState | None = None

    def matches(self, digests: list[str]) -> int | None:
        """How many leading items of a list with these digests the view still covers, or
        None when the list changed under it."""
        seen = min(len(self.digests), len(digests))
        if digests[:seen] != self.digests[:seen] or any(p >= seen for p in self.summarized):
            return None
        return seen

    async def condense(self, items: list[Any]) -> list[Any]:
        digests = [_digest(item) for item in items]
        seen = self.matches(digests)
        if seen is None:
            self.forget()
            seen = 0
        elif seen < len(self.digests):  # items gone from the end of the view
            self.layout = [p for p in self.layout if p is None or p < seen]
        context = self.state.context_message if self.state is not None else None
        positions = [*self.layout, *range(seen, len(items))]
        given = [context if p is None else items[p] for p in positions]
        condensed, state = await self.condenser.condense(given, self.state,
                                                         input_format="responses")
        where = {id(item): p for item, p in zip(given, positions) if p is not None}
        # An item clearing rewrote stands at its stored item's place: the next read gives
        # the stored item again, and clearing rewrites it again.
        where.update((id(new), where[id(old)]) for old, new in state.rewritten
                     if new is not None and id(old) in where)
        self.summarized += [where[id(m)] for m in state.summarized_messages]
        self.layout = [where.get(id(item)) for item in condensed]
        self.digests = digests
        self.state = state
        return list(condensed)


class CondensingSession(_SessionBase):
    """A session that condenses the history of the session it wraps, and is that session
    in every other respect (its id, settings, ``close()`` and other public attributes).

    session: the session that stores the items (``SQLiteSession``, a Redis or SQLAlchemy
        session, ...); anything with the ``Session`` protocol's methods.
    client: the summarizer's client (any object with a ``complete`` coroutine, such as
        `morvex_summarize.clients.langchain_client.ChatModelClient`); default the offline
        `ExtractiveClient`.
    max_tokens, max_messages, keep_last, target_tokens, target_messages, token_counter:
        the `Condenser`'s budget and rules (messages here are input items).
    context_role: the summary message's role, "user" (default) or "system".
    strategy: how the history is made smaller: "summarize" (default),
        "clear-tool-results", "clear-thinking", "hybrid", "clear-thinking-then-summarize"
        or a `Strategy`; what clearing
        rewrites is only in the view, never in the stored items.
    condenser: a ready `Condenser` instead of the settings above.
    settings: a `morvex_summarize.integrations.Settings` instead of these keywords.
    """

    def __init__(
        self,
        session: Any,
        client: Any = None,
        *,
        settings: Settings | None = None,
        **keywords: Unpack[SettingsKeywords],
    ) -> None:
        for method in ("get_items", "add_items", "pop_item", "clear_session"):
            if not callable(getattr(session, method, None)):
                raise TypeError(f"the wrapped session has no {method}() method")
        self.session = session
        condenser = Settings.of(settings, keywords).condenser_for(client, "responses")
        self.condenser = condenser
        self._lock = asyncio.Lock()
        self._history = _View(condenser)
        self._run_input = _View(condenser)

    # -- the wrapped session's own attributes ------------------------------------------

    @property
    def session_id(self) -> str:
        return self.session.session_id  # type: ignore[no-any-return]

    @session_id.setter
    def session_id(self, value: str) -> None:
        self.session.session_id = value

    @property
    def session_settings(self) -> Any:
        """The wrapped session's settings (``SessionSettings(limit=...)``); setting them
        sets the wrapped session's."""
        return getattr(self.session, "session_settings", None)

    @session_settings.setter
    def session_settings(self, value: Any) -> None:
        self.session.session_settings = value

    def __getattr__(self, name: str) -> Any:
        # Only reached for names the wrapper lacks. Before __init__ set the session (copy,
        # pickle) there is none to ask.
        session = self.__dict__.get("session")
        if name.startswith("_") or session is None:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        return getattr(session, name)

    def __dir__(self) -> list[str]:
        own = set(super().__dir__())
        session = self.__dict__.get("session")
        if session is not None:
            own.update(n for n in dir(session) if not n.startswith("_"))
        return sorted(own)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.__dict__.get('session')!r})"

    # -- what condensing did ----------------------------------------------------------

    @property
    def state(self) -> CondenseState | None:
        """What the latest condensing of the history did (sizes, the summary)."""
        return self._history.state

    @property
    def summary(self) -> dict[str, Any] | None:
        """The latest summary record of the history, or None before the first."""
        state = self._history.state
        return state.summary if state is not None else None

    # -- the Session protocol ---------------------------------------------------------

    async def get_items(self, limit: int | None = None) -> list[Any]:
        """The condensed history; with ``limit``, the newest stored items as they are."""
        if limit is not None:
            return list(await self.session.get_items(limit))
        async with self._lock:
            return await self._history.condense(list(await self.session.get_items()))

    async def add_items(self, items: list[Any]) -> None:
        await self.session.add_items(items)

    async def pop_item(self) -> Any:
        async with self._lock:  # the next read finds the item gone from the view
            return await self.session.pop_item()

    async def clear_session(self) -> None:
        async with self._lock:
            await self.session.clear_session()
            self._history.forget()

    # -- what was summarized ----------------------------------------------------------

    async def summarized_items(self) -> list[Any]:
        """The stored items that the summary of the history stands for, oldest first."""
        async with self._lock:
            if not self._history.summarized:
                return []
            stored = list(await self.session.get_items())
            if self._history.matches([_digest(i) for i in stored]) is None:
                return []  # changed under the view: the next read summarizes anew
            return [stored[p] for p in sorted(self._history.summarized)]

    # -- within a run -----------------------------------------------------------------

    async def condense_model_input(self, data: Any) -> Any:
        """A ``RunConfig.call_model_input_filter``: the runner reads the session once per
        run, and a run of many tool rounds grows past the budget before it ends. This
        condenses each model call's input (the history and the run's items so far) with the
        same rules, building on the summary of the calls before it in the run; what the
        session stores is not touched::

            RunConfig(call_model_input_filter=session.condense_model_input)
        """
        model_data = data.model_data
        condensed = await self._run_input.condense(list(model_data.input))
        return dataclasses.replace(model_data, input=condensed)
