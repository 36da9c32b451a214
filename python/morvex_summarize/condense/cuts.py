"""Where a history may be cut: the parts of a conversation a condenser works on (the
leading instructions and system messages, the user's first turn, the earlier summary's
context message, the body after them), the places in the body where summarizing its oldest messages splits no tool call from its
results, and the cut a round makes among them.

A cut ``c`` summarizes ``body[:c]`` and keeps ``body[c:]`` verbatim."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, NamedTuple

from ..session import steps
from ..formats import BodyContext, BodyField, Conversation
from ..formats.base import Message
from ..formats.parts import tool_calls
from ..native import is_context_text



def _only_calls(message: Message) -> bool:
    return (message.get("role") == "assistant" and not message.get("content")
            and bool(tool_calls(message)))


def _call_key(value: Any) -> Any:
    try:
        hash(value)
    except TypeError:
        return repr(value)
    return value


def same_message(item: Any, marker: Any) -> bool:
    """The item is the context message an earlier round put there (or an equal copy of it,
    as after a round trip through JSON)."""
    if marker is None:
        return False
    if item is marker:
        return True
    return type(item) is type(marker) and bool(item == marker)


class Parts(NamedTuple):
    """A conversation as a round condenses it, by item index."""

    heads: list[int]
    """A body's instructions and the leading system (developer) messages: kept first."""
    first: list[int]
    """The user's first turn (its instructions files, environment and request), and the
    items no summary can stand for that follow it: kept after the heads, verbatim."""
    earlier_text: str | None
    """The earlier summary's text, or None."""
    body: list[int]
    """What may be summarized, oldest first (the earlier context message left out)."""
    drop: int | None
    """The earlier context message, replaced by the new one."""


def _system_message(conversation: Conversation, index: int) -> bool:
    view = conversation.view(index).messages
    return len(view) == 1 and view[0].get("role") == "system"


def is_request(conversation: Conversation, index: int) -> bool:
    """The item is something the user asked or said: text of the user's only, no tool
    result, no earlier summary, and not the output of a command the agent wrote in its
    text (which agents that act in text send as a user message)."""
    view = conversation.view(index)
    messages = view.messages
    if not messages or view.opaque or isinstance(conversation.items[index], BodyContext):
        return False
    if any(m.get("role") != "user" for m in messages):
        return False
    if len(messages) == 1 and is_context_text(messages[0].get("content")):
        return False
    if index > 0:
        before = conversation.view(index - 1).messages
        text = before[-1].get("content") if before else None
        if before and before[-1].get("role") == "assistant" and isinstance(text, str) \
                and steps.text_action(text) is not None:
            return False
    return True


def split(conversation: Conversation, marker: Any, earlier_text: str | None,
          keep_system: bool, keep_first: bool = False) -> Parts:
    """The parts of a conversation (see `Parts`).

    ``marker`` is the context message the last round returned and ``earlier_text`` its
    summary's text (None without a last round); without them, a context message in front
    of the body is recognised by its text, and its text is the earlier summary."""
    items = conversation.items
    n = len(items)
    chained = earlier_text is not None

    def earlier_context(index: int, at_front: bool) -> bool:
        if isinstance(items[index], BodyContext):
            return True  # a summary in a body's system is never conversation
        if marker is not None:
            return same_message(items[index], marker)
        if chained:
            return False
        view = conversation.view(index).messages
        if not (at_front and len(view) == 1):
            return False
        content = view[0].get("content")
        return view[0].get("role") in ("system", "user") and is_context_text(content)

    heads: list[int] = []
    at = 0
    if items and isinstance(items[0], BodyField):
        heads.append(0)
        at = 1
    while keep_system and at < n and _system_message(conversation, at) \
            and not earlier_context(at, True):
        heads.append(at)
        at += 1
    drop = None

    def context_at(index: int) -> bool:
        """The earlier context message stands at ``index``, in front of the body."""
        return index < n and (isinstance(items[index], BodyContext)
                              or (marker is None and earlier_context(index, True)))

    if context_at(at):  # a summary in the body's system, or put in front of the body
        drop = at
        at += 1
    first: list[int] = []
    while at < n and not earlier_context(at, True) and (
            conversation.view(at).opaque or (keep_first and is_request(conversation, at))):
        first.append(at)
        at += 1
    if drop is None:
        if marker is not None:
            drop = next((i for i in range(at, n) if earlier_context(i, False)), None)
        elif context_at(at):
            drop = at
    if drop is not None and earlier_text is None:
        earlier_text = conversation.view(drop).messages[0]["content"]
    return Parts(heads, first, earlier_text, [i for i in range(at, n) if i != drop], drop)


def valid_cuts(body: list[Message]) -> list[bool]:
    """valid[c]: summarizing body[:c] splits no tool call from its results (nor a command
    an agent wrote in its text from the user message that answers it) and leaves no call
    still waiting for results in the summary."""
    n = len(body)
    blocked = [0] * (n + 2)  # difference array over cut positions 0..n

    def block(first: int, last: int) -> None:  # cuts first..last inclusive
        blocked[first] += 1
        blocked[last + 1] -= 1

    # A call still waiting for results: only tool messages, and other messages that
    # only make calls (parallel calls as separate items), follow its message. Only the
    # calls from trailing - 1 on can wait, so only theirs are tracked below.
    trailing = n
    while trailing > 0 and (body[trailing - 1].get("role") == "tool"
                            or _only_calls(body[trailing - 1])):
        trailing -= 1
    by_id: dict[Any, int] = {}  # call id -> index of the latest assistant message making it
    latest_caller = None
    open_calls: dict[int, set[Any]] = {}  # assistant index -> its call ids still unanswered
    anonymous: dict[int, int] = {}  # assistant index -> its calls without an id, unanswered
    for j, message in enumerate(body):
        role = message.get("role")
        if role == "assistant":
            calls = tool_calls(message)
            if calls:
                latest_caller = j
                ids = {_call_key(tc.get("id")) for tc in calls if tc.get("id") is not None}
                for call_id in ids:
                    by_id[call_id] = j
                if j >= trailing - 1:
                    open_calls[j] = ids
                    anonymous[j] = sum(1 for tc in calls if tc.get("id") is None)
            text = message.get("content")
            if isinstance(text, str) and j + 1 < n and body[j + 1].get("role") == "user" \
                    and steps.text_action(text) is not None:
                block(j + 1, j + 1)  # a command in the agent's text, its output next
        elif role == "tool":
            call_id = message.get("tool_call_id")
            if call_id is not None:
                caller = by_id.get(_call_key(call_id))
                if caller in open_calls:
                    open_calls[caller].discard(_call_key(call_id))
            else:
                caller = latest_caller
                if caller is not None and anonymous.get(caller):
                    anonymous[caller] -= 1
            if caller is not None:
                block(caller + 1, j)
    for caller, ids in open_calls.items():
        if ids or anonymous[caller]:
            block(caller + 1, n)
    valid, depth = [], 0
    for c in range(n + 1):
        depth += blocked[c]
        valid.append(depth == 0)
    return valid


def choose_cut(conversation: Conversation, body: Sequence[int], body_counts: list[int],
               front: int, front_tokens: int, *, keep_last: int, target_tokens: int | None,
               target_messages: int | None, pinned: frozenset[int] = frozenset()) -> int:
    """How many of the oldest body items to summarize (0: none can be): the fewest that
    bring the kept part (the ``front`` items of ``front_tokens`` kept in front of the
    summary, and the rest of the body) within ``target_tokens`` and ``target_messages``
    where the rules allow, and never one of the newest ``keep_last``. The body positions
    in ``pinned`` are kept whatever the cut (moved beside the summary): their tokens are
    to be in ``front_tokens``, not in ``body_counts``."""
    n = len(body)
    valid_at = valid_cuts(conversation.messages_of(body))
    views = conversation.views
    valid = [valid_at[0]]  # valid[k]: at the item boundary after body[:k]
    at = 0
    for i in body:
        view = views[i]
        if view is None:
            at += 1
            valid.append(valid_at[at])
        else:  # an item that leads to the next one is no boundary
            at += len(view.messages)
            valid.append(valid_at[at] and not view.leads)
    latest = max(n - keep_last, 0)
    while latest > 0 and not valid[latest]:
        latest -= 1
    if latest == 0:
        return 0
    fixed = 1 + front  # messages in front of the tail: the context, the kept front
    kept = sum(body_counts)  # tokens of body[cut:]
    moved = 0
    for cut in range(1, latest + 1):
        kept -= body_counts[cut - 1]
        moved += (cut - 1) in pinned
        if not valid[cut]:
            continue
        if target_tokens is not None and front_tokens + kept > target_tokens:
            continue
        if target_messages is not None and fixed + moved + n - cut > target_messages:
            continue
        return cut
    return latest
