"""Scripted agent runs for the framework tests and the figures script: a LangChain
``create_agent`` run and an Agents SDK ``Runner.run`` run, offline, over the same script.

Each user turn asks for ``rounds`` tool rounds (every third one two calls in parallel), then
a final answer that quotes the newest tool result the model can see, so an answer changes
when condensing loses the latest results. The models record every input they are sent.
"""

from __future__ import annotations

import copy
import dataclasses
from typing import Any

from morvex_summarize.condense import Condenser, estimate_tokens
from morvex_summarize.formats import read_conversation

SYSTEM = "You are a careful build assistant. Look things up before you answer."


def count_tokens(messages: list[Any], fmt: str) -> int:
    return sum(estimate_tokens(m) for m in read_conversation(messages, fmt).messages)


def unpaired(messages: list[Any], fmt: str) -> list[str]:
    """Call ids the model saw without their results, and results without their call."""
    calls: set[Any] = set()
    answered: set[Any] = set()
    bad = []
    for record in read_conversation(messages, fmt).messages:
        for call in record.get("tool_calls") or ():
            calls.add(call["id"])
        if record.get("role") == "tool":
            if record.get("tool_call_id") not in calls:
                bad.append(f"result {record.get('tool_call_id')} without its call")
            answered.add(record.get("tool_call_id"))
    return bad + [f"call {c} without its result" for c in sorted(calls - answered, key=str)]


def request(turn: int) -> str:
    return (f"Turn {turn}: check the build records for batch {turn} and tell me which "
            f"step failed. Constraint: never restart the deploy service.")


def lookup_result(item: str) -> str:
    lines = [f"record {item} line {n}: step {n} of build {item} finished in {n * 7 % 13}s"
             for n in range(8)]
    return "\n".join(lines)


def script(turns: int, rounds: int) -> list[list[str] | None]:
    """Per model call: the items to look up, or None for the final answer of a turn."""
    steps: list[list[str] | None] = []
    for turn in range(turns):
        for r in range(rounds):
            items = [f"t{turn}r{r}"] + ([f"t{turn}r{r}b"] if r % 3 == 2 else [])
            steps.append(items)
        steps.append(None)
    return steps


def answer(newest_result: str | None) -> str:
    first = (newest_result or "nothing").splitlines()[0]
    return f"Done. The newest record I read: {first}"


@dataclasses.dataclass
class Call:
    """What the model was sent in one call."""

    messages: int
    tokens: int
    unpaired: list[str]


@dataclasses.dataclass
class Run:
    answers: list[str]
    calls: list[Call]
    stored: list[Any] = dataclasses.field(default_factory=list)
    extra: dict[str, Any] = dataclasses.field(default_factory=dict)


# ---- LangChain ---------------------------------------------------------------------------

def langchain_model(steps: list[list[str] | None]) -> Any:
    from langchain_core.language_models import BaseChatModel
    from langchain_core.messages import AIMessage, ToolMessage
    from langchain_core.outputs import ChatGeneration, ChatResult
    from pydantic import PrivateAttr

    class ScriptedChatModel(BaseChatModel):
        """Answers from the script; records the messages of every call."""

        _steps: list[list[str] | None] = PrivateAttr(default_factory=list)
        _seen: list[list[Any]] = PrivateAttr(default_factory=list)

        @property
        def _llm_type(self) -> str:
            return "scripted"

        def bind_tools(self, tools: Any, **kwargs: Any) -> Any:
            return self

        def _generate(self, messages: list[Any], stop: Any = None, run_manager: Any = None,
                      **kwargs: Any) -> ChatResult:
            self._seen.append(list(messages))
            step = self._steps[len(self._seen) - 1]
            if step is None:
                newest = next((m.content for m in reversed(messages)
                               if isinstance(m, ToolMessage)), None)
                message = AIMessage(content=answer(newest))
            else:
                message = AIMessage(content="", tool_calls=[
                    {"name": "lookup", "args": {"item": item}, "id": f"call-{item}",
                     "type": "tool_call"} for item in step])
            return ChatResult(generations=[ChatGeneration(message=message)])

    model = ScriptedChatModel()
    model._steps = steps
    return model


async def run_langchain(middleware: Any = None, *, turns: int = 3, rounds: int = 8,
                        sync: bool = False) -> Run:
    """A create_agent run over the script; with ``sync`` through ``invoke``."""
    import asyncio

    from langchain.agents import create_agent
    from langchain_core.tools import tool
    from langgraph.checkpoint.memory import InMemorySaver

    @tool
    def lookup(item: str) -> str:
        """Reads the build record of an item."""
        return lookup_result(item)

    model = langchain_model(script(turns, rounds))
    agent = create_agent(model, tools=[lookup], system_prompt=SYSTEM,
                         middleware=[middleware] if middleware is not None else [],
                         checkpointer=InMemorySaver())
    config = {"configurable": {"thread_id": "run"}, "recursion_limit": 10 * rounds + 20}
    answers = []
    result: Any = None
    for turn in range(turns):
        inputs = {"messages": [{"role": "user", "content": request(turn)}]}
        if sync:
            result = await asyncio.to_thread(agent.invoke, inputs, config)
        else:
            result = await agent.ainvoke(inputs, config)
        answers.append(result["messages"][-1].content)
    calls = []
    for seen in model._seen:
        state = seen[1:]  # the system prompt is the agent's, not the state's
        calls.append(Call(len(seen), count_tokens(seen, "langchain"),
                          unpaired(state, "langchain")))
    return Run(answers, calls, stored=list(result["messages"]),
               extra={"state": result, "seen": model._seen})


# ---- OpenAI Agents SDK -------------------------------------------------------------------

def agents_model(steps: list[list[str] | None]) -> Any:
    from agents import ModelResponse, Usage
    from agents.models.interface import Model
    from openai.types.responses import (ResponseFunctionToolCall, ResponseOutputMessage,
                                        ResponseOutputText)

    class ScriptedModel(Model):
        """Answers from the script; records the input items of every call."""

        def __init__(self) -> None:
            self.seen: list[list[Any]] = []

        async def get_response(self, system_instructions: Any, input: Any, model_settings: Any,
                               tools: Any, output_schema: Any, handoffs: Any, tracing: Any,
                               **kwargs: Any) -> Any:
            items = [{"role": "user", "content": input}] if isinstance(input, str) else input
            self.seen.append(copy.deepcopy(list(items)))
            n = len(self.seen) - 1
            step = steps[n]
            if step is None:
                newest = next((i.get("output") for i in reversed(items)
                               if i.get("type") == "function_call_output"), None)
                output: list[Any] = [ResponseOutputMessage(
                    id=f"msg-{n}", type="message", role="assistant", status="completed",
                    content=[ResponseOutputText(text=answer(newest), type="output_text",
                                                annotations=[])])]
            else:
                output = [ResponseFunctionToolCall(
                    id=f"fc-{item}", call_id=f"call-{item}", type="function_call",
                    name="lookup", arguments=f'{{"item": "{item}"}}') for item in step]
            return ModelResponse(output=output, usage=Usage(), response_id=None)

        def stream_response(self, *args: Any, **kwargs: Any) -> Any:
            raise NotImplementedError("the scripted model answers Runner.run only")

    return ScriptedModel()


async def run_agents(wrap: Any = None, *, turns: int = 3, rounds: int = 8,
                     within_runs: bool = True) -> Run:
    """Runner.run turns over one SQLiteSession, wrapped by ``wrap(session)`` when given;
    ``within_runs``: the wrapper condenses each model call's input too."""
    from agents import Agent, RunConfig, Runner, SQLiteSession, function_tool

    @function_tool
    def lookup(item: str) -> str:
        """Reads the build record of an item."""
        return lookup_result(item)

    model = agents_model(script(turns, rounds))
    agent = Agent(name="builder", instructions=SYSTEM, model=model, tools=[lookup])
    stored = SQLiteSession("run")
    session = wrap(stored) if wrap is not None else stored
    config = RunConfig(tracing_disabled=True)
    if wrap is not None and within_runs:
        config = RunConfig(tracing_disabled=True,
                           call_model_input_filter=session.condense_model_input)
    answers = []
    for turn in range(turns):
        result = await Runner.run(agent, request(turn), session=session, max_turns=rounds + 2,
                                  run_config=config)
        answers.append(result.final_output)
    calls = [Call(len(seen), count_tokens(seen, "responses"), unpaired(seen, "responses"))
             for seen in model.seen]
    return Run(answers, calls, stored=await stored.get_items(),
               extra={"session": session, "seen": model.seen})
