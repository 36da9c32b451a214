"""A tool-using agent written against the plain ``openai`` and ``anthropic`` SDKs, and the
model the loopback upstream plays for it.

Each turn the user asks about one item; the model calls ``lookup`` for it (every third
turn two calls at once, for two items), reads the results and answers. The agent keeps
its whole history and sends all of it on every call, as agents do.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable
from typing import Any

from loopback import Answer, Recorded, reply

SYSTEM = "You are an inventory agent. Use the lookup tool; answer in one sentence."
GOAL = "Audit the warehouse inventory item by item; never touch the archived shelf."
LOOKUP_OPENAI = {"type": "function", "function": {
    "name": "lookup", "description": "Look an item up in the inventory",
    "parameters": {"type": "object", "properties": {"item": {"type": "string"}},
                   "required": ["item"]}}}
LOOKUP_RESPONSES = {"type": "function", "name": "lookup",
                    "description": "Look an item up in the inventory", "strict": False,
                    "parameters": LOOKUP_OPENAI["function"]["parameters"]}
LOOKUP_ANTHROPIC = {"name": "lookup", "description": "Look an item up in the inventory",
                    "input_schema": LOOKUP_OPENAI["function"]["parameters"]}

_TURN = re.compile(r"item-(\d+)")


def request(turn: int) -> str:
    first = f"{GOAL} " if turn == 0 else ""
    return f"{first}Turn {turn}: what is the state of item-{turn}?"


def items_for(turn: int) -> list[str]:
    return [f"item-{turn}", f"item-{turn}-spare"] if turn % 3 == 2 else [f"item-{turn}"]


def lookup(item: str) -> str:
    return (f"{item}: on shelf {len(item) % 7}, count 12, last audited 2026-11-0"
            f"{len(item) % 9}. " + "Stock history: steady. " * 12)


# ---- the model --------------------------------------------------------------------------

def _last_user_turn(texts: list[str]) -> int:
    for text in reversed(texts):
        found = _TURN.findall(text)
        if found:
            return int(found[-1])
    return 0


def model(req: Recorded) -> Answer:
    """The upstream's answer to an agent's call: tool calls after a user request, a text
    answer after tool results."""
    body = req.body
    path = req.path
    name = body.get("model", "loopback")
    items = body["input"] if path == "/responses" else body["messages"]
    last = items[-1]
    if path == "/chat/completions":
        after_tools = last.get("role") == "tool"
    elif path == "/responses":
        after_tools = last.get("type") == "function_call_output"
    else:
        content = last.get("content")
        after_tools = isinstance(content, list) and any(
            b.get("type") == "tool_result" for b in content)
    texts = [json.dumps(i) for i in items[-4:]]
    turn = _last_user_turn(texts)
    if after_tools:
        return Answer(body=reply(path, name, f"Item-{turn} is in stock and audited."))
    wanted = items_for(turn)
    ids = [f"call_{turn}_{n}" for n in range(len(wanted))]
    if path == "/chat/completions":
        return Answer(body={
            "id": f"chatcmpl-{turn}", "object": "chat.completion", "created": 0, "model": name,
            "choices": [{"index": 0, "finish_reason": "tool_calls", "message": {
                "role": "assistant", "content": None, "tool_calls": [
                    {"id": i, "type": "function", "function": {
                        "name": "lookup", "arguments": json.dumps({"item": w})}}
                    for i, w in zip(ids, wanted)]}}]})
    if path == "/responses":
        return Answer(body={
            "id": f"resp_{turn}", "object": "response", "created_at": 0, "model": name,
            "status": "completed", "parallel_tool_calls": True, "tool_choice": "auto",
            "tools": [], "output": [
                {"type": "function_call", "id": f"fc_{i}", "call_id": i, "name": "lookup",
                 "arguments": json.dumps({"item": w}), "status": "completed"}
                for i, w in zip(ids, wanted)]})
    return Answer(body={
        "id": f"msg_{turn}", "type": "message", "role": "assistant", "model": name,
        "content": [{"type": "text", "text": "Looking it up."}] + [
            {"type": "tool_use", "id": i, "name": "lookup", "input": {"item": w}}
            for i, w in zip(ids, wanted)],
        "stop_reason": "tool_use", "stop_sequence": None,
        "usage": {"input_tokens": 1, "output_tokens": 1}})


# ---- the agents -----------------------------------------------------------------------

Seen = Callable[[Any], None]
"""Called with the raw response of every model call (its headers show the condensing)."""


def chat_agent(client: Any, turns: int, seen: Seen = lambda r: None) -> list[Any]:
    messages: list[Any] = [{"role": "system", "content": SYSTEM}]
    for turn in range(turns):
        messages.append({"role": "user", "content": request(turn)})
        while True:
            raw = client.chat.completions.with_raw_response.create(
                model="loopback-model", messages=messages, tools=[LOOKUP_OPENAI],
                temperature=0.2)
            seen(raw)
            message = raw.parse().choices[0].message
            messages.append(message.model_dump(exclude_none=True))
            if not message.tool_calls:
                break
            for call in message.tool_calls:
                item = json.loads(call.function.arguments)["item"]
                messages.append({"role": "tool", "tool_call_id": call.id,
                                 "content": lookup(item)})
    return messages


def responses_agent(client: Any, turns: int, seen: Seen = lambda r: None) -> list[Any]:
    items: list[Any] = []
    for turn in range(turns):
        items.append({"role": "user", "content": request(turn)})
        while True:
            raw = client.responses.with_raw_response.create(
                model="loopback-model", instructions=SYSTEM, input=items,
                tools=[LOOKUP_RESPONSES], store=False)
            seen(raw)
            response = raw.parse()
            calls = [o for o in response.output if o.type == "function_call"]
            items += [o.model_dump(exclude_none=True) for o in response.output]
            if not calls:
                break
            for call in calls:
                item = json.loads(call.arguments)["item"]
                items.append({"type": "function_call_output", "call_id": call.call_id,
                              "output": lookup(item)})
    return items


def anthropic_agent(client: Any, turns: int, seen: Seen = lambda r: None) -> list[Any]:
    messages: list[Any] = []
    for turn in range(turns):
        messages.append({"role": "user", "content": request(turn)})
        while True:
            raw = client.messages.with_raw_response.create(
                model="loopback-model", max_tokens=512, system=SYSTEM, messages=messages,
                tools=[LOOKUP_ANTHROPIC])
            seen(raw)
            message = raw.parse()
            messages.append({"role": "assistant",
                             "content": [b.model_dump(exclude_none=True)
                                         for b in message.content]})
            uses = [b for b in message.content if b.type == "tool_use"]
            if not uses:
                break
            messages.append({"role": "user", "content": [
                {"type": "tool_result", "tool_use_id": b.id, "content": lookup(b.input["item"])}
                for b in uses]})
    return messages


AGENTS = {"/chat/completions": chat_agent, "/responses": responses_agent,
          "/messages": anthropic_agent}


def sdk_client(path: str, base_url: str, key: str = "sk-loopback-key", **options: Any) -> Any:
    """The SDK client an agent of this API makes, pointed at ``base_url`` (the API's base
    URL with /v1, as the openai SDK takes it)."""
    if path == "/messages":
        import anthropic
        return anthropic.Anthropic(base_url=base_url.removesuffix("/v1"), api_key=key,
                                   **options)
    import openai
    return openai.OpenAI(base_url=base_url, api_key=key, **options)
