"""Command-line tool, LLM clients, conversation formats, condensing and batch runs around
morvex.core.summarizer."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, cast

if TYPE_CHECKING:
    from .records import LLMClient, SummaryRecord

__version__ = "0.3.0"

__all__ = ["__version__", "summarize"]


async def summarize(messages: Any, client: LLMClient | None = None, previous: Any = None,
                    input_format: str = "auto") -> SummaryRecord:
    """The summary record of a conversation in any format (see `morvex_summarize.formats`):
    OpenAI, Responses, Anthropic or LangChain messages, SDK objects, or a request body.

    client: an object with the summarizer's ``complete`` coroutine (one of the package's
        clients, say); None uses the offline `ExtractiveClient`.
    previous: an earlier summary to build on, as its context text or its record.
    Raises `FormatError` (a TypeError and a ValueError) for a conversation no format reads.
    """
    from morvex.core.summarizer import ConversationSummarizer

    from .formats import to_messages

    converted = to_messages(messages, input_format)
    if client is None:
        from .clients.extractive import ExtractiveClient

        client = ExtractiveClient()
    summarizer = ConversationSummarizer(client)
    if isinstance(previous, Mapping):
        previous = summarizer.format_summary_for_context(dict(previous))
    elif previous is not None and not isinstance(previous, str):
        raise TypeError(f"previous must be a summary's text or record, not "
                        f"{type(previous).__name__}")
    from .condense.carry import skim_outputs

    record = await summarizer.summarize_messages(
        cast("list[dict[str, Any]]", skim_outputs(list(converted))), previous)
    return cast("SummaryRecord", record)
