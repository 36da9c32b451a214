"""Old import path of the LangChain agent middleware: it lives in
`morvex_summarize.integrations.langchain` now."""

from .integrations.langchain import *  # noqa: F401,F403
