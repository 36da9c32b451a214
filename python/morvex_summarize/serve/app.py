"""The proxy's Starlette application.

Every request under ``/v1`` goes to the same path under the upstream's base URL, with the
client's headers (its key among them) and its body. A request to an endpoint that carries
a conversation (`endpoints.ENDPOINTS`) has that conversation condensed first, when it is
over budget; its answer carries ``X-Morvex-Condensed: BEFORE/AFTER`` (estimated tokens).
Answers, streamed ones included, are relayed as they arrive, with their status and headers.
A Messages request whose ``context_management`` edits the proxy carried out
(``carry_out_edits``) has what they cleared in ``X-Morvex-Applied-Edits`` (JSON) and, when
its answer is one JSON message, in the answer's ``context_management.applied_edits``, as
the Anthropic API reports it; a streamed answer is relayed as it comes, with the header.

The path is read as the client spelled it: a path with dot segments or an encoded ``/``,
``?``, ``#`` or ``\\`` is refused, and every other spelling of a path is brought to one
(``/v1//chat/%63ompletions`` is ``/chat/completions``), so no request reaches above the
base and none skips condensing.

Reading, hashing and condensing a body run in worker threads, not on the event loop, and
a body of a megabyte or more in a process of its own (`isolated`), one at a time: a large
body costs its own client time, not every other client's. The bytes of request bodies
held at once are bounded.

With ``carry_out_compaction``, the proxy answers the Responses API's compaction itself
(``POST /v1/responses/compact``, and ``context_management`` in line), and expands its
compaction items before a request goes upstream (`compaction`).

What the proxy answers itself, in the error shape of the upstream's API: 400 for a
refused path, a conversation endpoint's body that is not JSON, or a compaction request or
item it cannot carry out, 404 outside ``/v1``, 408 for a body that stops arriving, 413 for
a body over the size limit, 415 for a conversation endpoint's body in an encoding other
than gzip or deflate, 502 when the upstream cannot be reached, 503 (with ``Retry-After``)
while the bound on bodies held is reached, 504 when the upstream does not answer in time.
Keys and bodies are never logged.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import contextlib
import dataclasses
import hmac
import json
import logging
import re
import threading
from collections.abc import AsyncIterator, Callable
from typing import Any
from urllib.parse import quote_from_bytes, unquote_to_bytes

import anyio
import httpx
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from ..clients.extractive import ExtractiveClient
from ..settings import ACCESS_HEADER, CONDENSING_WORKERS, UPSTREAM_CONNECTIONS
from . import DEFAULT_CLIENT_TIMEOUT, DEFAULT_MAX_BODY, DEFAULT_MAX_HELD, DEFAULT_TIMEOUT
from . import body as bodies
from . import compaction
from .compaction import Carry, InFront, Sealer
from .condensing import Outcome, Settings
from .endpoints import ENDPOINTS, RESPONSES, Endpoint, error_shape
from .isolated import Isolated
from .state import StateStore
from .work import Answered, Done, Refusal, one_line, run_task
from .upstream import CREDENTIAL_HEADERS, Upstream, UpstreamSummarizer, forwarded, relayed

log = logging.getLogger("morvex_summarize.serve")

CONDENSED_HEADER = "x-morvex-condensed"
APPLIED_HEADER = "x-morvex-applied-edits"
"""On a response whose request's context edits the proxy carried out: what each cleared,
as JSON (the Anthropic API's ``applied_edits``)."""
UNMET_HEADER = "x-morvex-budget-unmet"
"""On a response whose request must keep more than the budget: the tokens it must keep
and the budget (``12000/8000``)."""
REPORTED = 4096
"""Conversations remembered as told of an unmeetable budget (the least recent forgotten)."""
DEFAULT_WORKERS = CONDENSING_WORKERS
LARGE_BODY = 1024 * 1024
"""Bodies of this many bytes or more are condensed one at a time, in a process of their
own."""
RETRY_AFTER = 1

@dataclasses.dataclass(frozen=True)
class ServeConfig:
    """upstream: the upstream's base URL; upstream_format: "openai" or "anthropic";
    settings: the condenser's; timeout: seconds per upstream request (see `Upstream`);
    max_body: bytes a request body may have; max_held: bytes of request bodies held at
    once (past it a request gets 503; one body alone is always taken); client_timeout:
    seconds a client may pause while sending its body; workers: threads that condense;
    isolate: condense bodies of `LARGE_BODY` bytes or more in a process of their own;
    env_proxy: reach the upstream through the environment's proxy; summarizer: a fixed
    summarizer client, or None for the upstream's own model (``summarizer_model``, else
    the request's model); carry_out_compaction: the proxy answers the Responses API's
    compaction itself (`compaction`), with ``compaction_key`` (None: a key drawn from the
    store's secret); access_token: what every caller must present in `ACCESS_HEADER`,
    else 401 (None: no token is asked for)."""

    upstream: str
    settings: Settings
    upstream_format: str = "openai"
    timeout: float = DEFAULT_TIMEOUT
    max_body: int = DEFAULT_MAX_BODY
    summarizer: Any = None
    summarizer_model: str | None = None
    max_connections: int = UPSTREAM_CONNECTIONS
    max_held: int = DEFAULT_MAX_HELD
    client_timeout: float = DEFAULT_CLIENT_TIMEOUT
    workers: int = DEFAULT_WORKERS
    env_proxy: bool = False
    isolate: bool = True
    carry_out_compaction: bool = False
    compaction_key: bytes | None = None
    access_token: bytes | None = None


class TooLarge(Exception):
    pass


class Busy(Exception):
    """The bound on bytes held is reached."""


_ENCODED_SEPARATOR = re.compile(r"%(2f|3f|23|5c)", re.IGNORECASE)
_PATH_SAFE = b"!$&'()*+,;=:@~"


def upstream_path(raw: bytes) -> str | None:
    """The path under the upstream's base that a request's raw path (``/v1/...``) names,
    spelled one way (empty segments left out, only what must be encoded encoded); None
    for a path with dot segments (raw or encoded), an encoded separator (``/``, ``?``,
    ``#``, ``\\``), a backslash or a control character."""
    try:
        text = raw.decode("ascii")
    except UnicodeDecodeError:
        return None
    segments = []
    for segment in text.split("/")[1:]:
        if not segment:
            continue
        if "\\" in segment or _ENCODED_SEPARATOR.search(segment):
            return None
        decoded = unquote_to_bytes(segment)
        if decoded in (b".", b"..") or any(c < 0x20 or c == 0x7F for c in decoded):
            return None
        segments.append(quote_from_bytes(decoded, safe=_PATH_SAFE))
    if not text.startswith("/") or not segments or segments[0] != "v1":
        return None
    return "/" + "/".join(segments[1:])


class Hold:
    """The bytes of one request's body, counted against the proxy's bound until every
    holder (the request, a worker condensing it) lets go. Used on the event loop only."""

    def __init__(self, proxy: Proxy) -> None:
        self.proxy = proxy
        self.size = 0
        self.holders = 1

    def add(self, size: int) -> None:
        proxy = self.proxy
        if proxy.held > self.size and proxy.held + size > proxy.config.max_held:
            raise Busy
        proxy.held += size
        self.size += size

    def let_go(self) -> None:
        self.holders -= 1
        if self.holders == 0:
            self.proxy.held -= self.size
            self.size = 0


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


class OnLoop:
    """A client whose calls run on the proxy's event loop, for a condenser in a worker
    thread: the upstream's connections belong to that loop. While a call is out, the
    worker gives up its turn at condensing large bodies (``slot``)."""

    def __init__(self, client: Any, loop: asyncio.AbstractEventLoop,
                 slot: threading.Semaphore | None) -> None:
        self.client = client
        self.loop = loop
        self.slot = slot
        self.abandoned = False
        self.out: concurrent.futures.Future[Any] | None = None

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any:
        if self.abandoned:
            raise asyncio.CancelledError
        self.out = asyncio.run_coroutine_threadsafe(
            self.client.complete(messages=messages, max_tokens=max_tokens), self.loop)
        if self.slot is not None:
            self.slot.release()
        try:
            return await asyncio.wrap_future(self.out)
        finally:
            self.out = None
            if self.slot is not None:
                self.slot.acquire()

    def abandon(self) -> None:
        """The client went away: no further call, and the one out is cancelled."""
        self.abandoned = True
        out = self.out
        if out is not None:
            out.cancel()


class RelayResponse(StreamingResponse):
    """The upstream's answer, relayed piece by piece as it arrives. The upstream
    response is closed however the relay ends, a client that went away included (which
    ends the upstream request)."""

    def __init__(self, answer: httpx.Response, headers: list[tuple[bytes, bytes]],
                 rewrite: InFront | None = None) -> None:
        super().__init__(self._pieces(answer, rewrite), status_code=answer.status_code)
        self.raw_headers = headers
        self.answer = answer

    @staticmethod
    async def _pieces(answer: httpx.Response, rewrite: InFront | None) -> AsyncIterator[bytes]:
        try:
            if rewrite is None:
                async for piece in answer.aiter_raw():
                    yield piece
                return
            async for piece in answer.aiter_bytes():  # decoded: it is read, and changed
                out = rewrite.feed(piece)
                if out:
                    yield out
            yield rewrite.finish()
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
    """The application's state: the configuration, the upstream, the stored summaries and
    the workers that condense."""

    def __init__(self, config: ServeConfig, store: StateStore) -> None:
        self.config = config
        self.store = store
        self.endpoints: dict[str, Endpoint] = {
            e.path: e for e in ENDPOINTS[config.upstream_format]}
        self.errors = error_shape(config.upstream_format)  # its error shape is the proxy's own
        self.upstream: Upstream | None = None
        self.workers: concurrent.futures.ThreadPoolExecutor | None = None
        self.large = threading.Semaphore(1)
        self.isolated = Isolated()
        self.held = 0
        self.reported: collections.OrderedDict[str | None, None] = collections.OrderedDict()
        self.sealer: Sealer | None = None
        if config.carry_out_compaction and config.upstream_format == "openai":
            key = config.compaction_key
            self.sealer = Sealer(key if key is not None else store.derived_key("compaction"))

    def report_floor(self, path: str, outcome: Outcome) -> None:
        """Logs, once per conversation, that its budget cannot be met."""
        key = outcome.conversation
        if key in self.reported:
            self.reported.move_to_end(key)
            return
        self.reported[key] = None
        if len(self.reported) > REPORTED:
            self.reported.popitem(last=False)
        log.warning("%s: the budget of %d tokens cannot be met: %d tokens must be sent "
                    "whatever is summarized (the other fields, instructions, system "
                    "messages, the user's turns); the rest of this conversation is "
                    "condensed within the budget on top of them", path,
                    self.config.settings.budget, outcome.floor)

    def error(self, status: int, message: str, kind: str,
              headers: dict[str, str] | None = None) -> JSONResponse:
        """An error in the upstream API's own shape."""
        return JSONResponse(self.errors.error_body(message, kind), status_code=status,
                            headers=headers)

    def admits(self, request: Request) -> bool:
        """The request presents the access token, or none is asked for."""
        token = self.config.access_token
        if token is None:
            return True
        presented = request.headers.get(ACCESS_HEADER, "").encode("utf-8", "surrogateescape")
        return hmac.compare_digest(presented, token)

    def no_websocket(self) -> JSONResponse:
        """The answer to a WebSocket upgrade: 426, on which clients that can speak HTTP
        (Codex among them) go on over HTTP at once instead of retrying."""
        return self.error(426, NO_WEBSOCKET, "invalid_request_error")

    @contextlib.asynccontextmanager
    async def lifespan(self, app: Starlette) -> AsyncIterator[None]:
        self.upstream = Upstream(self.config.upstream, self.config.timeout,
                                 self.config.max_connections, self.config.env_proxy)
        self.workers = concurrent.futures.ThreadPoolExecutor(
            self.config.workers, thread_name_prefix="morvex-condense")
        try:
            yield
        finally:
            self.workers.shutdown(wait=False, cancel_futures=True)
            await asyncio.to_thread(self.isolated.close)
            await self.upstream.aclose()
            self.store.close()
            aclose = getattr(self.config.summarizer, "aclose", None)
            if aclose is not None:
                await aclose()

    async def read_body(self, request: Request, hold: Hold) -> bytes:
        limit = self.config.max_body
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            raise TooLarge
        pieces, size = [], 0
        wait = self.config.client_timeout
        async with asyncio.timeout(wait) as deadline:
            async for piece in request.stream():
                deadline.reschedule(asyncio.get_running_loop().time() + wait)
                size += len(piece)
                if size > limit:
                    raise TooLarge
                hold.add(len(piece))
                pieces.append(piece)
        return b"".join(pieces)

    def fixed_writer(self) -> Any:
        """The configured summarizer's name and model, or None for the upstream's."""
        client = self.config.summarizer
        if client is None:
            return None
        return (getattr(client, "name", type(client).__name__), self.config.summarizer_model)

    def summarizer(self, headers: list[tuple[str, str]], endpoint: Endpoint,
                   writer: Any) -> Any:
        """The client that writes the summaries of a request (``writer``: `writer_of`)."""
        if self.config.summarizer is not None:
            return self.config.summarizer
        assert self.upstream is not None
        return UpstreamSummarizer(self.upstream, endpoint, writer[1], headers)

    def job(self, endpoint: Endpoint, content: bytes, encoding: str,
            headers: list[tuple[str, str]], task: str = "condense") -> dict[str, Any]:
        """`run_task`'s job for a request: its task's arguments, but its store and
        summarizer."""
        credentials = [(k, v) for k, v in headers if k.lower() in CREDENTIAL_HEADERS]
        carry = None
        if self.sealer is not None and endpoint is RESPONSES:
            carry = Carry(self.sealer, self.sealer.binding(credentials), self.config.max_body)
        return {"task": task, "content": content, "encoding": encoding, "endpoint": endpoint,
                "settings": self.config.settings, "max_body": self.config.max_body,
                "scope": self.store.scope(credentials), "fixed": self.fixed_writer(),
                "summarizer_model": self.config.summarizer_model, "carry": carry}

    def encoding(self, request: Request) -> str | Response:
        """The content encoding of a request's body, or the 415 for one the proxy cannot
        open."""
        encoding = request.headers.get("content-encoding", "identity").strip().lower()
        if encoding not in ("identity", "") and encoding not in bodies.ENCODINGS:
            return self.error(415, f"the proxy cannot read a body in the {encoding!r} "
                                   "encoding: send it plain, gzip or deflate",
                              "invalid_request_error")
        return encoding

    async def work(self, request: Request, endpoint: Endpoint, content: bytes,
                   encoding: str, hold: Hold,
                   task: str = "condense") -> Done | Answered | Response:
        """What a job on a request's body gives (`run_task`), or the proxy's own answer
        for a body it cannot read. The work runs in a worker thread, or for a large body in
        the process of its own (`Isolated`)."""
        headers = request.headers.items()
        job = self.job(endpoint, content, encoding, headers, task)
        if len(content) >= LARGE_BODY and self.config.isolate:
            done = await self._isolated(job, headers, endpoint, hold)
        else:
            done = await self._threaded(job, headers, endpoint, hold)
        if isinstance(done, Refusal):
            return self.error(done.status, done.message, done.kind)
        if isinstance(done, Done) and done.warning is not None:
            log.warning("%s: %s", request.url.path, done.warning)
        return done

    async def compact(self, request: Request, content: bytes, hold: Hold) -> Response:
        """The proxy's answer to ``POST /responses/compact``: nothing goes upstream but
        the summary request."""
        encoding = self.encoding(request)
        if isinstance(encoding, Response):
            return encoding
        done = await self.work(request, RESPONSES, content, encoding, hold, "compact")
        if isinstance(done, Response):
            return done
        if isinstance(done, Done):  # the process that works on large bodies failed
            return self.error(500, f"the compaction failed: {done.warning}", "server_error")
        log.info("POST %s: 200, %s", compaction.PATH, done.note)
        return Response(done.content, media_type="application/json")

    async def _threaded(self, job: dict[str, Any], headers: list[tuple[str, str]],
                        endpoint: Endpoint, hold: Hold) -> Done | Answered | Refusal:
        assert self.workers is not None
        loop = asyncio.get_running_loop()
        worker = _Job(self, endpoint, headers, loop, job)
        future = self.workers.submit(worker.run)
        hold.holders += 1
        future.add_done_callback(lambda _: _soon(loop, hold.let_go))
        try:
            return await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            worker.abandon()
            raise

    async def _isolated(self, job: dict[str, Any], headers: list[tuple[str, str]],
                        endpoint: Endpoint, hold: Hold) -> Done | Answered | Refusal:
        fixed = self.config.summarizer
        job["extractive"] = isinstance(fixed, ExtractiveClient)
        abandoned = False

        async def complete(messages: list[dict[str, Any]], max_tokens: int,
                           writer: Any) -> Any:
            if abandoned:
                raise asyncio.CancelledError
            client = Watched(self.summarizer(headers, endpoint, writer), endpoint.path)
            return await client.complete(messages=messages, max_tokens=max_tokens)

        task = asyncio.ensure_future(self.isolated.run(job, self.store, complete))
        hold.holders += 1
        task.add_done_callback(lambda _: hold.let_go())
        try:
            return await asyncio.shield(task)
        except asyncio.CancelledError:
            abandoned = True
            raise

    async def handle(self, request: Request) -> Response:
        if "websocket" in request.headers.get("upgrade", "").lower():
            return self.no_websocket()  # an upgrade the server left to the application
        if not self.admits(request):
            return self.error(401, f"the proxy needs its access token in the "
                                   f"{ACCESS_HEADER} header", "authentication_error")
        raw = request.scope.get("raw_path") or quote_from_bytes(
            request.scope["path"].encode(), safe=b"/" + _PATH_SAFE).encode()
        path = upstream_path(raw)
        if path is None:
            return self.error(400, "the request path is refused: it has a dot segment, an "
                                   "encoded '/', '?', '#' or '\\', or a control character",
                              "invalid_request_error")
        hold = Hold(self)
        try:
            content = await self.read_body(request, hold)
        except TooLarge:
            hold.let_go()
            return self.error(413, f"the request body is larger than {self.config.max_body} "
                                   "bytes", "request_too_large")
        except Busy:
            hold.let_go()
            return self.error(503, "the proxy holds as many request bodies as it may; "
                                   "try again shortly", "overloaded_error",
                              {"retry-after": str(RETRY_AFTER)})
        except TimeoutError:
            hold.let_go()
            return self.error(408, f"the request body stopped arriving for "
                                   f"{self.config.client_timeout:g} seconds",
                              "request_timeout")
        except ClientDisconnect:
            hold.let_go()
            return Response(status_code=400)
        work = asyncio.ensure_future(self.exchange(request, path, content, hold))
        gone = asyncio.ensure_future(_disconnected(request))
        try:
            done, _ = await asyncio.wait((work, gone), return_when=asyncio.FIRST_COMPLETED)
        except BaseException:
            work.cancel()
            raise
        finally:
            gone.cancel()
            hold.let_go()
        if work in done:
            return work.result()
        work.cancel()
        work.add_done_callback(_settled)
        log.info("%s %s: the client went away; the upstream request is cancelled",
                 request.method, path)
        return Response(status_code=499)

    async def exchange(self, request: Request, path: str, content: bytes,
                       hold: Hold) -> Response:
        if self.sealer is not None and request.method == "POST" and path == compaction.PATH:
            return await self.compact(request, content, hold)
        endpoint = self.endpoints.get(path) if request.method == "POST" else None
        headers = forwarded(request.headers.raw)
        outcome = item = None
        if endpoint is not None:
            encoding = self.encoding(request)
            if isinstance(encoding, Response):
                return encoding
            done = await self.work(request, endpoint, content, encoding, hold)
            if isinstance(done, Response):
                return done
            assert isinstance(done, Done)
            outcome, item = done.outcome, done.item
            if done.content is not None:
                # The condensed body goes plain, whatever encoding the client's had.
                headers = [(k, v) for k, v in headers if k.lower() != b"content-encoding"]
                content = done.content
            if item is not None:  # the answer is rewritten: it comes plain
                headers = [(k, v) for k, v in headers if k.lower() != b"accept-encoding"]
                headers.append((b"accept-encoding", b"identity"))
        assert self.upstream is not None
        try:
            answer = await self.upstream.open(request.method, path, request.url.query,
                                              headers, content)
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
        rewrite = None
        kind = answer.headers.get("content-type", "")
        if item is not None and answer.status_code == 200 and (
                "json" in kind or "text/event-stream" in kind):
            rewrite = InFront(item, "text/event-stream" in kind)
            headers = [(k, v) for k, v in headers if k != b"content-encoding"]
            note = ", compacted in line"
        if outcome is not None:
            headers.append((CONDENSED_HEADER.encode(),
                            f"{outcome.tokens_before}/{outcome.tokens_after}".encode()))
            note = f", {outcome.tokens_before}/{outcome.tokens_after} tokens"
            if outcome.floor:
                headers.append((UNMET_HEADER.encode(),
                                f"{outcome.floor}/{self.config.settings.budget}".encode()))
                self.report_floor(path, outcome)
            if outcome.summarized:
                note += f", summarized {outcome.summarized} of the items"
                if outcome.fallback:
                    note += " (fallback summary)"
            if outcome.cleared:
                note += f", cleared {outcome.cleared} tool uses and thinking turns"
            if outcome.applied_edits is not None:
                headers.append((APPLIED_HEADER.encode(), json.dumps(
                    outcome.applied_edits, separators=(",", ":")).encode()))
                note += f", {len(outcome.applied_edits)} of the request's context edits applied"
        log.info("%s %s: %d%s", request.method, path, answer.status_code, note)
        if outcome is not None and outcome.applied_edits is not None and rewrite is None \
                and answer.status_code == 200 and kind.startswith("application/json"):
            return await self.with_applied_edits(answer, headers, outcome.applied_edits)
        return RelayResponse(answer, headers, rewrite)

    async def with_applied_edits(self, answer: httpx.Response,
                                 headers: list[tuple[bytes, bytes]],
                                 applied: list[dict[str, Any]]) -> Response:
        """The upstream's JSON answer with ``context_management.applied_edits`` added, as
        the Anthropic API's answer has it (read whole: it is one message)."""
        try:
            content = await answer.aread()  # decoded (it goes on plain)
        except httpx.HTTPError as exc:
            log.warning("%s: the upstream's answer broke off: %s", answer.request.url.path,
                        type(exc).__name__)
            return self.error(502, f"the upstream's answer broke off: {type(exc).__name__}",
                              "upstream_unreachable")
        finally:
            await answer.aclose()
        try:
            data = json.loads(content)
        except ValueError:
            data = None
        if isinstance(data, dict):
            found = data.get("context_management")
            data["context_management"] = {**(found if isinstance(found, dict) else {}),
                                          "applied_edits": applied}
            content = json.dumps(data, ensure_ascii=False).encode()
        response = Response(content, status_code=answer.status_code)
        response.raw_headers = [(k, v) for k, v in headers
                                if k not in (b"content-encoding", b"content-length")] + [
            (b"content-length", str(len(content)).encode())]
        return response


class _Job:
    """One job on a body in a worker thread (`run_task`), its summary requests
    sent on the proxy's loop (the extractive summarizer's written in the thread)."""

    def __init__(self, proxy: Proxy, endpoint: Endpoint, headers: list[tuple[str, str]],
                 loop: asyncio.AbstractEventLoop, job: dict[str, Any]) -> None:
        self.proxy = proxy
        self.endpoint = endpoint
        self.headers = headers
        self.loop = loop
        self.job = job
        self.slot = proxy.large if len(job["content"]) >= LARGE_BODY else None
        self.bridge: OnLoop | None = None
        self.abandoned = False

    def abandon(self) -> None:
        """The client went away (called on the proxy's loop)."""
        self.abandoned = True
        bridge = self.bridge
        if bridge is not None:
            bridge.abandon()

    def summarizer(self, body: dict[str, Any], writer: Any) -> Any:
        client = self.proxy.summarizer(self.headers, self.endpoint, writer)
        if not isinstance(client, ExtractiveClient):  # works anywhere; others on the loop
            client = self.bridge = OnLoop(client, self.loop, self.slot)
            if self.abandoned:
                client.abandoned = True
        return Watched(client, self.endpoint.path)

    def run(self) -> Done | Answered | Refusal:
        if self.abandoned:
            raise asyncio.CancelledError
        if self.slot is None:
            return run_task(self.job, self.proxy.store, self.summarizer)
        with self.slot:
            return run_task(self.job, self.proxy.store, self.summarizer)


def _soon(loop: asyncio.AbstractEventLoop, call: Callable[[], None]) -> None:
    """``call`` on ``loop``, from any thread; nothing once the loop is closed."""
    with contextlib.suppress(RuntimeError):
        loop.call_soon_threadsafe(call)


def _settled(task: asyncio.Future[Any]) -> None:
    """Takes the end of a request whose client went away, so none is reported as lost."""
    if not task.cancelled():
        task.exception()


async def _disconnected(request: Request) -> None:
    while (await request.receive())["type"] != "http.disconnect":
        pass


NO_WEBSOCKET = ("the proxy relays HTTP only, not WebSocket connections: send the request "
                "over HTTP")


class _RefuseWebSockets:
    """Answers every WebSocket handshake with the proxy's 426 (see `Proxy.no_websocket`),
    where the server lets the application answer one with an HTTP response; else it is
    closed, which the server answers 403."""

    def __init__(self, app: Any, proxy: Proxy) -> None:
        self.app = app
        self.proxy = proxy

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "websocket":
            await self.app(scope, receive, send)
            return
        await receive()  # websocket.connect
        if "websocket.http.response" not in scope.get("extensions", {}):
            await send({"type": "websocket.close", "code": 1008})
            return
        response = self.proxy.no_websocket()
        await send({"type": "websocket.http.response.start",
                    "status": response.status_code, "headers": response.raw_headers})
        await send({"type": "websocket.http.response.body", "body": response.body})


def create_app(config: ServeConfig, store: StateStore | None = None) -> Starlette:
    """The proxy as an ASGI application (run it with uvicorn)."""
    proxy = Proxy(config, store if store is not None else StateStore())

    async def elsewhere(request: Request) -> Response:
        return proxy.error(404, "not found: the proxy serves the API under /v1",
                           "not_found_error")

    methods = ["GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS"]
    app = Starlette(routes=[Route("/v1/{rest:path}", proxy.handle, methods=methods),
                            Route("/{rest:path}", elsewhere, methods=methods)],
                    middleware=[Middleware(_RefuseWebSockets, proxy=proxy)],
                    lifespan=proxy.lifespan)
    app.state.proxy = proxy
    return app
