"""Large bodies condensed in a process of their own.

Reading, hashing and condensing a body of many megabytes is seconds of work for the
interpreter. In a thread it would take the interpreter's lock from the event loop that
serves every other client; in a process of its own it takes a core, and the loop keeps
its own. The process condenses one body at a time. What it needs of the proxy it asks
for over a pipe: the stored summaries (find, put) and the summary requests, which the
proxy sends on its own loop with the request's key, as it does for any body.

The process is started (spawned, not forked: the proxy runs threads) on the first large
body, and again if it ends; a body it could not finish goes on unchanged, with a warning.
"""

from __future__ import annotations

import asyncio
import dataclasses
import multiprocessing
from collections.abc import Awaitable, Callable
from typing import Any

from .work import Answered, Done, Refusal, one_line, run_task


class _Remote:
    """In the process: the proxy's stored summaries and its summarizer, over the pipe."""

    def __init__(self, conn: Any, writer: Any = None) -> None:
        self.conn = conn
        self.writer = writer

    def find(self, keys: list[str]) -> Any:
        self.conn.send(("find", keys))
        return self.conn.recv()

    def put(self, key: str, entry: Any) -> None:
        self.conn.send(("put", key, entry))

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any:
        from ..clients import Reply
        from ..errors import ModelError

        self.conn.send(("complete", messages, max_tokens, self.writer))
        ok, text = self.conn.recv()
        if not ok:
            raise ModelError(text)
        return Reply(text)


def _serve(conn: Any) -> None:
    """The process's loop: a job in, its `Done` or `Refusal` out, until the pipe closes."""
    while True:
        try:
            job = conn.recv()
        except (EOFError, OSError):
            return
        if job is None:
            return
        remote = _Remote(conn)
        extractive = job.pop("extractive")

        def summarizer(body: Any, writer: Any) -> Any:
            if extractive:
                from ..clients.extractive import ExtractiveClient
                return ExtractiveClient()
            return _Remote(conn, writer)

        try:
            done: Done | Answered | Refusal = run_task(job, remote, summarizer)
        except Exception as exc:  # noqa: BLE001 - reported to the proxy, which goes on
            done = Done(None, warning=f"passed on unchanged: condensing failed: "
                                      f"{type(exc).__name__}: {one_line(exc)}")
        if isinstance(done, Done) and done.outcome is not None:
            done.outcome = dataclasses.replace(done.outcome, body=None)  # sent as bytes
        conn.send(("done", done))


Complete = Callable[[list[dict[str, Any]], int, Any], Awaitable[Any]]


class Isolated:
    """The process, seen from the proxy's event loop."""

    def __init__(self) -> None:
        self.process: Any = None
        self.conn: Any = None
        self.lock = asyncio.Lock()

    def _start(self) -> None:
        context = multiprocessing.get_context("spawn")
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child,), daemon=True,
                                       name="morvex-condense")
        self.process.start()
        child.close()

    def _end(self) -> None:
        process, conn = self.process, self.conn
        self.process = self.conn = None
        if conn is not None:
            conn.close()
        if process is not None:
            process.terminate()
            process.join(5)

    async def run(self, job: dict[str, Any], store: Any,
                  complete: Complete) -> Done | Answered | Refusal:
        """Runs one job (``job``: as `run_task` takes it, with ``extractive``: the
        summaries written in the process, offline); ``complete``
        sends a summary request (messages, max_tokens, the writer: `writer_of`)."""
        async with self.lock:
            if self.process is None or not self.process.is_alive():
                self._end()
                await asyncio.to_thread(self._start)
            conn = self.conn
            try:
                await asyncio.to_thread(conn.send, job)
                while True:
                    message = await asyncio.to_thread(conn.recv)
                    if message[0] == "find":
                        conn.send(store.find(message[1]))
                    elif message[0] == "put":
                        store.put(message[1], message[2])
                    elif message[0] == "complete":
                        try:
                            reply = await complete(message[1], message[2], message[3])
                            answer = (True, reply.content)
                        except Exception as exc:  # the process makes a fallback summary
                            answer = (False, one_line(exc))
                        conn.send(answer)
                    else:
                        return message[1]  # type: ignore[no-any-return]
            except (EOFError, OSError) as exc:
                self._end()
                return Done(None, warning=f"passed on unchanged: the condensing process "
                                          f"ended: {type(exc).__name__}")

    def close(self) -> None:
        if self.conn is not None:
            try:
                self.conn.send(None)
            except OSError:
                pass
            if self.process is not None:
                self.process.join(5)
        self._end()
