"""A real chat-completions HTTP server on loopback for the client, tool and batch tests.

Each request takes the next scripted action, if any, else the default: a 200 answer, after
``delay`` seconds, whose reply text is a small summary object that names the first user line
of the transcript (so a test can tell which conversation an answer belongs to).
"""

from __future__ import annotations

import json
import re
import sys
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any


@dataclass
class Answer:
    status: int = 200
    body: Any = None  # a dict (sent as JSON), bytes (sent as they are) or None (default)
    headers: dict[str, str] = field(default_factory=dict)
    content_type: str = "application/json"
    delay: float = 0.0


@dataclass
class Drop:
    """Closes the connection without an answer."""


def completion(content: str | None, model: str = "loopback") -> dict[str, Any]:
    return {
        "id": "chatcmpl-loopback", "object": "chat.completion", "created": 0, "model": model,
        "choices": [{"index": 0, "finish_reason": "stop",
                     "message": {"role": "assistant", "content": content}}],
        "usage": {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2},
    }


_FIRST_USER = re.compile(r"^\[User\]: (.*)$", re.M)


def default_content(request: dict[str, Any]) -> str:
    system = request["messages"][0]["content"]
    transcript = system.split("## Conversation to Summarize:\n", 1)[-1]
    first = _FIRST_USER.search(transcript)
    return json.dumps({"goals": [first.group(1) if first else ""],
                       "progress": ["answered by the loopback server"],
                       "summary": "loopback summary"})


class LLMServer:
    def __init__(self, delay: float = 0.0) -> None:
        self.delay = delay
        self.actions: deque[Answer | Drop] = deque()
        self.requests: list[dict[str, Any]] = []
        self.headers: list[dict[str, str]] = []
        self.paths: list[str] = []  # the path each request was sent to
        self.arrivals: list[float] = []  # time.monotonic() as each request came in
        self._lock = threading.Lock()
        self._closing = threading.Event()
        self._httpd = _Server(("127.0.0.1", 0), _Handler)
        self._httpd.owner = self
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.05,),
                                        daemon=True)

    @property
    def port(self) -> int:
        return int(self._httpd.server_address[1])

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/v1"

    def push(self, *actions: Answer | Drop) -> None:
        with self._lock:
            self.actions.extend(actions)

    def start(self) -> LLMServer:
        self._thread.start()
        return self

    def stop(self) -> None:
        self._closing.set()
        self._httpd.shutdown()
        self._httpd.server_close()

    def __enter__(self) -> LLMServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _next(self, request: dict[str, Any], headers: dict[str, str],
              path: str = "") -> Answer | Drop:
        with self._lock:
            self.requests.append(request)
            self.headers.append(headers)
            self.paths.append(path)
            self.arrivals.append(time.monotonic())
            if self.actions:
                return self.actions.popleft()
        return Answer(delay=self.delay)

    def wait(self, seconds: float) -> None:
        self._closing.wait(seconds)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 256
    owner: LLMServer

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # a client that gave up early is no failure of the server


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: _Server

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_POST(self) -> None:
        owner = self.server.owner
        length = int(self.headers.get("Content-Length", "0"))
        raw = self.rfile.read(length)
        try:
            request = json.loads(raw)
        except ValueError:
            request = {"unparsed": raw.decode("utf-8", "replace")}
        action = owner._next(request, {k.lower(): v for k, v in self.headers.items()},
                             self.path)
        if isinstance(action, Drop):
            self.close_connection = True
            return
        if action.delay:
            owner.wait(action.delay)
        body = action.body
        if body is None:
            body = completion(default_content(request), request.get("model", "loopback"))
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        self.send_response(action.status)
        self.send_header("Content-Type", action.content_type)
        self.send_header("Content-Length", str(len(data)))
        for name, value in action.headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self) -> None:
        data = json.dumps({"object": "list", "data": [{"id": "loopback"}]}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


if __name__ == "__main__":
    # python tests/llm_server.py [delay]: serve until interrupted, printing the URL.
    server = LLMServer(float(sys.argv[1]) if len(sys.argv) > 1 else 0.0).start()
    print(server.url, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        server.stop()
