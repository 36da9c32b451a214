"""The proxy's Starlette application.

Every request under ``/v1`` goes to the same path under the upstream's base URL, with the
client's headers (its key among them) and its body. A request to an endpoint that carries
a conversation (`condensing.ENDPOINTS`) has that conversation condensed first, when it is
over budget; its answer carries ``X-Morvex-Condensed: BEFORE/AFTER`` (estimated tokens).
Answers, streamed ones included, are relayed as they arrive, with their status and headers.

What the proxy answers itself: 413 for a body over the size limit, 400 for a conversation
endpoint's body that is not JSON, 502 when the upstream cannot be reached, 504 when it does
not answer in time, 404 outside ``/v1``; in the error shape of the upstream's API. Keys
and bodies are never logged.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import json
import logging
from collections.abc import AsyncIterator
from typing import Any

import anyio
import httpx
from starlette.applications import Starlette
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from ..formats import FormatError
from .condensing import ENDPOINTS, Endpoint, Outcome, Settings, condense_body
from .state import StateStore
from .upstream import DEFAULT_CONNECTIONS, Upstream, UpstreamSummarizer, forwarded, relayed

log = logging.getLogger("morvex_summarize.serve")

CONDENSED_HEADER = "x-morvex-condensed"
DEFAULT_MAX_BODY = 32 * 1024 * 1024
DEFAULT_TIMEOUT = 600.0

_SUMMARY_APIS = {"openai": "chat", "responses": "responses", "anthropic": "messages"}


@dataclasses.dataclass(frozen=True)
class ServeConfig:
    """upstream: the upstream's base URL; upstream_format: "openai" or "anthropic";
    settings: the condenser's; timeout: seconds per upstream request (see `Upstream`);
    max_body: bytes a request body may have; summarizer: a fixed summarizer client, or
    None for the upstream's own model (``summarizer_model``, else the request's model)."""

    upstream: str
    settings: Settings
    upstream_format: str = "openai"
    timeout: float = DEFAULT_TIMEOUT
    max_body: int = DEFAULT_MAX_BODY
    summarizer: Any = None
    summarizer_model: str | None = None
    max_connections: int = DEFAULT_CONNECTIONS


class TooLarge(Exception):
    pass


def one_line(exc: BaseException) -> str:
    return " ".join((str(exc) or type(exc).__name__).split())[:300]


class Watched:
    """Passes a summary request to the client, and logs a failure (the summarizer then
    makes a fallback summary, and the request goes on)."""

    def __init__(self, client: Any, path: str) -> None:
        self.client = client
        self.path = path
        self.failed = False

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any:
        try:
            return await self.client.complete(messages=messages, max_tokens=max_tokens)
        except Exception as exc:
            self.failed = True
            log.warning("%s: the summarizer failed, using a fallback summary: %s", self.path,
                        one_line(exc))
            raise


class RelayResponse(StreamingResponse):
    """The upstream's answer, relayed piece by piece as it arrives. The upstream
    response is closed however the relay ends, a client that went away included (which
    ends the upstream request)."""

    def __init__(self, answer: httpx.Response, headers: list[tuple[bytes, bytes]]) -> None:
        super().__init__(self._pieces(answer), status_code=answer.status_code)
        self.raw_headers = headers
        self.answer = answer

    @staticmethod
    async def _pieces(answer: httpx.Response) -> AsyncIterator[bytes]:
        try:
            async for piece in answer.aiter_raw():
                yield piece
        except httpx.HTTPError as exc:
            log.warning("%s: the upstream's answer broke off: %s", answer.request.url.path,
                        type(exc).__name__)
            raise

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        try:
            await super().__call__(scope, receive, send)
        finally:
            with anyio.CancelScope(shield=True):
                await self.answer.aclose()


class Proxy:
    """The application's state: the configuration, the upstream and the stored
    summaries."""

    def __init__(self, config: ServeConfig, store: StateStore) -> None:
        self.config = config
        self.store = store
        self.endpoints: dict[str, Endpoint] = {
            e.path: e for e in ENDPOINTS[config.upstream_format]}
        self.upstream: Upstream | None = None

    def error(self, status: int, message: str, kind: str) -> JSONResponse:
        """An error in the upstream API's own shape."""
        if self.config.upstream_format == "anthropic":
            body: dict[str, Any] = {"type": "error", "error": {"type": kind, "message": message}}
        else:
            body = {"error": {"message": message, "type": kind, "param": None, "code": None}}
        return JSONResponse(body, status_code=status)

    @contextlib.asynccontextmanager
    async def lifespan(self, app: Starlette) -> AsyncIterator[None]:
        self.upstream = Upstream(self.config.upstream, self.config.timeout,
                                 self.config.max_connections)
        try:
            yield
        finally:
            await self.upstream.aclose()
            self.store.close()
            aclose = getattr(self.config.summarizer, "aclose", None)
            if aclose is not None:
                await aclose()

    async def read_body(self, request: Request) -> bytes:
        limit = self.config.max_body
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            raise TooLarge
        pieces, size = [], 0
        async for piece in request.stream():
            size += len(piece)
            if size > limit:
                raise TooLarge
            pieces.append(piece)
        return b"".join(pieces)

    def summarizer(self, request: Request, body: dict[str, Any], endpoint: Endpoint) -> Watched:
        client = self.config.summarizer
        if client is None:
            assert self.upstream is not None
            client = UpstreamSummarizer(self.upstream, _SUMMARY_APIS[endpoint.format],
                                        self.config.summarizer_model or body.get("model"),
                                        request.headers.items())
        return Watched(client, endpoint.path)

    async def condense(self, request: Request, endpoint: Endpoint, content: bytes
                       ) -> tuple[bytes, Outcome | None] | Response:
        """(the body to send, what condensing did), or the error answer for a body that
        is not JSON."""
        try:
            body = json.loads(content)
        except (ValueError, RecursionError) as exc:
            reason = one_line(exc) if not isinstance(exc, RecursionError) else "nested too deeply"
            return self.error(400, f"the request body is not valid JSON: {reason}",
                              "invalid_request_error")
        if not isinstance(body, dict):
            log.warning("%s: passed on unchanged: the body is no JSON object", endpoint.path)
            return content, None
        watched = self.summarizer(request, body, endpoint)
        try:
            outcome = await condense_body(body, endpoint, self.config.settings, self.store,
                                          watched)
        except (FormatError, RecursionError) as exc:
            log.warning("%s: passed on unchanged: cannot read the conversation: %s",
                        endpoint.path, one_line(exc))
            return content, None
        except Exception as exc:
            log.warning("%s: passed on unchanged: condensing failed: %s: %s", endpoint.path,
                        type(exc).__name__, one_line(exc))
            return content, None
        if outcome.body is None:
            return content, outcome
        return _dumps(outcome.body), outcome

    async def handle(self, request: Request) -> Response:
        path = "/" + request.path_params["rest"]
        try:
            content = await self.read_body(request)
        except TooLarge:
            return self.error(413, f"the request body is larger than {self.config.max_body} "
                                   "bytes", "request_too_large")
        except ClientDisconnect:
            return Response(status_code=400)
        work = asyncio.ensure_future(self.exchange(request, path, content))
        gone = asyncio.ensure_future(_disconnected(request))
        try:
            await asyncio.wait((work, gone), return_when=asyncio.FIRST_COMPLETED)
        finally:
            gone.cancel()
            if not work.done():
                work.cancel()
                log.info("%s %s: the client went away; the upstream request is cancelled",
                         request.method, path)
        if work.cancelled():
            return Response(status_code=499)
        return work.result()

    async def exchange(self, request: Request, path: str, content: bytes) -> Response:
        endpoint = self.endpoints.get(path) if request.method == "POST" else None
        outcome = None
        encoding = request.headers.get("content-encoding", "identity").strip().lower()
        if endpoint is not None and encoding != "identity":
            log.warning("%s: passed on unchanged: the body is %s-encoded", path, encoding)
        elif endpoint is not None:
            done = await self.condense(request, endpoint, content)
            if isinstance(done, Response):
                return done
            content, outcome = done
        assert self.upstream is not None
        try:
            answer = await self.upstream.open(request.method, path, request.url.query,
                                              forwarded(request.headers.raw), content)
        except httpx.TimeoutException:
            log.warning("%s %s: the upstream did not answer within %g seconds",
                        request.method, path, self.config.timeout)
            return self.error(504, f"the upstream did not answer within "
                                   f"{self.config.timeout:g} seconds", "timeout")
        except httpx.HTTPError as exc:
            log.warning("%s %s: cannot reach the upstream: %s", request.method, path,
                        type(exc).__name__)
            return self.error(502, f"cannot reach the upstream: {type(exc).__name__}",
                              "upstream_unreachable")
        headers = relayed(answer.headers.raw)
        note = ""
        if outcome is not None:
            headers.append((CONDENSED_HEADER.encode(),
                            f"{outcome.tokens_before}/{outcome.tokens_after}".encode()))
            note = f", {outcome.tokens_before}/{outcome.tokens_after} tokens"
            if outcome.summarized:
                note += f", summarized {outcome.summarized} of the items"
                if outcome.fallback:
                    note += " (fallback summary)"
        log.info("%s %s: %d%s", request.method, path, answer.status_code, note)
        return RelayResponse(answer, headers)


async def _disconnected(request: Request) -> None:
    while (await request.receive())["type"] != "http.disconnect":
        pass


def _dumps(body: Any) -> bytes:
    try:
        return json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode()
    except UnicodeEncodeError:  # a lone surrogate, which JSON can only write escaped
        return json.dumps(body, separators=(",", ":")).encode()


def create_app(config: ServeConfig, store: StateStore | None = None) -> Starlette:
    """The proxy as an ASGI application (run it with uvicorn)."""
    proxy = Proxy(config, store if store is not None else StateStore())

    async def elsewhere(request: Request) -> Response:
        return proxy.error(404, "not found: the proxy serves the API under /v1",
                           "not_found_error")

    methods = ["GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS"]
    app = Starlette(routes=[Route("/v1/{rest:path}", proxy.handle, methods=methods),
                            Route("/{rest:path}", elsewhere, methods=methods)],
                    lifespan=proxy.lifespan)
    app.state.proxy = proxy
    return app
