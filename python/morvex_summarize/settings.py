"""Every default of the package, in one place: the model's context, the clients', the
proxy's and the batch engines', and a named profile of condensing rules per use.

The profiles differ on purpose:

- `TOOL` (the `Condenser` itself and ``morvex-summarize condense``): the summary goes in a
  system message, and the four newest messages stay verbatim; a file condensed once is
  read back by a person or a program that expects the conversation's own shape.
- `PROXY` (``morvex-summarize serve``): the summary goes in a user message (every
  provider takes one anywhere; some take a system message only first), six messages stay
  verbatim, and the user's first turn and later requests are kept word for word: the agent
  behind the proxy never sees its own instructions summarized.
- `FRAMEWORKS` (the LangChain middleware and the Agents SDK session): as the proxy, but
  the framework keeps the agent's instructions apart from the conversation, so no turn of
  the user's is kept besides the newest messages.

Token estimates are `morvex_summarize.tokens`'."""

from __future__ import annotations

from dataclasses import dataclass

# -- the model ------------------------------------------------------------------------------

DEFAULT_CONTEXT_TOKENS = 32_768
"""The context of the model assumed unless told (a 32k-token model)."""
MIN_CONTEXT_TOKENS = 4_096
"""The smallest context accepted: the prompt and the reply take half of it."""
REPLY_TOKENS = 2_048
"""The reply the summarizer asks the model for, at most."""

# -- clients --------------------------------------------------------------------------------

CLIENT_TIMEOUT = 120.0
"""Seconds a client waits for each attempt at a reply, unless told otherwise."""
CLIENT_RETRIES = 3
"""Retries of a failed request that may pass later, unless told otherwise."""

# -- the proxy ------------------------------------------------------------------------------

UPSTREAM_TIMEOUT = 600.0
"""Seconds an upstream request may take to connect, to send, and between two pieces."""
MAX_BODY = 32 * 1024 * 1024
"""Bytes a request body may have."""
MAX_HELD = 128 * 1024 * 1024
"""Bytes of request bodies held at once."""
CLIENT_BODY_TIMEOUT = 60.0
"""Seconds a client may pause while sending its body."""
UPSTREAM_CONNECTIONS = 1000
"""Connections to the upstream at once."""
CONDENSING_WORKERS = 32
"""Threads that condense request bodies."""
STATE_ENTRIES = 1000
"""Summaries the proxy keeps for reuse."""
STATE_BYTES = 64 * 1024 * 1024
"""Bytes those summaries may take."""
PORT = 8787
"""The port the proxy listens on."""
ACCESS_HEADER = "x-morvex-access-token"
"""The header in which a caller presents the proxy's access token: the proxy's own, never
passed on."""
GRACE = 30.0
"""Seconds the requests in flight get to finish when the proxy is stopped."""

# -- batches --------------------------------------------------------------------------------

CONCURRENCY = 8
"""Conversations in flight at once in a local batch (per actor on Ray: ``in_flight``)."""
ACTORS = 2
"""Ray actors, each with one client."""


@dataclass(frozen=True)
class Profile:
    """The condensing rules one kind of caller starts from: the newest messages kept
    verbatim, the role of the summary's message, whether the user's first turn and later
    requests are kept word for word, and the strategy (`condense.strategies`: summarizing
    for every caller, as before strategies were)."""

    name: str
    keep_last: int
    context_role: str
    keep_first: bool
    strategy: str = "summarize"


TOOL = Profile("tool", keep_last=6, context_role="system", keep_first=False)
PROXY = Profile("proxy", keep_last=6, context_role="user", keep_first=True)
FRAMEWORKS = Profile("frameworks", keep_last=6, context_role="user", keep_first=False)
PROFILES = {profile.name: profile for profile in (TOOL, PROXY, FRAMEWORKS)}
"""The profiles by name."""
