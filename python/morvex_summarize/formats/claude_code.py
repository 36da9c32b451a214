"""Claude Code's session logs (``~/.claude/projects/<project>/<session>.jsonl``): one record
per line, ``user`` and ``assistant`` records carrying an Anthropic message.

The conversation is the chain of ``parentUuid`` links that ends at the last user or
assistant record: a rewound or resumed session leaves records of abandoned branches in the
file, which the chain passes by. A chain that breaks (a record lost, its child naming a
parent the file does not hold) with conversation records before the break is not
followed: the log is read in file order from its start, with a warning. A reply's calls are records of their own, each linked to
the one before, and each result is linked to its call's record: the chain runs through the
last result alone, and the others, which answer calls on it, are read after their calls.
Compacting starts a new chain (a ``compact_boundary`` record with no parent); before it,
the chain goes on from the record its ``logicalParentUuid`` names, else from the last user
or assistant record written before it, so that the history compacted away is read too.
Along it:

- ``assistant`` records that share one ``message.id`` are one reply written block by block:
  their blocks are merged into one message, where the first of them stands;
- a sub-agent's records (``isSidechain``) are left out of its parent's session; a
  sub-agent's own transcript (``<session>/subagents/agent-<id>.jsonl``, where every record
  is one) is read as that agent's conversation;
- what reached the agent while it worked (an ``attachment`` record of a
  ``queued_command``: a prompt the user typed meanwhile, a background sub-agent's
  notification with its result) is a user message;
- the harness's own records (``isMeta`` user records, ``system``, other ``attachment``,
  ``progress``, ``summary``, ``file-history-snapshot``, ``queue-operation``, the
  ``api-request`` records with the requests' copies of the messages, and the like) are no
  conversation, and neither is a result's structured copy (``toolUseResult``);
- the agent's own summary of what it compacted (``isCompactSummary``) is kept, in a
  ``<compaction-summary>`` block of a user message: context, not a request;
- a record or a content block of a type this reader does not know (each release of the
  agent adds some) is left out, and named by `unknown`.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from . import anthropic, logs
from .base import Message
from .parts import is_map

NAME = "claude-code"

_SPOKEN = frozenset({"user", "assistant"})
# The harness's records, which carry no link of their own (some never did).
_BOOKKEEPING = frozenset({"summary", "file-history-snapshot", "queue-operation",
                          "last-prompt", "ai-title", "permission-mode", "tools-used",
                          "cost-state", "atis-latch", "api-request", "api-request-route",
                          "api-request-shape", "api-request-blob"})
# The records this reader knows: the conversation's, and those it leaves out knowingly.
_KNOWN = _SPOKEN | _BOOKKEEPING | {"system", "attachment", "progress"}
# The blocks read as they are; calls and results are told by their shape too.
_BLOCKS = frozenset({"text", "thinking", "redacted_thinking", "image", "document"}) \
    | anthropic.OWN_PARTS


def _linked(value: Mapping[str, Any]) -> bool:
    return "uuid" in value and ("sessionId" in value or "parentUuid" in value)


def is_record(value: Any) -> bool:
    """A record of a Claude Code log: a conversation record with its links, or one of the
    harness's, which has its type and the session's id (a codex rollout's records have a
    ``payload``)."""
    if not is_map(value) or "payload" in value:
        return False
    kind = value.get("type")
    if not isinstance(kind, str):
        return False
    return kind in _BOOKKEEPING or _linked(value) or isinstance(value.get("sessionId"), str)


def is_log(doc: Any) -> bool:
    """The first records are a Claude Code log's, and one record at least is a kind this
    reader knows (not just records of some other program that name a session)."""
    return isinstance(doc, list) and bool(doc) and all(is_record(r) for r in doc[:3]) \
        and any(is_map(r) and (_linked(r) or r.get("type") in _BOOKKEEPING) for r in doc)


# What a first record holds: a conversation record's links, or a bookkeeping record's kind.
_MARKS = ('"parentUuid"', '"sessionId"', '"leafUuid"', '"file-history-snapshot"')


def log_text(text: str) -> Any:
    return logs.json_lines(text) if is_record(logs.first_record(text, _MARKS)) else None


def _restarts(record: Mapping[str, Any]) -> bool:
    """The record starts the chain again after compacting: the compaction boundary."""
    return (record.get("type") == "system" and record.get("subtype") == "compact_boundary") \
        or isinstance(record.get("logicalParentUuid"), str)


def _chain(records: list[Mapping[str, Any]]) -> list[Mapping[str, Any]]:
    """The records linked by ``parentUuid`` from the last user or assistant record back to
    the first, across compaction boundaries, in order; the records in file order when none
    has a ``uuid``, or when the links break (a record's parent is not in the log) with
    conversation records before the break that the chain would lose. Sub-agents' records
    are passed by, unless every user and assistant record is one: the file is a
    sub-agent's own transcript."""
    chain, kept, _ = _walk(records)
    return chain if chain is not None else kept


def _walk(records: list[Mapping[str, Any]]
          ) -> tuple[list[Mapping[str, Any]] | None, list[Mapping[str, Any]], int | None]:
    """(the chain, or None when it is not to be read; the records read, sub-agents' passed
    by; the index among ``records`` of the record whose parent is missing, when the chain
    breaks and is not read for it)."""
    side = not any(r.get("type") in _SPOKEN and not r.get("isSidechain") for r in records)
    kept = [r for r in records if side or not r.get("isSidechain")]
    by_uuid: dict[str, Mapping[str, Any]] = {}
    # each compaction boundary's uuid: the last user or assistant record written before it
    before: dict[str, Mapping[str, Any] | None] = {}
    last = None
    for record in kept:
        uuid = record.get("uuid")
        if isinstance(uuid, str):
            by_uuid[uuid] = record
            if record.get("type") in _SPOKEN:
                last = record
            elif _restarts(record):
                before[uuid] = last
    if last is None:
        return None, kept, None
    chain = []
    seen: set[str] = set()
    node: Mapping[str, Any] | None = last
    broken: Mapping[str, Any] | None = None
    while node is not None:
        chain.append(node)
        seen.add(node["uuid"])
        parent = node.get("parentUuid")
        if isinstance(parent, str):
            if parent not in by_uuid:
                broken = node
            node = by_uuid.get(parent)
        elif node["uuid"] in before:
            logical = node.get("logicalParentUuid")
            node = (by_uuid.get(logical) if isinstance(logical, str) else None) \
                or before[node["uuid"]]
        else:
            node = None
        if node is not None and node["uuid"] in seen:
            node = None
    chain.reverse()
    if broken is not None:
        start = next(i for i, r in enumerate(kept) if r is broken)
        if any(r.get("type") in _SPOKEN for r in kept[:start]):
            return None, kept, next(i for i, r in enumerate(records) if r is broken)
    return _with_parallel_results(chain, kept), kept, None


def warnings(doc: Any) -> tuple[str, ...]:
    """That the log's chain of records breaks, when it is read in file order for it."""
    _, _, broken = _walk([r for r in doc if is_map(r)])
    if broken is None:
        return ()
    return (f"record {broken + 1}'s parentUuid names a record the log does not hold (one "
            "lost?): the log is read in file order from its start",)


def _ids(record: Mapping[str, Any], kind: str, key: str) -> list[Any]:
    """The ``key`` of each ``kind`` block of the record's message."""
    message = record.get("message")
    content = message.get("content") if is_map(message) else None
    if not isinstance(content, (list, tuple)):
        return []
    return [b.get(key) for b in content if is_map(b) and b.get("type") == kind]


def _with_parallel_results(chain: list[Mapping[str, Any]],
                           records: list[Mapping[str, Any]]) -> list[Mapping[str, Any]]:
    """The chain with the results of calls made in one reply that it passes by: each call
    of a reply is a record of its own, each result's parent is its call's record, and the
    chain runs through the last of them only. Such a result is put after its parent."""
    calls = {i for r in chain if r.get("type") == "assistant"
             for i in _ids(r, "tool_use", "id")}
    calls.difference_update(i for r in chain if r.get("type") == "user"
                            for i in _ids(r, "tool_result", "tool_use_id"))
    if not calls:
        return chain
    on_chain = {id(r) for r in chain}
    uuids = {r["uuid"] for r in chain}
    after: dict[str, list[Mapping[str, Any]]] = {}
    for record in records:
        parent = record.get("parentUuid")
        if record.get("type") != "user" or id(record) in on_chain \
                or not isinstance(parent, str) or parent not in uuids:
            continue
        answers = [i for i in _ids(record, "tool_result", "tool_use_id") if i in calls]
        if answers:
            after.setdefault(parent, []).append(record)
            calls.difference_update(answers)
    if not after:
        return chain
    out = []
    for record in chain:
        out.append(record)
        out += after.get(record["uuid"], ())
    return out


def _known(block: Any) -> bool:
    """A content block this reader reads (a block with no type is read by its text)."""
    if not is_map(block):
        return True
    kind = block.get("type")
    return kind is None or isinstance(kind, str) and (kind in _BLOCKS
                                                      or anthropic.is_block(block))


def _blocks(content: Any) -> list[Any]:
    if isinstance(content, str):
        return [{"type": "text", "text": content}] if content else []
    return [b for b in content if _known(b)] if isinstance(content, (list, tuple)) else []


def unknown(doc: Any) -> tuple[str, ...]:
    """The types of record and of content block in the log that this reader does not
    know, each once, in the order found."""
    found: dict[str, None] = {}
    for record in doc:
        if not is_map(record):
            continue
        kind = record.get("type")
        if kind not in _KNOWN:
            found.setdefault(f"record {kind}")
            continue
        message = record.get("message")
        content = message.get("content") if is_map(message) else None
        if isinstance(content, (list, tuple)):
            for block in content:
                if not _known(block):
                    found.setdefault(f"block {block.get('type')}")
    return tuple(found)


def _queued(record: Mapping[str, Any]) -> list[Any]:
    """The blocks of what reached the agent while it worked, sent along with its next
    request: a prompt the user typed meanwhile, or a background task's notification (its
    ``<task-notification>`` block, with a sub-agent's result, is read as context)."""
    attachment = record.get("attachment")
    if record.get("type") != "attachment" or not is_map(attachment) \
            or attachment.get("type") != "queued_command":
        return []
    return _blocks(attachment.get("prompt"))


def read_log(doc: Any) -> list[dict[str, Any]]:
    records = [r for r in doc if is_map(r)]
    # each message as the Anthropic message it was, its blocks merged by reply id
    messages: list[dict[str, Any]] = []
    replies: dict[str, dict[str, Any]] = {}
    for record in _chain(records):
        kind = record.get("type")
        message = record.get("message")
        queued = _queued(record)
        if queued:
            messages.append({"role": "user", "content": queued})
            continue
        if kind not in _SPOKEN or record.get("isMeta") or not is_map(message):
            continue
        if record.get("isCompactSummary"):
            messages.append(logs.compaction(logs.text(message.get("content"))))
            continue
        ident = message.get("id")
        if kind == "assistant" and isinstance(ident, str) and ident in replies:
            replies[ident]["content"] += _blocks(message.get("content"))
            continue
        found = {"role": "assistant" if kind == "assistant" else "user",
                 "content": _blocks(message.get("content"))}
        if kind == "assistant" and isinstance(ident, str):
            replies[ident] = found
        messages.append(found)
    out: list[Message] = []
    for index, message in enumerate(messages):
        if message["content"]:
            out += anthropic.convert(message, message, f"record {index}").messages
    return logs.chat(out)


READER = logs.reader(NAME, read_log, is_log, log_text, unknown, warnings)
