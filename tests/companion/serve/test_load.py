"""200 streaming clients at once: each gets its own stream, whole and in order.

On a starved machine the loopback connect itself can fail before the proxy has seen the
request; such a request is sent again (twice at most). One the proxy forwarded is never
sent again: the upstream must see each client exactly once, so a stream the proxy lost
after taking it still fails the test."""

import asyncio
import re

import openai

from loopback import Answer, chat_pieces

CLIENTS = 200
PIECES = 6


def test_concurrent_streams_are_neither_lost_nor_mixed(upstream, start_proxy):
    def stream_of(req):
        n = re.search(r"client (\d+)", req.body["messages"][-1]["content"]).group(1)
        return Answer(pieces=chat_pieces("m", [f"{n}.{k} " for k in range(PIECES)]),
                      pause=0.02)

    upstream.responder = stream_of
    proxy, _ = start_proxy(100_000)

    async def run():
        client = openai.AsyncOpenAI(base_url=proxy.url + "/v1", api_key="sk-x",
                                    max_retries=0, timeout=60)

        async def one(n):
            for attempt in range(3):
                try:
                    stream = await client.chat.completions.create(
                        model="m", stream=True,
                        messages=[{"role": "user", "content": f"client {n}"}])
                    break
                except openai.APIConnectionError as e:
                    if attempt == 2 or isinstance(e, openai.APITimeoutError):
                        raise AssertionError(f"client {n}: {e!r} from {e.__cause__!r}") from e
            return [c.choices[0].delta.content async for c in stream if c.choices]

        try:
            return await asyncio.gather(*(one(n) for n in range(CLIENTS)))
        finally:
            await client.close()

    got = asyncio.run(run())
    for n, pieces in enumerate(got):
        assert pieces == [f"{n}.{k} " for k in range(PIECES)] + [None]
    assert upstream.streams_done == CLIENTS and len(upstream.requests) == CLIENTS
