"""One agent session written in each conversation format, with the SDKs' own types.

A session is a list of events; each builder writes it as that format's users write it. The
checks read a condensed result back in its own format's terms: the SDK's parameter types,
the calls and results it holds."""

import base64
import json

SYSTEM = "You are a build agent."
FORMATS = ["openai", "responses", "anthropic", "langchain"]


def strategies():
    """The named strategies, and one that also empties the cleared calls' inputs and keeps
    a single tool use: what the condensing property suites run over."""
    from morvex_summarize.condense import STRATEGIES, ClearThinking, ClearToolResults, Strategy

    inputs = Strategy("clear-inputs-too", (ClearToolResults(keep=1, clear_tool_inputs=True),
                                           ClearThinking()))
    return {**STRATEGIES, inputs.name: inputs}


def png(size):
    return base64.b64encode(b"\x89PNG\r\n\x1a\n" + b"\0" * (size - 8)).decode()


def session(rounds, image_size=0, parallel=2, thinking=False, log_lines=0):
    """Events: the user's request (with an image when image_size), then rounds of calls
    with results (each after ``log_lines`` lines of a build log), a user remark after every
    third round; with ``thinking``, the model's thinking before each round."""
    events = [("user", "Fix the failing build of the payments service.", image_size)]
    for r in range(rounds):
        log = "".join(f"compiling unit {r}.{j} of the payments service\n"
                      for j in range(log_lines))
        calls = [(f"call_{r}_{k}", "shell", {"cmd": f"make step{r}.{k}"},
                  log + f"step {r}.{k}: " + ("error: missing header" if (r + k) % 5 == 4
                                             else "ok"))
                 for k in range(1 + r % parallel)]
        if thinking:
            events.append(("thinking", f"Step {r} builds the next module; check its log.", 0))
        events.append(("round", f"Running step {r}." if r % 2 else "", calls))
        if r % 3 == 2:
            events.append(("user", f"Keep going, round {r} looks fine.", 0))
    events.append(("assistant", "The build passes now.", 0))
    return events


def openai(events, sdk_objects=False):
    from openai.types.chat import ChatCompletionMessage

    out = [{"role": "developer", "content": SYSTEM}]
    for kind, text, extra in events:
        if kind == "user":
            parts = [{"type": "text", "text": text}]
            if extra:
                parts.append({"type": "image_url",
                              "image_url": {"url": f"data:image/png;base64,{png(extra)}"}})
            out.append({"role": "user", "content": parts})
        elif kind == "assistant":
            out.append({"role": "assistant", "content": text})
        elif kind == "thinking":
            continue  # chat messages carry no reasoning
        else:
            calls = [{"id": i, "type": "function",
                      "function": {"name": n, "arguments": json.dumps(a)}}
                     for i, n, a, _ in extra]
            message = {"role": "assistant", "content": text or None, "tool_calls": calls}
            if sdk_objects:  # as ``completion.choices[0].message`` gives it
                message = ChatCompletionMessage(**message)
            out.append(message)
            out += [{"role": "tool", "tool_call_id": i, "content": r} for i, _, _, r in extra]
    return out


def responses(events):
    out = [{"role": "developer", "content": SYSTEM}]
    for kind, text, extra in events:
        if kind == "user":
            parts = [{"type": "input_text", "text": text}]
            if extra:
                parts.append({"type": "input_image", "detail": "auto",
                              "image_url": f"data:image/png;base64,{png(extra)}"})
            out.append({"type": "message", "role": "user", "content": parts})
        elif kind == "assistant":
            out.append({"type": "message", "role": "assistant", "content": text})
        elif kind == "thinking":
            out.append({"type": "reasoning", "id": f"rs_{len(out)}",
                        "summary": [{"type": "summary_text", "text": text}]})
        else:
            if text:
                out.append({"type": "reasoning", "id": f"rs_{len(out)}",
                            "summary": [{"type": "summary_text", "text": text}]})
            out += [{"type": "function_call", "call_id": i, "name": n,
                     "arguments": json.dumps(a)} for i, n, a, _ in extra]
            out += [{"type": "function_call_output", "call_id": i, "output": r}
                    for i, _, _, r in extra]
    return out


def anthropic(events, body=True, sdk_objects=False):
    """Results and the user's next words share one user message, as the API expects."""
    from anthropic.types import TextBlock, ThinkingBlock, ToolUseBlock

    messages = []
    thought = []
    for kind, text, extra in events:
        if kind == "thinking":
            thought = [{"type": "thinking", "thinking": text, "signature": "c2ln"}]
        elif kind == "user":
            blocks = [{"type": "text", "text": text}]
            if extra:
                blocks.append({"type": "image", "source": {
                    "type": "base64", "media_type": "image/png", "data": png(extra)}})
            if messages and messages[-1]["role"] == "user":
                messages[-1]["content"] += blocks
            else:
                messages.append({"role": "user", "content": blocks})
        elif kind == "assistant":
            messages.append({"role": "assistant", "content": text})
        else:
            blocks = thought + ([{"type": "text", "text": text}] if text else []) + [
                {"type": "tool_use", "id": i, "name": n, "input": a} for i, n, a, _ in extra]
            thought = []
            if sdk_objects:  # ``response.content`` as the SDK returns it
                kinds = {"text": TextBlock, "tool_use": ToolUseBlock, "thinking": ThinkingBlock}
                blocks = [kinds[b["type"]](**b) for b in blocks]
            messages.append({"role": "assistant", "content": blocks})
            messages.append({"role": "user", "content": [
                {"type": "tool_result", "tool_use_id": i, "content": r,
                 **({"is_error": True} if "error" in r else {})} for i, _, _, r in extra]})
    return {"model": "claude-x", "max_tokens": 1024, "system": SYSTEM,
            "messages": messages} if body else messages


def langchain(events, as_dicts=False):
    from langchain_core.messages import (AIMessage, HumanMessage, SystemMessage, ToolMessage,
                                         messages_to_dict)

    out = [SystemMessage(SYSTEM)]
    thought = []
    for kind, text, extra in events:
        if kind == "thinking":
            thought = [{"type": "reasoning", "reasoning": text}]
        elif kind == "user":
            content = [{"type": "text", "text": text}]
            if extra:
                content.append({"type": "image", "source_type": "base64",
                                "mime_type": "image/png", "data": png(extra)})
            out.append(HumanMessage(content=content))
        elif kind == "assistant":
            out.append(AIMessage(text))
        else:
            content = thought + [{"type": "text", "text": text}] if thought else text
            thought = []
            out.append(AIMessage(content, tool_calls=[{"name": n, "args": a, "id": i}
                                                      for i, n, a, _ in extra]))
            out += [ToolMessage(r, tool_call_id=i, status="error" if "error" in r else "success")
                    for i, _, _, r in extra]
    return messages_to_dict(out) if as_dicts else out


BUILDERS = {
    "openai": openai,
    "openai-sdk-objects": lambda e: openai(e, sdk_objects=True),
    "responses": responses,
    "anthropic": anthropic,
    "anthropic-list": lambda e: anthropic(e, body=False),
    "anthropic-sdk-blocks": lambda e: anthropic(e, sdk_objects=True),
    "langchain": langchain,
    "langchain-dicts": lambda e: langchain(e, as_dicts=True),
}


def items_of(doc):
    return doc["messages"] if isinstance(doc, dict) else doc


def validate(name, doc):
    """The condensed conversation is valid for its API: checked with the SDK's own types."""
    from pydantic import TypeAdapter

    if name.startswith("openai"):
        from openai.types.chat import ChatCompletionMessageParam

        adapter = TypeAdapter(ChatCompletionMessageParam)
        for m in doc:
            adapter.validate_python(m if isinstance(m, dict) else m.model_dump(exclude_none=True))
    elif name == "responses":
        from openai.types.responses import ResponseInputItemParam

        adapter = TypeAdapter(ResponseInputItemParam)
        for item in doc:
            adapter.validate_python(item)
    elif name.startswith("anthropic"):
        from anthropic.types import MessageParam, TextBlockParam

        messages = items_of(doc)
        for m in messages:
            TypeAdapter(MessageParam).validate_python(
                {**m, "content": [b.model_dump(exclude_none=True) if hasattr(b, "model_dump")
                                  else b for b in m["content"]]}
                if isinstance(m["content"], list) else m)
        assert messages and messages[0]["role"] == "user"
        assert all(m["role"] in ("user", "assistant") for m in messages)
        if isinstance(doc, dict) and not isinstance(doc["system"], str):
            TypeAdapter(list[TextBlockParam]).validate_python(doc["system"])
    elif name == "langchain-dicts":
        from langchain_core.messages import messages_from_dict

        messages_from_dict(doc)
    else:
        from langchain_core.messages import BaseMessage

        assert all(isinstance(m, BaseMessage) for m in doc)


def calls_and_results(doc):
    """(call ids, result ids) in a conversation, read back through the formats."""
    from morvex_summarize.formats import read_conversation

    calls, results = [], []
    for m in read_conversation(doc).messages:
        calls += [tc["id"] for tc in m.get("tool_calls") or ()]
        if m["role"] == "tool":
            results.append(m["tool_call_id"])
    return calls, results
