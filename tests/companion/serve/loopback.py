"""A recording model API on loopback (uvicorn + Starlette) for the proxy's tests and figures,
and the proxy itself served the same way.

The upstream answers Chat Completions, Responses and Anthropic Messages requests, records
each one (path, headers, raw bytes, parsed body) and checks every body against the SDK's
own request types. A summary request (the summarizer's prompt) gets a summary object; any
other request gets what the test's ``responder`` returns, by default a short answer that
names the request's last user text, streamed as server-sent events when asked.
"""

from __future__ import annotations

import asyncio
import json
import socket
import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import uvicorn
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

SUMMARY_MARK = "## Conversation to Summarize"


# ---- the SDKs' request types ----------------------------------------------------------

def _drain(value: Any) -> Any:
    """Validated values with every lazy iterable (pydantic checks those as they are read)
    read to the end."""
    if isinstance(value, dict):
        return {k: _drain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_drain(v) for v in value]
    if type(value).__name__ == "ValidatorIterator":
        return [_drain(v) for v in value]
    return value


_ADAPTERS: dict[str, Any] = {}


def adapter(path: str) -> Any:
    if path not in _ADAPTERS:
        from pydantic import TypeAdapter

        if path == "/chat/completions":
            from openai.types.chat.completion_create_params import CompletionCreateParams
            kind: Any = CompletionCreateParams
        elif path == "/responses":
            from openai.types.responses.response_create_params import ResponseCreateParams
            kind = ResponseCreateParams
        else:
            from anthropic.types.message_create_params import MessageCreateParams
            kind = MessageCreateParams
        _ADAPTERS[path] = TypeAdapter(kind)
    return _ADAPTERS[path]


def check_body(path: str, body: Any) -> None:
    """Raises pydantic's ValidationError for a body its SDK's request type refuses."""
    _drain(adapter(path).validate_python(body))


def items_of(path: str, body: dict[str, Any]) -> list[Any]:
    return body["input"] if path == "/responses" else body["messages"]


def unpaired(path: str, body: dict[str, Any]) -> list[str]:
    """Tool calls without their output and outputs without their call, in one body."""
    calls: list[str] = []
    outputs: list[str] = []
    for item in items_of(path, body):
        if path == "/chat/completions":
            calls += [c["id"] for c in item.get("tool_calls") or ()]
            if item.get("role") == "tool":
                outputs.append(item["tool_call_id"])
        elif path == "/responses":
            if item.get("type") == "function_call":
                calls.append(item["call_id"])
            elif item.get("type") == "function_call_output":
                outputs.append(item["call_id"])
        elif isinstance(item.get("content"), list):
            for block in item["content"]:
                if block.get("type") == "tool_use":
                    calls.append(block["id"])
                elif block.get("type") == "tool_result":
                    outputs.append(block["tool_use_id"])
    return sorted(set(calls) ^ set(outputs))


# ---- the upstream ---------------------------------------------------------------------

@dataclass
class Recorded:
    path: str
    method: str
    headers: dict[str, str]
    raw: bytes
    body: Any
    summary: bool
    invalid: str | None = None


@dataclass
class Answer:
    """status and body (a dict sent as JSON, or bytes); pieces: bytes sent one by one as
    server-sent events with ``pause`` seconds between them, after ``gate`` (when given)
    is set once the first is sent; delay: seconds before the answer."""

    status: int = 200
    body: Any = None
    headers: dict[str, str] = field(default_factory=dict)
    pieces: list[bytes] | None = None
    pause: float = 0.0
    gate: threading.Event | None = None
    delay: float = 0.0


def text_of(path: str, body: dict[str, Any]) -> str:
    """The last user text of a request body, in any of the three APIs."""
    for item in reversed(items_of(path, body) if isinstance(items_of(path, body), list)
                         else [{"role": "user", "content": body["input"]}]):
        if item.get("role") != "user":
            continue
        content = item.get("content")
        if isinstance(content, str):
            return content
        for part in content or ():
            if part.get("type") in ("text", "input_text"):
                return str(part["text"])
    return ""


def reply(path: str, model: str, text: str) -> dict[str, Any]:
    """A complete answer with ``text``, in the API of ``path``."""
    if path == "/responses":
        return {"id": "resp_loopback", "object": "response", "created_at": 0, "model": model,
                "status": "completed", "parallel_tool_calls": True, "tool_choice": "auto",
                "tools": [], "output": [{"type": "message", "id": "msg_loopback",
                                         "status": "completed", "role": "assistant",
                                         "content": [{"type": "output_text", "text": text,
                                                      "annotations": []}]}]}
    if path == "/messages":
        return {"id": "msg_loopback", "type": "message", "role": "assistant", "model": model,
                "content": [{"type": "text", "text": text}], "stop_reason": "end_turn",
                "stop_sequence": None, "usage": {"input_tokens": 1, "output_tokens": 1}}
    return {"id": "chatcmpl-loopback", "object": "chat.completion", "created": 0,
            "model": model, "choices": [{"index": 0, "finish_reason": "stop", "message": {
                "role": "assistant", "content": text}}],
            "usage": {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2}}


def chat_pieces(model: str, words: list[str]) -> list[bytes]:
    """A streamed chat completion of these words, one event each, then [DONE]."""
    out = []
    for n, word in enumerate(words):
        delta: dict[str, Any] = {"content": word}
        if n == 0:
            delta["role"] = "assistant"
        out.append(json.dumps({"id": "chatcmpl-loopback", "object": "chat.completion.chunk",
                               "created": 0, "model": model, "choices": [
                                   {"index": 0, "delta": delta, "finish_reason": None}]}))
    out.append(json.dumps({"id": "chatcmpl-loopback", "object": "chat.completion.chunk",
                           "created": 0, "model": model, "choices": [
                               {"index": 0, "delta": {}, "finish_reason": "stop"}]}))
    out.append("[DONE]")
    return [f"data: {p}\n\n".encode() for p in out]


def summary_text(path: str, body: dict[str, Any], caller: str = "") -> str:
    if path == "/chat/completions":
        prompt = body["messages"][0]["content"]
    elif path == "/responses":
        prompt = body["instructions"]
    else:
        prompt = body["system"]
    transcript = prompt.split(SUMMARY_MARK + ":\n", 1)[-1]
    first = next((line[len("[User]: "):] for line in transcript.splitlines()
                  if line.startswith("[User]: ")), "")
    summary = {"goals": [first], "progress": ["summarized by the loopback upstream"],
               "summary": "loopback summary"}
    if caller:  # a decision: never left out of a summary made smaller
        summary["key_decisions"] = [f"written for caller {caller} by model {body.get('model')}"]
    return json.dumps(summary)


def is_summary(path: str, body: Any) -> bool:
    try:
        if path == "/chat/completions":
            head = body["messages"][0]["content"]
        elif path == "/responses":
            head = body["instructions"]
        else:
            head = body["system"]
    except (LookupError, TypeError):
        return False
    return isinstance(head, str) and SUMMARY_MARK in head


def default_answer(req: Recorded) -> Answer:
    body = req.body
    model = body.get("model", "loopback") if isinstance(body, dict) else "loopback"
    try:
        text = f"answer to {text_of(req.path, body)}"
    except (LookupError, TypeError, AttributeError):  # a body no API reads
        text = "answer"
    if isinstance(body, dict) and body.get("stream") and req.path == "/chat/completions":
        return Answer(pieces=chat_pieces(model, text.split(" ")))
    return Answer(body=reply(req.path, model, text))


class Upstream:
    """The recording upstream. ``responder(recorded)`` answers requests that are not
    summary requests; ``summary_status`` other than 200 fails the summary requests;
    ``push`` queues answers that go before either."""

    def __init__(self, responder: Callable[[Recorded], Answer] | None = None) -> None:
        self.responder = responder or default_answer
        for path in ("/chat/completions", "/responses", "/messages"):
            adapter(path)  # made once, before any request waits on it
        self.summary_status = 200
        self.queue: deque[Answer] = deque()
        self.requests: list[Recorded] = []
        self.gone: list[str] = []  # paths of requests whose client went away
        self.streams_done = 0
        self._lock = threading.Lock()
        app = Starlette(routes=[Route("/v1/{rest:path}", self.handle,
                                      methods=["GET", "POST", "DELETE"])])
        self.server = Served(app)
        self.url = self.server.url + "/v1"

    def push(self, *answers: Answer) -> None:
        self.queue.extend(answers)

    @property
    def summaries(self) -> list[Recorded]:
        return [r for r in self.requests if r.summary]

    @property
    def calls(self) -> list[Recorded]:
        """The requests that were not summary requests."""
        return [r for r in self.requests if not r.summary]

    def close(self) -> None:
        self.server.close()

    async def handle(self, request: Request) -> Response:
        path = "/" + request.path_params["rest"]
        raw = await request.body()
        try:
            body = json.loads(raw) if raw else None
        except ValueError:
            body = None
        req = Recorded(path, request.method, {k.lower(): v for k, v in request.headers.items()},
                       raw, body, is_summary(path, body))
        if request.method == "POST" and path in ("/chat/completions", "/responses",
                                                 "/messages"):
            try:
                check_body(path, body)
            except Exception as exc:
                req.invalid = str(exc)
        with self._lock:
            self.requests.append(req)
        if path == "/models":
            return JSONResponse({"object": "list", "data": [{"id": "loopback", "object": "model",
                                                            "created": 0, "owned_by": "test"}]})
        if self.queue:
            answer = self.queue.popleft()
        elif req.summary:
            answer = Answer(status=self.summary_status,
                            body=reply(path, body.get("model", "x"), summary_text(
                                path, body, req.headers.get("authorization", "")))
                            if self.summary_status == 200 else
                            {"error": {"message": "refused", "type": "x"}})
        else:
            answer = self.responder(req)
        if answer.delay:
            if await self._gone_within(request, answer.delay):
                self.gone.append(path)
                return Response(status_code=499)
        if answer.pieces is None:
            content = answer.body if isinstance(answer.body, bytes) else json.dumps(answer.body)
            return Response(content, status_code=answer.status, headers=answer.headers,
                            media_type="application/json")
        return StreamingResponse(self._stream(path, answer), status_code=answer.status,
                                 headers=answer.headers, media_type="text/event-stream")

    async def _gone_within(self, request: Request, delay: float) -> bool:
        async def gone() -> None:
            while (await request.receive())["type"] != "http.disconnect":
                pass
        try:
            await asyncio.wait_for(gone(), delay)
            return True
        except TimeoutError:
            return False

    async def _stream(self, path: str, answer: Answer) -> Any:
        assert answer.pieces is not None
        finished = False
        try:
            for n, piece in enumerate(answer.pieces):
                if n == 1 and answer.gate is not None:
                    waited = await asyncio.to_thread(answer.gate.wait, 10)
                    assert waited, "the first piece never reached the client"
                elif n and answer.pause:
                    await asyncio.sleep(answer.pause)
                yield piece
            finished = True
        finally:
            if finished:
                self.streams_done += 1
            else:
                self.gone.append(path)


# ---- serving on loopback --------------------------------------------------------------

class Served:
    """An ASGI application served by uvicorn on a free loopback port, in a thread."""

    def __init__(self, app: Any) -> None:
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        self.port = sock.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self.server = uvicorn.Server(uvicorn.Config(
            app, log_level="warning", access_log=False, lifespan="on",
            timeout_graceful_shutdown=2, backlog=4096))
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [sock]},
                                       daemon=True)
        self.thread.start()
        deadline = time.monotonic() + 10
        while not self.server.started:
            assert time.monotonic() < deadline, "the server did not start"
            assert self.thread.is_alive(), "the server did not start"
            time.sleep(0.01)

    def close(self) -> None:
        self.server.should_exit = True
        self.thread.join(10)


def serve_proxy(upstream_url: str, budget: int, *, upstream_format: str = "openai",
                store: Any = None, **options: Any) -> tuple[Served, Any]:
    """The proxy in front of ``upstream_url``: (the server, its application's state)."""
    from morvex_summarize.serve.app import ServeConfig, create_app
    from morvex_summarize.serve.condensing import Settings

    settings = Settings(budget, options.pop("keep_last", 6), options.pop("target", None),
                        options.pop("context_role", "user"), options.pop("keep_first", True),
                        options.pop("strategy", "summarize"),
                        options.pop("carry_out_edits", False))
    app = create_app(ServeConfig(upstream_url, settings, upstream_format=upstream_format,
                                 **options), store)
    return Served(app), app.state.proxy
