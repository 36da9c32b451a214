"""OpenHands event trajectories: a JSON list of the events of a conversation, or an object
holding them in ``history`` (as evaluation runs export them), in either generation's form.

- V0 events hold an ``action`` (with its ``args``) or an ``observation`` (with its
  ``content`` and ``extras``). A ``message`` action is the user's or the agent's words;
  another action of the agent is a tool call, named and given its arguments as the model
  called it (``tool_call_metadata``), else as the tool that logs that action (``run`` is
  ``execute_bash``, ``read`` the editor's ``view``, ...). An observation answers the call of
  its ``tool_call_metadata`` id, else of the action its ``cause`` names. Exports that pair
  each action with its observation (``[[action, observation], ...]``) are read too.
- V1 events carry a ``kind``: a ``MessageEvent`` is words, an ``ActionEvent`` a call (its
  ``thought`` and reasoning as the text before it), an ``ObservationEvent`` its result
  (``[error]`` first when ``is_error``), an ``AgentErrorEvent`` or a
  ``UserRejectObservation`` a call that failed or was refused.

Calls the model made in one response are one assistant message. A command's end stays in
its result: ``[Command finished with exit code N]`` as the output says it, else ``Exit code:
N`` first, from the observation's exit code. The system prompt, the agent's state changes,
recalled knowledge and condensations are left out, and so are events of a kind this reader
does not know, named by `unknown`; an error that answers no call is kept in a ``<console>``
block of a user message, a harness's text.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any

from . import logs
from .base import joined
from .parts import is_map, json_text, text_of

NAME = "openhands"

_V0_NAMES = {"run": "execute_bash", "run_ipython": "execute_ipython_cell",
             "browse_interactive": "browser", "task_tracking": "task_tracker"}
# Actions that are no step of the agent's, and observations that answer none.
_V0_LEFT_OUT = frozenset({"system", "recall", "condensation", "condensation_request",
                          "change_agent_state", "null", "agent_state_changed"})
# The states an agent's run ends in.
_ENDED = frozenset({"finished", "stopped", "error", "rejected"})
# V1 events read, and those left out knowingly.
_V1_KNOWN = frozenset({"MessageEvent", "ActionEvent", "ObservationEvent", "AgentErrorEvent",
                       "UserRejectObservation", "SystemPromptEvent", "PauseEvent",
                       "ConversationStateUpdateEvent", "Condensation", "CondensationRequest",
                       "CondensationSummaryEvent"})
_SHOWS_CODE = re.compile(r"exit code:?\s*-?\d+", re.IGNORECASE)
_RESULT_KEYS = ("content", "output", "message", "text")


def _is_v0(event: Any) -> bool:
    if not is_map(event):
        return False
    if isinstance(event.get("action"), str):
        return is_map(event.get("args"))
    return isinstance(event.get("observation"), str) and (
        "content" in event or "extras" in event)


def _is_v1(event: Any) -> bool:
    kind = event.get("kind") if is_map(event) else None
    return isinstance(kind, str) and kind[:1].isupper() and "id" in event \
        and "source" in event


def _events(doc: Any, head: int | None = None) -> list[Any]:
    """The events of a trajectory (the first ``head`` of them), an export's pairs taken
    apart."""
    if is_map(doc):
        doc = doc.get("history")
    if not isinstance(doc, list):
        return []
    out: list[Any] = []
    for item in doc if head is None else doc[:head]:
        if isinstance(item, list) and len(item) == 2 and all(map(is_map, item)):
            out += item
        else:
            out.append(item)
    return out if head is None else out[:head]


def is_log(doc: Any) -> bool:
    head = _events(doc, 3)
    return bool(head) and (all(map(_is_v0, head)) or all(map(_is_v1, head)))


def _words(value: Any) -> str:
    """Text content (a str, or text parts) as its text."""
    return logs.text(value) if isinstance(value, (str, list)) else text_of(value)


def _with_code(text: str, code: Any) -> str:
    """The output with its exit code first, when it does not say it (-1: not known)."""
    if isinstance(code, int) and not isinstance(code, bool) and code != -1 \
            and not _SHOWS_CODE.search(text):
        return f"Exit code: {code}\n{text}"
    return text


def _rejected(reason: str) -> str:
    return "[error] rejected by the user" + (f": {reason}" if reason else "")


class _Reading:
    """The messages of a trajectory, read event by event."""

    def __init__(self) -> None:
        self.out: list[dict[str, Any]] = []
        self.waiting: set[str] = set()  # calls no result answers yet
        self.by_event: dict[Any, str] = {}  # an action event's id -> its call's id
        self.response: Any = None  # the response the last call message was made in
        self.state: str | None = None  # the agent's last state the log recorded

    def say(self, role: str, text: str) -> None:
        if text:
            self.out.append({"role": role, "content": text})
            self.response = None

    def call(self, event_id: Any, ident: str, name: Any, arguments: Any, text: str,
             response: Any) -> None:
        found = {"id": ident, "name": name if isinstance(name, str) else "unknown",
                 "arguments": arguments if arguments is not None else {}}
        last = self.out[-1] if self.out else None
        if response is not None and response == self.response and last is not None \
                and last.get("tool_calls"):
            last["tool_calls"].append(found)
            if text:
                last["content"] = joined(last["content"], text)
        else:
            self.out.append({"role": "assistant", "content": text, "tool_calls": [found]})
        self.response = response
        self.waiting.add(ident)
        if event_id is not None:
            self.by_event[event_id] = ident

    def answer(self, ident: Any, text: str) -> bool:
        """Adds the result of the call ``ident``; False when no call waits for it."""
        if not isinstance(ident, str) or ident not in self.waiting:
            return False
        self.waiting.discard(ident)
        self.out.append({"role": "tool", "tool_call_id": ident, "content": text})
        return True

    def note_error(self, text: str) -> None:
        if text.strip():
            self.say("user", f"<console>\n[error] {text.strip()}\n</console>")

    def ident_of(self, given: Any, event_id: Any) -> Any:
        return given if isinstance(given, str) and given else self.by_event.get(event_id)

    # -- V0 -------------------------------------------------------------------------

    def v0_action(self, event: Mapping[str, Any]) -> None:
        kind = event["action"]
        args = event["args"]
        source = event.get("source")
        if kind in _V0_LEFT_OUT:
            return
        if kind == "message":
            self.say("user" if source == "user" else "assistant", _words(args.get("content")))
            return
        if source == "user":  # the user's own command in the workspace: no call of the model
            return
        thought = args.get("thought")
        text = thought if isinstance(thought, str) else ""
        meta = event.get("tool_call_metadata")
        if is_map(meta) and isinstance(meta.get("tool_call_id"), str):
            ident = meta["tool_call_id"]
            response = meta.get("model_response")
            arguments = _called(response, ident)
            if arguments is None:
                arguments = _plain_args(args)
            name = meta.get("function_name") or _v0_tool(kind, args)[0]
            self.call(event.get("id"), ident, name, arguments, text,
                      response.get("id") if is_map(response) else None)
            return
        name, arguments = _v0_tool(kind, args)
        self.call(event.get("id"), f"event-{event.get('id')}", name, arguments, text, None)

    def v0_observation(self, event: Mapping[str, Any]) -> None:
        kind = event["observation"]
        if kind == "agent_state_changed":
            extras = event.get("extras")
            state = extras.get("agent_state") if is_map(extras) else None
            self.state = state if isinstance(state, str) else self.state
        if kind in _V0_LEFT_OUT:
            return
        meta = event.get("tool_call_metadata")
        ident = self.ident_of(meta.get("tool_call_id") if is_map(meta) else None,
                              event.get("cause"))
        text = _words(event.get("content"))
        if kind == "error":
            text = f"[error] {text}"
        elif kind == "user_rejected":
            text = _rejected(text)
        else:
            extras = event.get("extras")
            extras = extras if is_map(extras) else {}
            metadata = extras.get("metadata")
            code = metadata.get("exit_code") if is_map(metadata) else None
            text = _with_code(text, extras.get("exit_code") if code is None else code)
        if not self.answer(ident, text) and kind == "error":
            self.note_error(_words(event.get("content")))

    # -- V1 -------------------------------------------------------------------------

    def v1(self, event: Mapping[str, Any]) -> None:
        kind = event["kind"]
        if kind == "MessageEvent":
            message = event.get("llm_message")
            message = message if is_map(message) else {}
            user = event.get("source") == "user" or message.get("role") == "user"
            self.say("user" if user else "assistant", _words(message.get("content")))
        elif kind == "ActionEvent":
            self.v1_action(event)
        elif kind == "ObservationEvent":
            self.v1_observation(event)
        elif kind == "AgentErrorEvent":
            text = _words(event.get("error"))
            ident = self.ident_of(event.get("tool_call_id"), None)
            if not self.answer(ident, f"[error] {text}"):
                self.note_error(text)
        elif kind == "UserRejectObservation":
            reason = _words(event.get("rejection_reason"))
            self.answer(self.ident_of(event.get("tool_call_id"), event.get("action_id")),
                        _rejected(reason))

    def v1_action(self, event: Mapping[str, Any]) -> None:
        found = event.get("tool_call")
        found = found if is_map(found) else {}
        ident = next((i for i in (event.get("tool_call_id"), found.get("id"))
                      if isinstance(i, str) and i), f"event-{event.get('id')}")
        arguments = found.get("arguments")
        if arguments is None and is_map(event.get("action")):
            arguments = {k: v for k, v in event["action"].items() if k != "kind"}
        reasoning = event.get("reasoning_content")
        text = joined(f"[thinking] {reasoning}" if isinstance(reasoning, str) and reasoning
                      else None, _words(event.get("thought")) if event.get("thought") else None)
        self.call(event.get("id"), ident, event.get("tool_name") or found.get("name"),
                  arguments, text, event.get("llm_response_id"))

    def v1_observation(self, event: Mapping[str, Any]) -> None:
        observation = event.get("observation")
        observation = observation if is_map(observation) else {}
        key = next((k for k in _RESULT_KEYS if observation.get(k) is not None), None)
        text = _words(observation[key]) if key is not None else \
            json_text({k: v for k, v in observation.items() if k != "kind"})
        text = _with_code(text, observation.get("exit_code"))
        if observation.get("timeout") is True:
            text = f"[timed out]\n{text}"
        if observation.get("is_error") is True and not text.startswith("[error]"):
            text = f"[error] {text}"
        self.answer(self.ident_of(event.get("tool_call_id"), event.get("action_id")), text)


def _plain_args(args: Mapping[str, Any]) -> dict[str, Any]:
    return {k: v for k, v in args.items() if k != "thought"}


def _v0_tool(kind: str, args: Mapping[str, Any]) -> tuple[str, dict[str, Any]]:
    """The tool that logs an action of this kind, and its arguments, for a call the log
    holds no record of."""
    given = _plain_args(args)
    if kind == "read":
        return "str_replace_editor", {"command": "view", **given}
    if kind == "write":
        content = given.pop("content", None)
        return "str_replace_editor", {"command": "create", **given, "file_text": content}
    if kind == "edit":
        return ("str_replace_editor" if given.get("command") else "edit_file"), given
    if kind == "call_tool_mcp" and isinstance(given.get("name"), str):
        arguments = given.get("arguments")
        return given["name"], dict(arguments) if is_map(arguments) else {}
    return _V0_NAMES.get(kind, kind), given


def _called(response: Any, ident: str) -> Any:
    """The arguments the model gave the call ``ident`` in its response, or None."""
    choices = response.get("choices") if is_map(response) else None
    for choice in choices if isinstance(choices, list) else ():
        message = choice.get("message") if is_map(choice) else None
        calls = message.get("tool_calls") if is_map(message) else None
        for found in calls if isinstance(calls, list) else ():
            if is_map(found) and found.get("id") == ident and is_map(found.get("function")):
                return found["function"].get("arguments")
    return None


def _end(doc: Any, reading: _Reading) -> list[dict[str, Any]]:
    """The messages with the run's end: the agent's final state (finished, stopped on an
    error, ...) answers a call that nothing answered (``finish`` has no observation), and
    an evaluation's patch (``test_result.git_patch``) is what the run submitted."""
    result = doc.get("test_result") if is_map(doc) else None
    patch = result.get("git_patch") if is_map(result) else None
    patch = patch if isinstance(patch, str) and patch.strip() else None
    state = reading.state if reading.state in _ENDED else None
    if state is None and patch is None:
        return reading.out
    said = f"The run ended (agent state: {state or 'unknown'})"
    said += f" and submitted this patch:\n\n{patch}" if patch else "."
    if patch is None and not reading.waiting:
        return reading.out
    return logs.with_end(reading.out, state or "ended", patch, said)


def unknown(doc: Any) -> tuple[str, ...]:
    """The kinds of event in the trajectory that this reader does not know, each once, in
    the order found."""
    found: dict[str, None] = {}
    for event in _events(doc):
        if _is_v1(event):
            if event["kind"] not in _V1_KNOWN:
                found.setdefault(f"record {event['kind']}")
        elif not _is_v0(event):
            name = event.get("kind") or event.get("type") if is_map(event) else None
            found.setdefault(f"record {name if isinstance(name, str) else 'of no kind'}")
    return tuple(found)


def read_log(doc: Any) -> list[dict[str, Any]]:
    reading = _Reading()
    for event in _events(doc):
        if _is_v1(event):
            reading.v1(event)
        elif _is_v0(event):
            if "action" in event and isinstance(event["action"], str):
                reading.v0_action(event)
            else:
                reading.v0_observation(event)
    return logs.chat(_end(doc, reading))


READER = logs.reader(NAME, read_log, is_log, unknown=unknown)
