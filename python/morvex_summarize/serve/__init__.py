"""``morvex-summarize serve``: a proxy in front of an OpenAI-compatible or Anthropic API that
condenses each request's conversation within a token budget before passing it on.

Needs the ``serve`` extra (uvicorn, Starlette, httpx); nothing here is imported by
``import morvex_summarize`` or by the command line until ``serve`` runs.

- `state`: which earlier summary a request continues (prefix hashes, an LRU, SQLite).
- `endpoints`: the APIs that carry a conversation, one object each.
- `condensing`: a request body's conversation condensed with the `Condenser`.
- `compaction`: the Responses API's compaction, carried out by the proxy.
- `upstream`: the relay to the upstream, and the summarizer that asks the upstream model.
- `app`: the Starlette application.

The command, ``morvex_summarize.cli.serve``, imports them only when it runs.
"""

from ..settings import CLIENT_BODY_TIMEOUT as DEFAULT_CLIENT_TIMEOUT
from ..settings import MAX_BODY as DEFAULT_MAX_BODY
from ..settings import MAX_HELD as DEFAULT_MAX_HELD
from ..settings import UPSTREAM_TIMEOUT as DEFAULT_TIMEOUT

__all__ = ["DEFAULT_CLIENT_TIMEOUT", "DEFAULT_MAX_BODY", "DEFAULT_MAX_HELD", "DEFAULT_TIMEOUT"]
