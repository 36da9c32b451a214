"""Command-line tool, LLM clients, conversation formats, condensing and batch runs around
morvex.core.summarizer."""

from __future__ import annotations

import importlib
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, cast

if TYPE_CHECKING:
    from .records import LLMClient, SummaryRecord
    from .summarizing import Outcome

__version__ = "0.3.0"

# The package's main names, each imported from its home on first use, so that importing the
# package pulls in no client library, framework or HTTP stack.
_HOMES = {
    "Condenser": ".condense",
    "read_conversation": ".formats",
    "ExtractiveClient": ".clients.extractive",
    "OpenAIClient": ".clients.openai_client",
    "GGUFClient": ".clients.gguf",
    "ChatModelClient": ".clients.langchain_client",
    "CondensingMiddleware": ".integrations.langchain",
    "CondensingSession": ".integrations.agents",
    "summarize_dataset": ".batch.ray",
}

__all__ = ["__version__", "summarize", *_HOMES]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(home, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})


async def summarize(messages: Any, client: LLMClient | None = None, previous: Any = None,
                    input_format: str = "auto", context_tokens: int | None = None, *,
                    deadline: float | None = None, outcome: Outcome | None = None
                    ) -> SummaryRecord:
    """The summary record of a conversation in any format (see `morvex_summarize.formats`):
    OpenAI, Responses, Anthropic or LangChain messages, SDK objects, or a request body; or
    the path (an ``os.PathLike``) of a file: such a conversation, or an agent's session
    log as it lies on disk. It is made as the command line makes it
    (`morvex_summarize.summarizing`).

    client: an object with the summarizer's ``complete`` coroutine (one of the package's
        clients, say); None uses the offline `ExtractiveClient`.
    previous: an earlier summary to build on, as its context text or its record.
    context_tokens: the model's context; no request is larger, and a longer conversation
        is summarized in windows (`morvex_summarize.windows`; default 32768).
    deadline: seconds the whole summary may take, every request included.
    outcome: an `Outcome` told what became of the summary: the model's failure (the
        record is then the fallback built from the messages), or a reply in prose.
    Raises `FormatError` (a TypeError and a ValueError) for a conversation no format
    reads, and `Refused` (a ValueError) for messages the summarizer cannot read.
    """
    from .formats import to_messages
    from .summarizing import summarize_one
    from .settings import DEFAULT_CONTEXT_TOKENS

    converted = to_messages(messages, input_format)
    if client is None:
        from .clients.extractive import ExtractiveClient

        client = ExtractiveClient()
    if previous is not None and not isinstance(previous, (str, Mapping)):
        raise TypeError(f"previous must be a summary's text or record, not "
                        f"{type(previous).__name__}")
    record, _, _ = await summarize_one(
        client, cast("list[dict[str, Any]]", list(converted)), previous, deadline, outcome,
        context_tokens=context_tokens or DEFAULT_CONTEXT_TOKENS)
    return record
