"""An OpenAI Agents SDK run whose session history is condensed; the SQLite store keeps all.

    python examples/agents_session.py              # offline, canned replies
    python examples/agents_session.py gpt-5-mini   # a real model (OPENAI_API_KEY)

Needs the agents extra.
"""
import asyncio
import sys

from agents import Agent, ModelResponse, RunConfig, Runner, SQLiteSession, Usage
from agents.models.interface import Model
from openai.types.responses import ResponseOutputMessage, ResponseOutputText

from morvex_summarize.agents_session import CondensingSession


class Canned(Model):
    """Replies without a network: enough to watch the history being condensed."""

    async def get_response(self, system_instructions, input, *args, **kwargs):
        text = f"Noted ({len(input)} items in my input)."
        message = ResponseOutputMessage(
            id="msg", type="message", role="assistant", status="completed",
            content=[ResponseOutputText(text=text, type="output_text", annotations=[])])
        return ModelResponse(output=[message], usage=Usage(), response_id=None)

    def stream_response(self, *args, **kwargs):
        raise NotImplementedError


async def main() -> None:
    model = sys.argv[1] if len(sys.argv) > 1 else Canned()
    agent = Agent(name="planner", instructions="You plan a release, step by step.",
                  model=model)
    stored = SQLiteSession("release")  # in memory; give a file name to keep it
    session = CondensingSession(stored, max_messages=8, keep_last=4)
    config = RunConfig(call_model_input_filter=session.condense_model_input,
                       tracing_disabled=len(sys.argv) == 1)
    for n in range(10):
        text = f"Step {n}: add '{['build', 'test', 'tag', 'announce'][n % 4]}' to the plan."
        result = await Runner.run(agent, text, session=session, run_config=config)
        print(f"turn {n + 1}: {result.final_output}")
    print(f"stored: {len(await stored.get_items())} items; the runner is handed "
          f"{len(await session.get_items())}; summarized: "
          f"{len(await session.summarized_items())}")


asyncio.run(main())
