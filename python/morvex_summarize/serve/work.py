"""One request body condensed from its bytes to the bytes to send: opened, read as JSON,
condensed and written back. Runs wherever the proxy puts it (a worker thread, or the
process of its own that large bodies go to); imports nothing of the web stack.
"""

from __future__ import annotations

import asyncio
import dataclasses
from collections.abc import Callable
from typing import Any

from ..condense.strategies import EditError
from ..formats import FormatError
from . import body as bodies
from . import compaction
from .compaction import Carry, Compactor
from .condensing import Outcome, Settings, condense_body
from .endpoints import RESPONSES, Endpoint


@dataclasses.dataclass(frozen=True)
class Refusal:
    """An error the proxy answers itself, in the upstream API's error shape."""

    status: int
    message: str
    kind: str


@dataclasses.dataclass
class Done:
    """content: the body to send (None: the request's own bytes); outcome: what
    condensing did (None: nothing was condensed); warning: why the body goes on
    unchanged, for the proxy's log (after the path); item: a compaction item carried out
    in line, to stand first in the answer's output."""

    content: bytes | None
    outcome: Outcome | None = None
    warning: str | None = None
    item: dict[str, Any] | None = None


@dataclasses.dataclass
class Answered:
    """The proxy's own answer to a request that goes nowhere upstream: its JSON body, and
    a note for the proxy's log."""

    content: bytes
    note: str = ""


def one_line(exc: BaseException) -> str:
    return " ".join((str(exc) or type(exc).__name__).split())[:300]


def writer_of(fixed: Any, summarizer_model: str | None, body: dict[str, Any]) -> Any:
    """The model that writes a request's summaries: ``fixed`` (the configured summarizer's
    name and model) when there is one, else the upstream's ``summarizer_model`` or the
    request's own model."""
    if fixed is not None:
        return fixed
    return ("upstream", summarizer_model or body.get("model"))


Summarizer = Callable[[dict[str, Any], Any], Any]
"""Gives the client that writes a body's summaries, given the body and its writer."""


def _read(content: bytes, encoding: str, max_body: int) -> Any:
    """The JSON value of a request body, or the refusal of one that cannot be read."""
    if encoding in bodies.ENCODINGS:
        try:
            content = bodies.decompress(content, encoding, max_body)
        except bodies.TooLarge:
            return Refusal(413, f"the request body is larger than {max_body} bytes once "
                                "decompressed", "request_too_large")
        except ValueError as exc:
            return Refusal(400, f"the request body cannot be read: {exc}",
                           "invalid_request_error")
    try:
        return bodies.loads(content)
    except (ValueError, RecursionError) as exc:
        reason = one_line(exc) if not isinstance(exc, RecursionError) else "nested too deeply"
        return Refusal(400, f"the request body is not valid JSON: {reason}",
                       "invalid_request_error")


def _prepare(body: dict[str, Any], endpoint: Endpoint, carry: Carry | None,
             default: int) -> tuple[int | None, bool]:
    """Takes a Responses request's compaction entry out of its body and expands the
    proxy's compaction items in its input (the body changed in place), for a proxy that
    carries out compaction: (the entry's token threshold, or None without one; whether
    the body changed). Refused for an entry it cannot read or an item that does not
    open."""
    if carry is None or endpoint is not RESPONSES:
        return None, False
    limit = compaction.threshold(body, default)
    items = body.get("input")
    expanded = compaction.expand(items, carry) if isinstance(items, list) else None
    if expanded is not None:
        body["input"] = expanded
    return limit, limit is not None or expanded is not None


async def _compact_and_condense(body: dict[str, Any], endpoint: Endpoint,
                                settings: Settings, store: Any, client: Any, scope: str,
                                writer: Any, carry: Carry | None,
                                limit: int | None) -> tuple[Outcome, dict[str, Any] | None]:
    """Condenses a body (`condense_body`), once its input is compacted in line when it is
    over ``limit`` tokens; and the compaction item, if it was."""
    item = None
    if carry is not None and limit is not None and isinstance(body.get("input"), list):
        compactor = Compactor(client, settings, carry)
        if compactor.tokens(body) > limit:
            done = await compactor.compact(body["input"])
            body["input"] = compaction.expand(done.output(), carry)
            item = done.item
    return await condense_body(body, endpoint, settings, store, client, scope, writer), item


def condense_content(content: bytes, encoding: str, endpoint: Endpoint, settings: Settings,
                     max_body: int, store: Any, summarizer: Summarizer, scope: str,
                     fixed: Any, summarizer_model: str | None,
                     carry: Carry | None = None) -> Done | Refusal:
    """The body to send for a request to a conversation endpoint, or the refusal of a body
    that cannot be read. With ``carry``, a Responses request has its compaction carried
    out by the proxy (`compaction`). Runs its own event loop: call it from a thread or a
    process."""
    body = _read(content, encoding, max_body)
    if isinstance(body, Refusal):
        return body
    if not isinstance(body, dict):
        return Done(None, warning="passed on unchanged: the body is no JSON object")
    try:
        # Once the proxy has changed the body, the body it changed is sent, whatever
        # follows.
        limit, changed = _prepare(body, endpoint, carry, settings.budget)
    except compaction.Refused as exc:
        return Refusal(400, str(exc), "invalid_request_error")
    note = None
    if limit is not None and endpoint.server_held(body):
        limit = None
        note = ("context_management's compaction is not carried out for a request whose "
                "history the upstream holds")
    writer = writer_of(fixed, summarizer_model, body)
    try:
        outcome, item = asyncio.run(_compact_and_condense(
            body, endpoint, settings, store, summarizer(body, writer), scope, writer, carry,
            limit))
    except EditError as exc:  # the API itself would refuse the request
        return Refusal(400, f"context_management: {one_line(exc)}", "invalid_request_error")
    except (FormatError, RecursionError) as exc:
        return Done(bodies.dumps(body) if changed else None,
                    warning=f"passed on unchanged: cannot read the conversation: "
                            f"{one_line(exc)}")
    except Exception as exc:
        return Done(bodies.dumps(body) if changed else None,
                    warning=f"passed on unchanged: condensing failed: "
                            f"{type(exc).__name__}: {one_line(exc)}")
    if outcome.body is not None:
        return Done(bodies.dumps(outcome.body), outcome, note, item)
    if changed or item is not None:
        return Done(bodies.dumps(body), outcome, note, item)
    return Done(None, outcome, note)


def compact_content(content: bytes, encoding: str, endpoint: Endpoint, settings: Settings,
                    max_body: int, store: Any, summarizer: Summarizer, scope: str,
                    fixed: Any, summarizer_model: str | None,
                    carry: Carry | None = None) -> Answered | Refusal:
    """The proxy's answer to a compaction request (``/responses/compact``), or its
    refusal. Runs its own event loop: call it from a thread or a process."""
    assert carry is not None
    body = _read(content, encoding, max_body)
    if isinstance(body, Refusal):
        return body
    if not isinstance(body, dict):
        return Refusal(400, "the request body must be a JSON object", "invalid_request_error")
    for key in ("previous_response_id", "conversation"):
        if body.get(key):
            return Refusal(400, f"the proxy compacts the input it is sent and cannot read a "
                                f"history the upstream holds: send the whole input, not "
                                f"{key}", "invalid_request_error")
    if not isinstance(body.get("model"), str) or not body["model"]:
        return Refusal(400, "model is required: the name of a model", "invalid_request_error")
    items = body.get("input")
    if isinstance(items, str):
        items = [{"role": "user", "content": items}]
    if not isinstance(items, list) or not items:
        return Refusal(400, "input is required: the items to compact, or a text",
                       "invalid_request_error")
    try:
        items = compaction.expand(items, carry) or items
    except compaction.Refused as exc:
        return Refusal(400, str(exc), "invalid_request_error")
    client = summarizer(body, writer_of(fixed, summarizer_model, body))
    try:
        done = asyncio.run(Compactor(client, settings, carry).compact(items))
    except (FormatError, RecursionError) as exc:
        return Refusal(400, f"the input cannot be read: {one_line(exc)}",
                       "invalid_request_error")
    note = f"compacted, {done.tokens} tokens, summarized {done.summarized} of the items"
    return Answered(bodies.dumps(done.answer()),
                    note + (" (fallback summary)" if done.fallback else ""))


TASKS = {"condense": condense_content, "compact": compact_content}
"""What a job (``task``: its name) asks: a request condensed, or compacted."""


def run_task(job: dict[str, Any], store: Any, summarizer: Summarizer) -> Done | Answered | Refusal:
    """Runs a job: its task's arguments, and ``task``."""
    task: Callable[..., Done | Answered | Refusal] = TASKS[job["task"]]
    return task(store=store, summarizer=summarizer,
                **{k: v for k, v in job.items() if k != "task"})
