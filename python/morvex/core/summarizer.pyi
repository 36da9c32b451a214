"""Conversation summarizer — compresses old messages into concise summaries."""

import json as json
import logging as logging
import time as time
from typing import Any as Any

logger: logging.Logger
SUMMARIZE_PROMPT: str

class ConversationSummarizer:
    """Summarizes conversation chunks to compress context."""

    _llm: Any
    def __init__(self, llm_client: Any) -> None: ...
    async def summarize_messages(
        self, messages: list[dict[str, Any]], existing_summary: str | None = None
    ) -> dict[str, Any]: ...
    def format_summary_for_context(self, summary: dict[str, Any]) -> str: ...

def _format_messages_for_summary(messages: list[dict[str, Any]]) -> str: ...
def _brief_args(args: dict[Any, Any]) -> str: ...
def _parse_summary(text: str) -> dict[str, Any]: ...
def _empty_summary() -> dict[str, Any]: ...
def _fallback_summary(messages: list[dict[str, Any]]) -> dict[str, Any]: ...

__test__: dict[str, Any]
