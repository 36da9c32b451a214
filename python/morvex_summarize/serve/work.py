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
from .condensing import Outcome, Settings, condense_body
from .endpoints import Endpoint


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
    unchanged, for the proxy's log (after the path)."""

    content: bytes | None
    outcome: Outcome | None = None
    warning: str | None = None


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


def condense_content(content: bytes, encoding: str, endpoint: Endpoint, settings: Settings,
                     max_body: int, store: Any, summarizer: Summarizer, scope: str,
                     fixed: Any, summarizer_model: str | None) -> Done | Refusal:
    """The body to send for a request to a conversation endpoint, or the refusal of a body
    that cannot be read. Runs its own event loop: call it from a thread or a process."""
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
        body = bodies.loads(content)
    except (ValueError, RecursionError) as exc:
        reason = one_line(exc) if not isinstance(exc, RecursionError) else "nested too deeply"
        return Refusal(400, f"the request body is not valid JSON: {reason}",
                       "invalid_request_error")
    if not isinstance(body, dict):
        return Done(None, warning="passed on unchanged: the body is no JSON object")
    writer = writer_of(fixed, summarizer_model, body)
    try:
        outcome = asyncio.run(condense_body(body, endpoint, settings, store,
                                            summarizer(body, writer), scope, writer))
    except EditError as exc:  # the API itself would refuse the request
        return Refusal(400, f"context_management: {one_line(exc)}", "invalid_request_error")
    except (FormatError, RecursionError) as exc:
        return Done(None, warning=f"passed on unchanged: cannot read the conversation: "
                                  f"{one_line(exc)}")
    except Exception as exc:
        return Done(None, warning=f"passed on unchanged: condensing failed: "
                                  f"{type(exc).__name__}: {one_line(exc)}")
    if outcome.body is None:
        return Done(None, outcome)
    return Done(bodies.dumps(outcome.body), outcome)
