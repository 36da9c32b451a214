"""Old import path of the OpenAI Agents SDK session: it lives in
`morvex_summarize.integrations.agents` now."""

from .integrations.agents import *  # noqa: F401,F403
