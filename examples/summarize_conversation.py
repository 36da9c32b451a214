"""Summarizes the sample agent conversation and prints the record and the context text."""
import asyncio
import json
import pathlib
import sys

from morvex.core.summarizer import ConversationSummarizer

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from example_client import ExampleLLMClient  # noqa: E402


async def main():
    here = pathlib.Path(__file__).parent
    messages = json.loads((here / "conversation.json").read_text(encoding="utf-8"))
    summarizer = ConversationSummarizer(ExampleLLMClient())
    record = await summarizer.summarize_messages(messages)
    print("Summary record:")
    print(json.dumps(record, indent=2, ensure_ascii=False))
    print()
    print("Context text:")
    print(summarizer.format_summary_for_context(record))


if __name__ == "__main__":
    asyncio.run(main())
