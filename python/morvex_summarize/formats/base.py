"""What every format reader produces: a `Conversation` of the caller's items, each with its
view in the summarizer's message shape."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any

from .parts import content_text

Message = Mapping[str, Any]


class FormatError(TypeError, ValueError):
    """A conversation that no format reads, or that holds no message: says what was found.
    A TypeError and a ValueError both, so callers that catch either keep working."""


class NoMessages(FormatError):
    """A conversation that holds no user, assistant or tool message: nothing to summarize."""


class WrongFormat(FormatError):
    """A conversation read in a named format holds a message only another format writes,
    whose parts the named one would lose; or, with ``index`` None, the whole document is
    of another format (an agent's log read as messages, or messages read as a log)."""

    def __init__(self, index: int | None, found: str, named: str) -> None:
        self.subject = "the document" if index is None else f"message {index}"
        super().__init__(f"{self.subject} is {found}, which the {named} reader cannot "
                         f"read; read it as {found}")
        self.index = index
        self.found = found
        self.named = named


@dataclass(frozen=True)
class BodyField:
    """A request body's top-level instructions (Anthropic's ``system``, the Responses API's
    ``instructions``), standing first among the items: never summarized, always kept, and
    written back to its own key (which a value of None removes)."""

    key: str
    value: Any


@dataclass(frozen=True)
class BodyContext:
    """The summary text that an earlier condensing appended to a body's ``system``."""

    text: str


NO_MEDIA: Mapping[str, int] = MappingProxyType({})


class Converted:
    """One item as summarizer messages, with the media counted in it. ``leads``: the item
    belongs with the one after it (a Responses reasoning item with the call or message it
    led to), so the two are never split. ``opaque``: an item no summary can stand for (a
    platform's compaction of the history before it, a reference to a stored item): kept
    as it is, in its place before the summary of what follows it."""

    __slots__ = ("messages", "media", "leads", "opaque")

    def __init__(self, messages: list[Message], media: Mapping[str, int] | None = None,
                 leads: bool = False, opaque: bool = False) -> None:
        self.messages = messages
        self.media = media or NO_MEDIA
        self.leads = leads
        self.opaque = opaque


def one(message: Message, media: Mapping[str, int] | None = None) -> Converted:
    return Converted([message], media)


def call(call_id: Any, name: Any, arguments: Any) -> dict[str, Any]:
    """A tool-call record in the flat form the summarizer reads (one dict, not two)."""
    return {"id": call_id, "name": name if name is not None else "unknown",
            "arguments": arguments if arguments is not None else {}}


def joined(*texts: str | None) -> str:
    return "\n".join(t for t in texts if t)


JSON_TYPES = ((str, "string"), (bool, "boolean"), ((int, float), "number"), (list, "array"),
              (dict, "object"))
"""Python's types of a parsed JSON value, each with its JSON type's name."""


def json_type(value: Any) -> str:
    """The JSON type of a parsed value: "string", "number", ..., "null"."""
    return next((name for types, name in JSON_TYPES if isinstance(value, types)), "null")


def article(word: str) -> str:
    """``word`` after its indefinite article: "an aider", "a codex"."""
    return f"{'an' if word[:1].lower() in 'aeiou' else 'a'} {word}"


def odd_field(value: Any, key: str) -> str | None:
    """Why a message's or a part's ``key`` (its role, its type) cannot be read: a value
    that is there but is no string, such as "its role is an array, not a string"."""
    found = value.get(key) if isinstance(value, Mapping) else None
    if found is None or isinstance(found, str):
        return None
    return f"its {key} is {article(json_type(found))}, not a string"


def describe(item: Any) -> str:
    """What an item is, for an error message."""
    if isinstance(item, Mapping):
        keys = ", ".join(map(str, list(item)[:6])) + (", ..." if len(item) > 6 else "")
        return f"an object with keys {keys}" if keys else "an empty object"
    return f"a {type(item).__name__}"


Placer = Callable[["Conversation", Any, list[Any], str, str], "tuple[Any, list[Any], Any]"]
"""(conversation, the body's instructions or None, the items that follow the summary,
context text, context role) -> (the instructions, items to put in front of those that
follow, what holds the context): where a format puts the summary."""


def _never(value: Any) -> bool:
    return False


def _not_as_is(item: Any) -> str | None:
    return None


def _no_fields(body: Mapping[str, Any]) -> list[Any]:
    return []


def _nothing_to_note(conversation: Conversation, item: Any, message: Message) -> None:
    """Nothing of one message changes how the format puts a summary back."""


def _nothing_to_rewrite(item: Any, results: Mapping[int, str], inputs: frozenset[int]) -> Any:
    return item


def _no_thinking(item: Any) -> Any:
    return item


def _knows_all(doc: Any) -> tuple[str, ...]:
    return ()


@dataclass(frozen=True)
class LogText:
    """The text of a log file that a text-level format recognized as its own (a markdown
    history, say): the document its reader reads."""

    format: str
    text: str


@dataclass(frozen=True)
class Reader:
    """One conversation format: how its items are told from other formats', read into the
    summarizer's messages, and how a summary is put back in its terms.

    Detection asks, for each item, in this order and in registry order within each step:
    ``is_object`` (an item that is not a mapping), ``owns_item`` (an item only this format
    writes, known before its content: its own item types), ``own_parts`` and ``owns_part``
    (a content part only it writes), ``owns_message`` (a message field only it writes);
    a ``"type": "message"`` item nobody claimed belongs to the format with
    ``message_items``. ``as_is``, which one format has, tells a record every format
    reads as it is (the summarizer's own shape), for the common case.

    An agent's log is read whole, before any of that: ``log_text`` recognizes and parses
    a file's text, ``is_log`` a document, and ``read_log`` turns it into chat messages.

    A request body holds the items under one of ``body_keys`` (``body_text``: the key may
    hold the user's text alone); a key of one format alone, or one of its ``body_marks``
    beside shared items, settles the format. ``body_fields`` gives the body's top-level
    instructions as leading `BodyField` / `BodyContext` items, ``field_text`` their text;
    ``place_context`` puts a summary back; ``note`` records what of an item changes that
    (the role its instructions used, the shape of its messages).

    Clearing rewrites items in place of summarizing them: ``rewrite`` and
    ``strip_thinking`` give an item changed in the format's own terms (see each)."""

    name: str
    convert: Callable[[Any, Mapping[str, Any], str], Converted]
    place_context: Placer
    note: Callable[[Conversation, Any, Message], None] = _nothing_to_note
    body_keys: tuple[str, ...] = ("messages",)
    body_text: bool = False
    body_marks: tuple[str, ...] = ()
    body_fields: Callable[[Mapping[str, Any]], list[Any]] = _no_fields
    field_text: Callable[[Any], tuple[str, Mapping[str, int]]] = content_text
    is_object: Callable[[Any], bool] = _never
    owns_item: Callable[[Mapping[str, Any]], bool] = _never
    own_parts: frozenset[str] = frozenset()
    owns_part: Callable[[Mapping[str, Any]], bool] = _never
    owns_message: Callable[[Mapping[str, Any]], bool] = _never
    message_items: bool = False
    reads_too: frozenset[str] = frozenset()
    """Formats whose own messages this reader reads without loss (LangChain takes OpenAI's
    role dicts as messages)."""
    as_is: Callable[[Any], str | None] = _not_as_is
    read_log: Callable[[Any], Sequence[Message]] | None = None
    """For an agent's session log (a whole document, not a list of messages): the log's
    conversation as OpenAI chat messages. The conversation's items are then those
    messages, read and put back as OpenAI's."""
    is_log: Callable[[Any], bool] = _never
    """The document (a parsed JSON value, or a `LogText`) is this format's log."""
    log_unknown: Callable[[Any], tuple[str, ...]] = _knows_all
    """For an agent's log: what in it ``read_log`` does not know and leaves out (an agent
    adds kinds of record with its releases), as ``"record TYPE"``, ``"item TYPE"`` or
    ``"block TYPE"``, each once, in the order found."""
    log_warnings: Callable[[Any], tuple[str, ...]] = _knows_all
    """For an agent's log: what ``read_log`` read otherwise than the log has it, and why
    (a chain of records that breaks), each one line, to be told as a warning."""
    log_text: Callable[[str], Any] | None = None
    """For a log that is not one JSON document (JSON lines, markdown): the document a
    file's text holds when the text is this format's (recognized from its first record
    or line), else None."""
    rewrite: Callable[[Any, Mapping[int, str], frozenset[int]], Any] = _nothing_to_rewrite
    """(item, results, inputs) -> the item with the output of each tool result it holds
    at a position of ``results`` replaced by that text, and the input of each call at a
    position of ``inputs`` emptied; positions count the item's tool messages, and its
    calls, in the order of its view. A new item in the item's own shape (the given one
    is never changed), or the item itself when it holds nothing this format can rewrite
    (a result whose output must keep a shape of its own stays as it is)."""
    strip_thinking: Callable[[Any], Any] = _no_thinking
    """The item without its reasoning (thinking blocks, a reasoning item, thought parts):
    a new item, the item itself when it holds none, or None when it is nothing else."""


@dataclass
class Conversation:
    """A conversation read in its own format.

    format: the name of the format it was read in.
    items: the caller's items, unchanged (objects stay objects); a request body's top-level
        instructions come first as a `BodyField`, and a summary appended to them as a
        `BodyContext` after it.
    views: per item, its messages in the summarizer's shape and the images, audio clips
        and files in it; None for an item that is itself such a message (most are: no
        allocation for them).
    body: the request body the items came in, or None for a bare list.
    items_key: the body's key that holds the messages ("messages" or "input").
    definite: the format was named, or something only it writes was found (else the
        messages are of a shape several formats share).
    skipped: for an agent's log, what in it its reader does not know and left out
        (`Reader.log_unknown`).
    warnings: what was left out or read otherwise than the file has it, each with why
        (a part of no readable type, a log's broken chain), to be told as warnings.
    """

    format: str
    items: list[Any]
    views: list[Converted | None]
    body: Mapping[str, Any] | None = None
    items_key: str = "messages"
    placer: Placer | None = None
    definite: bool = True
    notes: dict[str, Any] = field(default_factory=dict)
    skipped: tuple[str, ...] = ()
    warnings: tuple[str, ...] = ()

    def view(self, index: int) -> Converted:
        found = self.views[index]
        return Converted([self.items[index]]) if found is None else found

    def messages_of(self, indexes: Sequence[int]) -> list[Message]:
        """The messages of the items at ``indexes``, in order."""
        out: list[Message] = []
        items, views = self.items, self.views
        for i in indexes:
            found = views[i]
            if found is None:
                out.append(items[i])
            else:
                out += found.messages
        return out

    @property
    def messages(self) -> list[Message]:
        """The whole conversation in the summarizer's message shape."""
        return self.messages_of(range(len(self.items)))

    def part(self, indexes: Sequence[int]) -> Conversation:
        """The items at ``indexes`` alone, as a conversation of the same format (no
        body): what a count of those items is given."""
        return Conversation(self.format, [self.items[i] for i in indexes],
                            [self.views[i] for i in indexes], placer=self.placer,
                            definite=self.definite, notes=self.notes)

    def fields(self) -> int:
        """How many of the items are a body's top-level instructions (and the summary in
        them): they stand at the front."""
        items = self.items
        count = 0
        while count < len(items) and isinstance(items[count], (BodyField, BodyContext)):
            count += 1
        return count

    def unchanged(self) -> Any:
        """The conversation as given, in a new list (and a new body around it)."""
        return self.assemble(self.items[self.fields():])

    def rebuild(self, heads: list[Any], pinned: list[Any], tail: list[Any],
                context_text: str, context_role: str) -> tuple[Any, Any]:
        """(the conversation in its own shape: the heads (a body's instructions, leading
        system messages), the items kept in front of the summary (``pinned``), the
        summary's context and the kept tail; what holds the context, for recognising it
        next time)."""
        assert self.placer is not None
        field = next((h for h in heads if isinstance(h, BodyField)), None)
        field, lead, holder = self.placer(self, field, pinned + tail, context_text,
                                          context_role)
        field_head = field if isinstance(field, BodyField) else None
        items = [h for h in heads if not isinstance(h, BodyField)]
        if field is not None and field_head is None:
            items.insert(0, field)
        return self.assemble(items + pinned + lead + tail, field_head), holder

    def assemble(self, items: list[Any], system: BodyField | None = None) -> Any:
        """A bare list, or the body it came in with its items (and top-level instructions)
        replaced."""
        if self.body is None:
            return items
        body = dict(self.body)
        body[self.items_key] = items
        if system is not None:
            if system.value is None:
                body.pop(system.key, None)
            else:
                body[system.key] = system.value
        return body
