"""A request body's conversation, condensed with the `Condenser` in its API's own format.

Only the conversation changes: ``messages`` (Chat Completions, Anthropic Messages, with
Anthropic's ``system``) or ``input`` (Responses). Every other field of the body is passed
on as it came, and counts against the budget: the conversation gets what the tool
definitions, schemas and the rest leave of it. A request within budget is not touched at
all: the caller forwards its bytes as they came.

With ``carry_out_edits``, a Messages request's own ``context_management`` edits (the
Anthropic API's context editing) are carried out here, for an upstream that is not the
Anthropic API: the field is taken out of the body, the edits applied with the API's
defaults, and what they cleared is in the outcome (``applied_edits``), in the API's shape.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from typing import Any, cast

from ..condense import Condenser, CondenseState
from ..condense.strategies import Strategy, from_request
from ..settings import DEFAULT_CONTEXT_TOKENS, PROXY
from ..summarizing import windowed
from ..tokens import json_tokens
from ..formats import read_conversation
from .endpoints import Endpoint
from .state import Entry, StateStore, prefix_keys


@dataclasses.dataclass(frozen=True)
class Settings:
    """The `Condenser`'s budget and rules for every request. ``keep_first``: the user's
    first turn (where agents put their instructions files, the environment and the
    request) and later requests are kept verbatim. ``strategy``: the condenser's (see
    `condense.strategies`). ``carry_out_edits``: carry out a Messages request's own
    ``context_management`` edits here (the upstream is not the Anthropic API); else the
    field goes on untouched."""

    budget: int
    keep_last: int = PROXY.keep_last
    target: int | None = None
    context_role: str = PROXY.context_role
    keep_first: bool = PROXY.keep_first
    strategy: str | Strategy = PROXY.strategy
    carry_out_edits: bool = False


def fixed_tokens(body: Mapping[str, Any], endpoint: Endpoint) -> int:
    """The estimated tokens of what a body sends besides its conversation (the model's
    settings, tool definitions, schemas)."""
    return json_tokens({k: v for k, v in body.items()
                        if k not in (endpoint.items_key, endpoint.field)})


def conversation_budget(settings: Settings, fixed: int) -> tuple[int, int | None]:
    """(the conversation's budget, its target) once ``fixed`` tokens are spent on the rest
    of the body: both count the whole body. The conversation keeps a quarter of the budget
    whatever the rest takes: a body whose tools alone fill the budget cannot be brought
    within it, and is condensed as far as that quarter goes."""
    budget = max(settings.budget - fixed, settings.budget // 4, 1)
    if settings.target is None:
        return budget, None
    return budget, min(max(settings.target - fixed, 0), budget)


@dataclasses.dataclass
class Outcome:
    """What condensing did to one request: the body to send instead (None: send the
    request's own bytes), the tokens before and after, the messages summarized, whether a
    stored summary was built on, whether the summary is a fallback, and a budget that
    cannot be met."""

    body: dict[str, Any] | None
    tokens_before: int
    tokens_after: int
    summarized: int = 0
    reused: bool = False
    fallback: bool = False
    floor: int = 0
    """The tokens of what must be sent whatever is summarized (the body's other fields,
    the instructions, system messages, the user's turns kept), when they alone leave the
    budget unmeetable; 0 otherwise."""
    conversation: str | None = None
    """A key that tells the request's conversation from others (its first items)."""
    cleared: int = 0
    """Tool uses and thinking turns that the proxy's strategy cleared."""
    applied_edits: list[dict[str, Any]] | None = None
    """What the request's own ``context_management`` edits cleared, as the Anthropic API
    reports it (``context_management.applied_edits``); None when none were carried out."""


def _first_turn_end(items: list[Any]) -> int:
    """The number of items up to the end of the user's first turn (the leading
    instructions, then the user's first messages): what tells a conversation from others
    of the same caller, as agents put their instructions and the request there."""
    roles = [item.get("role") if isinstance(item, dict) else None for item in items]
    at = 0
    while at < len(roles) and roles[at] != "user":
        at += 1
    while at < len(roles) and roles[at] == "user":
        at += 1
    return at


def _kept_tail(sent: list[Any], items: list[Any]) -> int:
    """How many items at the end of ``sent`` are the request's own last items (the
    condenser shares the kept records, never copies them)."""
    n = 0
    while n < len(sent) and n < len(items) and sent[-1 - n] is items[-1 - n]:
        n += 1
    return n


def _tokens_of(condenser: Condenser, endpoint: Endpoint, items: list[Any]) -> int:
    """The tokens of some of a body's items (a kept tail: no tool call apart from its
    output)."""
    if not items:
        return 0
    part = read_conversation({endpoint.items_key: items}, endpoint.format)
    return sum(condenser.count_items(part))


def summarizer_of(client: Any, settings: Settings) -> Any:
    """The summarizer of a client (an LLM client with ``complete``, or a summarizer, taken
    as it is): summaries as every way in makes them, in windows, however long the part
    summarized, within the model's context (the budget's requests fit it, and so does the
    context every command assumes)."""
    if callable(getattr(client, "summarize_messages", None)):
        return client
    return windowed(client, context_tokens=max(settings.budget, DEFAULT_CONTEXT_TOKENS))


def _condenser(body: dict[str, Any], endpoint: Endpoint, settings: Settings,
               client: Any) -> tuple[Condenser, int]:
    """The condenser of a request body, and the tokens of the body's other fields."""
    fixed = fixed_tokens(body, endpoint)
    budget, target = conversation_budget(settings, fixed)
    return Condenser(summarizer_of(client, settings), max_tokens=budget,
                     keep_last=settings.keep_last, target_tokens=target,
                     keep_first=settings.keep_first, keep_requests=settings.keep_first,
                     context_role=settings.context_role, input_format=endpoint.format,
                     strategy=settings.strategy), fixed


async def condense_body(body: dict[str, Any], endpoint: Endpoint, settings: Settings,
                        store: StateStore, client: Any, scope: str = "",
                        writer: Any = None) -> Outcome:
    """Condenses the conversation of a request body; ``client`` writes the summaries (an
    LLM client with ``complete``, or a summarizer). ``scope`` (the caller's, from
    `StateStore.scope`) and ``writer`` (the model that writes the summaries) choose the
    stored summaries the request may build on: only those of the same caller and writer.
    A conversation that no format reads raises the reader's FormatError; the caller passes
    such a request on unchanged. A request's ``context_management`` that cannot be
    carried out raises `strategies.EditError`. The tokens in the outcome are the whole
    body's."""
    if not (settings.carry_out_edits and endpoint.format == "anthropic"
            and "context_management" in body):
        return await _condense(body, endpoint, settings, store, client, scope, writer)
    edits = from_request(body["context_management"])
    body = {k: v for k, v in body.items() if k != "context_management"}
    condenser, fixed = _condenser(body, endpoint, settings, client)
    body, applied = condenser.clear(body, edits, extra_tokens=fixed,
                                    input_format=endpoint.format)
    outcome = await _condense(body, endpoint, settings, store, client, scope, writer)
    if outcome.body is None:  # the field is never sent on
        outcome.body = body
    outcome.applied_edits = [edit.as_dict() for edit in applied]
    outcome.tokens_before += sum(edit.cleared_input_tokens for edit in applied)
    return outcome


async def _condense(body: dict[str, Any], endpoint: Endpoint, settings: Settings,
                    store: StateStore, client: Any, scope: str, writer: Any) -> Outcome:
    items: Any = body.get(endpoint.items_key)
    condenser, fixed = _condenser(body, endpoint, settings, client)
    found = keys = None
    if isinstance(items, list) and not endpoint.server_held(body):
        # The stored summary first: a request that continues one is read and counted
        # only from where that summary's items end.
        root = {"path": endpoint.path, "scope": scope, "writer": writer,
                "field": body.get(endpoint.field) if endpoint.field else None}
        keys = prefix_keys(root, items)
        found = store.find(keys)
    given: Any
    if found is None:
        given = read_conversation(body, endpoint.format)
        tokens = sum(condenser.count_items(given))
        state = None
    else:
        _, entry = found
        tokens = entry.covered + _tokens_of(condenser, endpoint, items[entry.start:])
        given = dict(body)
        given[endpoint.items_key] = entry.lead + items[entry.start:]
        if entry.field is not None and endpoint.field is not None:
            given[endpoint.field] = entry.field["value"]
        state = CondenseState(summary=entry.summary, summary_text=entry.text,
                              context_message=entry.context,
                              summary_tokens=entry.summary_tokens, total_summarized=entry.total,
                              format=endpoint.format)
    if keys is None or condenser.within_budget(tokens, 0):
        return Outcome(None, fixed + tokens, fixed + tokens)
    condensed, done = await condenser.condense(given, state, input_format=endpoint.format)
    floor = fixed + done.floor_tokens if done.floor_tokens else 0
    conversation = keys[_first_turn_end(items)]
    if not done.changed and found is None:
        return Outcome(None, fixed + tokens, fixed + tokens, floor=floor,
                       conversation=conversation)
    result = cast("dict[str, Any]", condensed)  # a body in, a body out
    sent = result[endpoint.items_key]
    if done.condensed or done.refitted:
        tail = _kept_tail(sent, items)
        field = None
        if endpoint.field is not None and result.get(endpoint.field) != body.get(endpoint.field):
            field = {"value": result.get(endpoint.field)}
        start = len(items) - tail
        # Filed under the items in front of the kept tail: a later request that starts
        # with them, whatever follows, can be sent as this one's lead and its own tail.
        store.put(keys[start], Entry(
            start=start, lead=list(sent[:len(sent) - tail]), field=field,
            summary=done.summary, text=done.summary_text, context=done.context_message,
            summary_tokens=done.summary_tokens, total=done.total_summarized,
            covered=tokens - _tokens_of(condenser, endpoint, items[start:])))
    return Outcome(result, fixed + tokens, fixed + done.tokens_after,
                   summarized=done.summarized, reused=found is not None,
                   fallback=done.fallback, floor=floor, conversation=conversation,
                   cleared=done.cleared_tool_uses + done.cleared_thinking_turns)
