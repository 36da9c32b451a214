"""A LangChain agent whose messages are condensed before each model call.

    python examples/langchain_agent.py                                # offline, canned replies
    python examples/langchain_agent.py anthropic:claude-sonnet-4-5    # a real chat model

With a model named, it also writes the summaries (through ChatModelClient); offline, the
package's extractive client does. Needs the langchain extra (and the provider's package).
"""
import asyncio
import sys

from langchain.agents import create_agent
from langchain_core.language_models import GenericFakeChatModel
from langchain_core.messages import AIMessage
from langgraph.checkpoint.memory import InMemorySaver

from morvex_summarize.clients.langchain_client import ChatModelClient
from morvex_summarize.langchain_middleware import CondensingMiddleware


async def main() -> None:
    if len(sys.argv) > 1:
        from langchain.chat_models import init_chat_model

        model = init_chat_model(sys.argv[1])
        client = ChatModelClient(model)
    else:
        model = GenericFakeChatModel(messages=iter(
            AIMessage(f"Noted: step {n} is in the plan.") for n in range(100)))
        client = None  # the offline extractive summarizer
    middleware = CondensingMiddleware(client, max_messages=8, keep_last=4)
    agent = create_agent(model, tools=[], system_prompt="You plan a release, step by step.",
                         middleware=[middleware], checkpointer=InMemorySaver())
    config = {"configurable": {"thread_id": "release"}}
    for n in range(10):
        text = f"Step {n}: add '{['build', 'test', 'tag', 'announce'][n % 4]}' to the plan."
        result = await agent.ainvoke({"messages": [{"role": "user", "content": text}]}, config)
        done = middleware.last_state
        print(f"turn {n + 1}: the model saw {done.messages_after} of {done.messages_before} "
              f"messages, {done.tokens_after} of {done.tokens_before} tokens")
    print(result["morvex_summary"]["text"])


asyncio.run(main())
