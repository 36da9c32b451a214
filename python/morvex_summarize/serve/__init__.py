"""``morvex-summarize serve``: a proxy in front of an OpenAI-compatible or Anthropic API that
condenses each request's conversation within a token budget before passing it on.

Needs the ``serve`` extra (uvicorn, Starlette, httpx); nothing here is imported by
``import morvex_summarize`` or by the command line until ``serve`` runs.

- `state`: which earlier summary a request continues (prefix hashes, an LRU, SQLite).
- `endpoints`: the APIs that carry a conversation, one object each.
- `condensing`: a request body's conversation condensed with the `Condenser`.
- `upstream`: the relay to the upstream, and the summarizer that asks the upstream model.
- `app`: the Starlette application.

The command, ``morvex_summarize.cli.serve``, imports them only when it runs.
"""

DEFAULT_MAX_BODY = 32 * 1024 * 1024
"""Bytes a request body may have."""
DEFAULT_MAX_HELD = 128 * 1024 * 1024
"""Bytes of request bodies held at once."""
DEFAULT_TIMEOUT = 600.0
"""Seconds an upstream request may take to connect, to send, and between two pieces."""
DEFAULT_CLIENT_TIMEOUT = 60.0
"""Seconds a client may pause while sending its body."""
