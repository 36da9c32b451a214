"""The Responses API's compaction, carried out by the proxy itself for an upstream that
does not compact (``serve --carry-out-compaction``).

A compaction stands for a conversation by the user's messages and one opaque
``compaction`` item. The proxy's item holds what the proxy puts in the history's place
when a later request carries it: the leading system and developer messages, the items no
summary can stand for (another platform's compaction items, item references) and the
summary's context message, in the shape the condenser gives it in a Responses input.

A request that carries one of the proxy's items is sent upstream with it expanded
(`expand`): the leading messages in front of the input, unless the input has them, and
in the item's place the other items and the context message. Of the items in front of
it, the user's messages and the leading messages stay, and so does an item of another
platform that the proxy's item does not hold; the rest is what the item stands for, and
is left out. Expanded, the user's messages stand right in front of the context message,
where the condenser finds an earlier summary: the next compaction, and the condensing of
each request, build on it.

The item's ``encrypted_content`` is `MARK` and the unpadded base64url of the nonce
(16 bytes), the ciphertext and the tag (32 bytes). The plaintext is the content as JSON,
zlib-compressed; the ciphertext is the plaintext XORed with SHAKE-256 of the encryption
key and the nonce, and the tag is HMAC-SHA256, under the signing key, of the mark, the
caller's binding, the nonce and the ciphertext. Both keys are drawn from one key
(`Sealer`) by HMAC-SHA256 with their purpose. The binding is an HMAC of the caller's
credentials, as the stored summaries' scope is: an item opens only for the caller it was
made for, and one that was changed, or made by another key, opens for nobody (`Forged`).
An item whose content lacks the mark is another platform's, and is never opened.

Nothing here imports the web stack: the process that condenses large bodies uses it too.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import hashlib
import hmac
import re
import secrets
import time
import zlib
from collections.abc import Iterator, Sequence
from typing import Any, cast

from ..condense import Condenser
from ..formats import read_conversation
from ..native import is_context_text
from . import body as bodies
from .condensing import Settings, fixed_tokens, summarizer_of
from .endpoints import RESPONSES

PATH = "/responses/compact"
"""The compaction endpoint, under the API's base."""

MARK = "morvex.v1."
"""How the proxy's items' content begins."""

MIN_KEY = 16
"""The fewest bytes a compaction key may have."""

_NONCE = 16
_TAG = 32
_OPAQUE = frozenset({"compaction", "item_reference"})


class Refused(Exception):
    """A request the proxy cannot carry out: its message is the 400's."""


class Forged(Refused):
    """An item of the proxy's kind that this proxy did not make for this caller, or that
    was changed since."""

    def __init__(self) -> None:
        super().__init__("a compaction item in the input was not made by this proxy for "
                         "this caller's key, or was changed since: send the items the "
                         "compaction answered, or compact again")


def _derive(key: bytes, purpose: bytes) -> bytes:
    return hmac.new(key, b"morvex compaction " + purpose, hashlib.sha256).digest()


def _xor(data: bytes, stream: bytes) -> bytes:
    return (int.from_bytes(data, "big") ^ int.from_bytes(stream, "big")).to_bytes(
        len(data), "big")


class Sealer:
    """Seals a compaction's content into an item's ``encrypted_content``, and opens it,
    with one key of `MIN_KEY` bytes or more."""

    def __init__(self, key: bytes) -> None:
        if len(key) < MIN_KEY:
            raise ValueError(f"a compaction key needs at least {MIN_KEY} bytes")
        self._encrypt = _derive(key, b"encrypt")
        self._sign = _derive(key, b"sign")
        self._bind = _derive(key, b"caller")

    def binding(self, credentials: Sequence[tuple[str, str]]) -> bytes:
        """The binding of a caller: an HMAC of its credentials (header name and value
        pairs)."""
        text = "\n".join(sorted(f"{k.lower()}:{v}" for k, v in credentials))
        return hmac.new(self._bind, text.encode("utf-8", "surrogateescape"),
                        hashlib.sha256).digest()

    def _stream(self, nonce: bytes, size: int) -> bytes:
        return hashlib.shake_256(self._encrypt + nonce).digest(size)

    def _tag(self, binding: bytes, nonce: bytes, sealed: bytes) -> bytes:
        return hmac.new(self._sign, MARK.encode() + binding + nonce + sealed,
                        hashlib.sha256).digest()

    def seal(self, content: dict[str, Any], binding: bytes) -> str:
        plain = zlib.compress(bodies.dumps(content))
        nonce = secrets.token_bytes(_NONCE)
        sealed = _xor(plain, self._stream(nonce, len(plain)))
        raw = nonce + sealed + self._tag(binding, nonce, sealed)
        return MARK + base64.urlsafe_b64encode(raw).rstrip(b"=").decode("ascii")

    def open(self, text: str, binding: bytes, limit: int) -> dict[str, Any]:
        """The content of an item sealed for ``binding``; Forged for any other. ``limit``:
        the bytes its JSON may take."""
        coded = text[len(MARK):]
        try:
            raw = base64.b64decode(coded + "=" * (-len(coded) % 4), altchars=b"-_",
                                   validate=True)
        except (binascii.Error, ValueError):
            raise Forged() from None
        if len(raw) < _NONCE + _TAG:
            raise Forged()
        nonce, sealed, tag = raw[:_NONCE], raw[_NONCE:-_TAG], raw[-_TAG:]
        if not hmac.compare_digest(tag, self._tag(binding, nonce, sealed)):
            raise Forged()
        try:
            opener = zlib.decompressobj()
            plain = opener.decompress(_xor(sealed, self._stream(nonce, len(sealed))),
                                      limit + 1)
            if len(plain) > limit or not opener.eof:
                raise ValueError("too large")
            content = bodies.loads(plain)
        except (zlib.error, ValueError, RecursionError):
            raise Forged() from None
        if not (isinstance(content, dict) and isinstance(content.get("heads"), list)
                and isinstance(content.get("items"), list)):
            raise Forged()
        return content


@dataclasses.dataclass(frozen=True)
class Carry:
    """What a request needs to have its compaction carried out: the sealer, the caller's
    binding, and the bytes an item's content may take once opened."""

    sealer: Sealer
    binding: bytes
    limit: int

    def item(self, content: dict[str, Any]) -> dict[str, Any]:
        return {"type": "compaction", "id": f"cmp_{secrets.token_hex(16)}",
                "encrypted_content": self.sealer.seal(content, self.binding)}

    def open(self, item: dict[str, Any]) -> dict[str, Any]:
        return self.sealer.open(item["encrypted_content"], self.binding, self.limit)


def is_ours(item: Any) -> bool:
    """The item is a compaction item of the proxy's kind (whether it opens or not)."""
    return (isinstance(item, dict) and item.get("type") == "compaction"
            and isinstance(item.get("encrypted_content"), str)
            and item["encrypted_content"].startswith(MARK))


def _message_of(item: Any, roles: tuple[str, ...]) -> bool:
    return (isinstance(item, dict) and item.get("type") in (None, "message")
            and item.get("role") in roles)


def _leading(items: Sequence[Any]) -> int:
    """How many of the items are leading system and developer messages."""
    n = 0
    while n < len(items) and _message_of(items[n], ("system", "developer")):
        n += 1
    return n


def expand(items: list[Any], carry: Carry) -> list[Any] | None:
    """The input with the proxy's compaction items expanded (see the module's
    documentation), or None when it holds none. Forged when one does not open."""
    ours = [k for k, item in enumerate(items) if is_ours(item)]
    if not ours:
        return None
    contents = [carry.open(items[k]) for k in ours]
    last, content = ours[-1], contents[-1]
    front = _leading(items)
    held: list[Any] = content["items"]
    kept = [item for k, item in enumerate(items[:last])
            if k < front or _message_of(item, ("user",))
            or (isinstance(item, dict) and item.get("type") in _OPAQUE and not is_ours(item)
                and item not in held)]
    heads: list[Any] = [h for h in content["heads"] if h not in items[:front]]
    return heads + kept + held + items[last + 1:]


def threshold(body: dict[str, Any], default: int) -> int | None:
    """The token threshold of a Responses request's compaction entry in
    ``context_management`` (``default`` when it names none), taken out of the body (the
    field with it, when nothing else is left in it); None when there is none. Refused for
    an entry the proxy cannot read."""
    entries = body.get("context_management")
    if entries is None:
        return None
    if not isinstance(entries, list) or not all(isinstance(e, dict) for e in entries):
        raise Refused("context_management must be a list of objects")
    ours = [e for e in entries if e.get("type") == "compaction"]
    if not ours:
        return None
    if len(ours) > 1:
        raise Refused("context_management holds more than one compaction entry")
    value = ours[0].get("compact_threshold")
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)
                              or value < 1):
        raise Refused("context_management: compact_threshold must be a positive whole "
                      "number of tokens")
    rest = [e for e in entries if e is not ours[0]]
    if rest:
        body["context_management"] = rest
    else:
        del body["context_management"]
    return default if value is None else value


@dataclasses.dataclass
class Compaction:
    """A compaction's outcome: the user's messages, the item that stands for the rest, the
    input's tokens, the summary's, the items summarized, whether the summary is a
    fallback."""

    users: list[Any]
    item: dict[str, Any]
    tokens: int
    summary_tokens: int
    summarized: int
    fallback: bool

    def output(self) -> list[Any]:
        """The compacted input, as the client keeps it."""
        return [*self.users, self.item]

    def answer(self) -> dict[str, Any]:
        """The endpoint's answer, a ``response.compaction`` object."""
        return {"id": f"resp_{secrets.token_hex(16)}", "object": "response.compaction",
                "created_at": int(time.time()), "output": self.output(),
                "usage": {"input_tokens": self.tokens,
                          "input_tokens_details": {"cached_tokens": 0,
                                                   "cache_write_tokens": 0},
                          "output_tokens": self.summary_tokens,
                          "output_tokens_details": {"reasoning_tokens": 0},
                          "total_tokens": self.tokens + self.summary_tokens}}


class Compactor:
    """Compacts Responses inputs with a summarizer client (in windows, as condensing
    summarizes, `summarizer_of`): every item but the user's messages is summarized (a
    tool call that still waits for its output excepted), the earlier compaction's summary
    built on."""

    def __init__(self, client: Any, settings: Settings, carry: Carry) -> None:
        self.carry = carry
        self.condenser = Condenser(summarizer_of(client, settings), max_messages=1,
                                   target_messages=0, keep_last=0, keep_first=True,
                                   keep_requests=True, context_role=settings.context_role,
                                   input_format=RESPONSES.format)

    def tokens(self, body: dict[str, Any]) -> int:
        """The tokens of a Responses body, counted as the budget counts them. FormatError
        for an input no reader reads."""
        conversation = read_conversation({"input": body["input"]}, RESPONSES.format)
        return fixed_tokens(body, RESPONSES) + sum(self.condenser.count_items(conversation))

    async def compact(self, items: list[Any]) -> Compaction:
        """The compaction of an input whose proxy items are expanded (`expand`).
        FormatError for an input no reader reads."""
        given = {"input": items}
        tokens = self.condenser.count_tokens(given, RESPONSES.format)
        result, state = await self.condenser.condense(given, input_format=RESPONSES.format)
        out: list[Any] = cast("dict[str, Any]", result)["input"]  # a body in, a body out
        front = _leading(out)
        held = out[front:]
        users = [i for i in held if _message_of(i, ("user",))
                 and i is not state.context_message and not _is_summary(i)]
        kept = {id(u) for u in users}
        content = {"heads": out[:front], "items": [i for i in held if id(i) not in kept]}
        return Compaction([_as_message(u) for u in users], self.carry.item(content), tokens,
                          state.summary_tokens, state.summarized, state.fallback)


def _is_summary(item: dict[str, Any]) -> bool:
    """The message holds a summary's context text (an earlier one, carried on unchanged)."""
    content = item.get("content")
    if isinstance(content, list) and len(content) == 1 and isinstance(content[0], dict):
        content = content[0].get("text")
    return is_context_text(content)


def _as_message(item: dict[str, Any]) -> dict[str, Any]:
    """A user's message in the shape the platform gives it back: a typed item, its text in
    content parts."""
    content = item.get("content")
    if "type" in item and not isinstance(content, str):
        return item
    out = {"type": "message", **item}
    if isinstance(content, str):
        out["content"] = [{"type": "input_text", "text": content}]
    return out


# -- the item in front of an answer's output ---------------------------------------------

_EVENT_END = re.compile(rb"\r\n\r\n|\n\n|\r\r")
_PRELUDE = frozenset({"response.created", "response.queued", "response.in_progress"})
_ENDS = frozenset({"response.completed", "response.incomplete", "response.failed"})


def _in_front(response: Any, item: dict[str, Any]) -> bool:
    output = response.get("output") if isinstance(response, dict) else None
    if not isinstance(output, list):
        return False
    output.insert(0, item)
    return True


def json_in_front(content: bytes, item: dict[str, Any]) -> bytes:
    """A Responses answer (JSON) with ``item`` first in its output; any other content as
    it came."""
    try:
        answer = bodies.loads(content)
    except (ValueError, RecursionError):
        return content
    return bodies.dumps(answer) if _in_front(answer, item) else content


class InFront:
    """Rewrites an answer, piece by piece, so that ``item`` stands first in its output:
    a JSON answer (``stream`` False) once it is whole; a stream of server-sent events as
    the events arrive, where the item is announced (added, then done) at output index 0
    after the response's opening events, and every later event's output index and
    sequence number moves up to make room."""

    def __init__(self, item: dict[str, Any], stream: bool) -> None:
        self.item = item
        self.stream = stream
        self.pending = bytearray()
        self.placed = False
        self.shift = 0

    def feed(self, piece: bytes) -> bytes:
        self.pending += piece
        if not self.stream:
            return b""
        out = []
        at = 0
        for end in _EVENT_END.finditer(self.pending):
            out.append(self._event(bytes(self.pending[at:end.start()]),
                                   bytes(self.pending[end.start():end.end()])))
            at = end.end()
        del self.pending[:at]
        return b"".join(out)

    def finish(self) -> bytes:
        rest, self.pending = bytes(self.pending), bytearray()
        if not self.stream:
            return json_in_front(rest, self.item)
        return self._event(rest, b"") if rest.strip() else rest

    def _event(self, block: bytes, end: bytes) -> bytes:
        lines = block.splitlines()
        data = [line[5:].removeprefix(b" ") for line in lines if line.startswith(b"data:")]
        try:
            event = bodies.loads(b"\n".join(data)) if data else None
        except (ValueError, RecursionError):
            event = None
        if not isinstance(event, dict):
            return block + end
        kind = event.get("type")
        before = b""
        if not self.placed and kind not in _PRELUDE:
            before = b"".join(self._announce(event.get("sequence_number")))
            self.placed = True
        if isinstance(event.get("output_index"), int) and self.placed:
            event["output_index"] += 1
        if isinstance(event.get("sequence_number"), int):
            event["sequence_number"] += self.shift
        if kind in _ENDS:
            _in_front(event.get("response"), self.item)
        kept = [line for line in lines if not line.startswith(b"data:")]
        text = bodies.dumps(event)
        return before + b"\n".join([*kept, b"data: " + text]) + (end or b"\n\n")

    def _announce(self, number: Any) -> Iterator[bytes]:
        for kind in ("response.output_item.added", "response.output_item.done"):
            event: dict[str, Any] = {"type": kind, "output_index": 0, "item": self.item}
            if isinstance(number, int):
                event["sequence_number"] = number + self.shift
                self.shift += 1
            yield f"event: {kind}\ndata: ".encode() + bodies.dumps(event) + b"\n\n"
