"""Google Gemini ``contents``: ``{"role": "user" | "model", "parts": [...]}`` items whose
parts hold text, inline or linked media, ``functionCall`` and ``functionResponse``, and a
request body's ``systemInstruction``. Both spellings are read: the REST API's camelCase
and the snake_case of the ``google-genai`` SDK's objects (read through ``model_dump``).

A model turn becomes an assistant message with its calls (text after a call starts the
next message), and each ``functionResponse`` a tool message, paired with its call by id or,
where the API gave none, by the function's name."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ..native import CONTEXT_HEADER
from .base import (BodyContext, BodyField, Conversation, Converted, FormatError, Message,
                   Reader, call)
from .parts import Rendered, content_text, is_map, marker, plain, render_part, text_of

NAME = "gemini"

_ROLES = {"user": "user", "model": "assistant", "function": "user"}
_INSTRUCTION_KEYS = ("systemInstruction", "system_instruction")
# Keys of a function's response that hold all of its result.
_RESULT_KEYS = ("output", "result", "content")


def _field(part: Mapping[str, Any], camel: str, snake: str) -> Any:
    found = part.get(camel)
    return part.get(snake) if found is None else found


def owns_item(item: Mapping[str, Any]) -> bool:
    """A ``Content``: parts where every other format has content."""
    return isinstance(item.get("parts"), (list, tuple)) and "content" not in item


def _media(part: Mapping[str, Any], out: Rendered) -> bool:
    """Adds an inline or linked media part's marker; False for another part."""
    inline = _field(part, "inlineData", "inline_data")
    linked = _field(part, "fileData", "file_data")
    found = inline if is_map(inline) else linked if is_map(linked) else None
    if found is None:
        return False
    media_type = _field(found, "mimeType", "mime_type")
    major = media_type.split("/", 1)[0] if isinstance(media_type, str) else ""
    kind = major if major in ("image", "audio") else "file"
    out.add_media(kind, marker(kind, media_type=media_type, data=found.get("data"),
                               url=_field(found, "fileUri", "file_uri"),
                               name=_field(found, "displayName", "display_name")))
    return True


def _render(part: Mapping[str, Any], out: Rendered) -> None:
    """Adds a part that holds no call or response: text (a thought marked as one), media,
    code the model ran and its output."""
    if isinstance(part.get("text"), str):
        out.add(f"[thinking] {part['text']}" if part.get("thought") else part["text"])
    elif not _media(part, out):
        code = _field(part, "executableCode", "executable_code")
        result = _field(part, "codeExecutionResult", "code_execution_result")
        if is_map(code):
            out.add(f"[code] {text_of(code.get('code'))}")
        elif is_map(result):
            out.add(f"[code output] {text_of(result.get('output'))}")


def _response_text(response: Any) -> str:
    """A function's response as the tool result's text: ``[error]`` first when it holds
    only an error."""
    response = plain(response)
    if is_map(response):
        if len(response) == 1:
            key, value = next(iter(response.items()))
            if key == "error":
                return f"[error] {text_of(value)}"
            if key in _RESULT_KEYS:
                return text_of(value)
    return text_of(response)


def convert(item: Any, message: Mapping[str, Any], where: str) -> Converted:
    given = message.get("role") or "user"  # a single turn may leave the role out
    role = _ROLES.get(given) if isinstance(given, str) else None
    if role is None:
        raise FormatError(f"{where}: role {given!r} is not user or model")
    parts = message.get("parts")
    if not isinstance(parts, (list, tuple)):
        raise FormatError(f"{where}: parts is {type(parts).__name__}, not a list")
    messages: list[Message] = []
    media: dict[str, int] = {}
    run = Rendered()
    calls: list[dict[str, Any]] = []

    def flush() -> None:
        nonlocal run, calls
        if run.pieces or calls:
            run.merge_media(media)
            messages.append(run.message(role, calls))
            run, calls = Rendered(), []

    for part in parts:
        part = plain(part)
        if not is_map(part):
            render_part(part, run)
            continue
        function_call = _field(part, "functionCall", "function_call")
        response = _field(part, "functionResponse", "function_response")
        if is_map(function_call):
            name = function_call.get("name")
            calls.append(call(function_call.get("id") or name, name, function_call.get("args")))
            continue
        if is_map(response):
            flush()
            messages.append({"role": "tool",
                             "tool_call_id": response.get("id") or response.get("name"),
                             "content": _response_text(response.get("response"))})
            continue
        if calls:
            flush()
        _render(part, run)
    flush()
    if not messages:
        messages.append({"role": role, "content": ""})
    return Converted(messages, media)


def _instruction_key(body: Mapping[str, Any]) -> str:
    return next((k for k in _INSTRUCTION_KEYS if k in body), _INSTRUCTION_KEYS[0])


def body_fields(body: Mapping[str, Any]) -> list[Any]:
    """A body's system instruction as items: the instruction, then an earlier summary that
    condensing added to it as its last part."""
    key = _instruction_key(body)
    given = body.get(key)
    value = plain(given)
    if value is None or value == "" or value == []:
        return []
    parts = value.get("parts") if is_map(value) else None
    if isinstance(parts, (list, tuple)) and parts:
        last = plain(parts[-1])
        if is_map(last) and isinstance(last.get("text"), str) \
                and last["text"].startswith(CONTEXT_HEADER + "\n"):
            rest = list(parts[:-1])
            return ([BodyField(key, {**value, "parts": rest})] if rest else []) + \
                [BodyContext(last["text"])]
    return [BodyField(key, given)]


def field_text(value: Any) -> tuple[str, Mapping[str, int]]:
    """The text of a system instruction: a ``Content``'s parts, or text as it is."""
    value = plain(value)
    return content_text(value.get("parts") if is_map(value) else value)


def _with_context(instruction: Any, text: str) -> dict[str, Any]:
    instruction = plain(instruction)
    summary = {"text": text}
    if is_map(instruction):
        return {**instruction, "parts": [*(instruction.get("parts") or ()), summary]}
    if isinstance(instruction, str) and instruction:
        return {"parts": [{"text": instruction}, summary]}
    return {"parts": [summary]}


def place_context(conversation: Conversation, head: Any, tail: list[Any], text: str,
                  role: str) -> tuple[Any, list[Any], Any]:
    """Contents hold no system role: the summary goes to a body's system instruction as its
    last part, else to a user turn in front."""
    body = conversation.body
    base = head.value if isinstance(head, BodyField) else None
    if body is not None:
        key = _instruction_key(body)
        if role == "system":
            return BodyField(key, _with_context(base, text)), [], BodyContext(text)
        head = BodyField(key, base)  # an earlier summary leaves the instruction
    context = {"role": "user", "parts": [{"text": text}]}
    return head, [context], context


def _key(part: Mapping[str, Any], camel: str, snake: str) -> str:
    return camel if part.get(camel) is not None else snake


def _with_parts(item: Any, content: Mapping[str, Any], parts: list[Any]) -> Any:
    """The content with other parts, in its own shape: an SDK object stays one."""
    changed = {**content, "parts": parts}
    validate = getattr(type(item), "model_validate", None)
    return changed if type(item) is dict or validate is None else validate(changed)


def rewrite(item: Any, results: Mapping[int, str], inputs: frozenset[int]) -> Any:
    """A content with the response of some of its ``functionResponse`` parts replaced by
    ``{"output": text}``, and the args of some of its ``functionCall`` parts emptied;
    positions count those parts in order, as the content's view does."""
    content = plain(item)
    parts = content.get("parts") if is_map(content) else None
    if not isinstance(parts, (list, tuple)):
        return item
    out: list[Any] = []
    result = called = 0
    changed = False
    for part in parts:
        found = plain(part)
        if is_map(found):
            function_call = _field(found, "functionCall", "function_call")
            response = _field(found, "functionResponse", "function_response")
            if is_map(function_call):
                if called in inputs:
                    key = _key(found, "functionCall", "function_call")
                    part, changed = {**found, key: {**function_call, "args": {}}}, True
                called += 1
            elif is_map(response):
                if result in results:
                    key = _key(found, "functionResponse", "function_response")
                    part = {**found, key: {**response, "response": {"output": results[result]}}}
                    changed = True
                result += 1
        out.append(part)
    return _with_parts(item, content, out) if changed else item


def strip_thinking(item: Any) -> Any:
    """A model turn without its thought parts (None when it held nothing else)."""
    content = plain(item)
    parts = content.get("parts") if is_map(content) else None
    if not isinstance(parts, (list, tuple)):
        return item
    kept = [p for p in parts if not (is_map(found := plain(p)) and found.get("thought"))]
    if len(kept) == len(parts):
        return item
    return _with_parts(item, content, kept) if kept else None


READER = Reader(NAME, convert, place_context, body_keys=("contents",),
                body_fields=body_fields, field_text=field_text, owns_item=owns_item,
                rewrite=rewrite, strip_thinking=strip_thinking)
