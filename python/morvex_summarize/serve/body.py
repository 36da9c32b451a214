"""A request body as the proxy reads and writes it: decompressed, parsed and written back
as JSON without losing what Python's own numbers cannot hold.

A body is read a value at a time (each field, and each item of a list field), not in one
call: another thread (the proxy's event loop) gets its turn between two items, where one
call would hold the interpreter for the whole body (a quarter of a second for 30 MB).

Python refuses to read an integer of more than a few thousand digits (a guard against
slow conversions), and reads a float beyond its range as infinity, which JSON cannot
write. Such a number is kept as a marked text while the body is read, and written back
as the number it was, digit for digit. The mark holds a key made when the proxy starts,
so no text a client sends can pass for a number.
"""

from __future__ import annotations

import json
import math
import re
import secrets
import sys
import zlib
from typing import Any

ENCODINGS = {"gzip": 16 + zlib.MAX_WBITS, "x-gzip": 16 + zlib.MAX_WBITS,
             "deflate": zlib.MAX_WBITS}
"""The content encodings the proxy opens (``deflate``: zlib's format, as HTTP means it)."""

_KEY = secrets.token_hex(8)
_MARK = f"\0{_KEY}:"
_MARKED = re.compile(rb'"\\u0000' + _KEY.encode() + rb':([-+.0-9eE]+)"')
_DIGITS = sys.get_int_max_str_digits() or sys.maxsize


class TooLarge(Exception):
    """A body larger than the limit, once decompressed."""


def decompress(content: bytes, encoding: str, limit: int) -> bytes:
    """The body a ``gzip`` or ``deflate`` content encoding holds; TooLarge past ``limit``
    bytes, ValueError for data that is not what the encoding says."""
    opener = zlib.decompressobj(ENCODINGS[encoding])
    try:
        out = opener.decompress(content, limit + 1)
    except zlib.error as exc:
        raise ValueError(f"the {encoding} data is damaged: {exc}") from None
    if len(out) > limit:
        raise TooLarge
    if not opener.eof:
        raise ValueError(f"the {encoding} data ends early")
    return out


def _integer(text: str) -> Any:
    return int(text) if len(text) < _DIGITS else _MARK + text


def _real(text: str) -> Any:
    value = float(text)
    return value if math.isfinite(value) else _MARK + text


_DECODER = json.JSONDecoder(parse_int=_integer, parse_float=_real)
_SPACE = re.compile(r"[ \t\n\r]*")


def _space(text: str, at: int) -> int:
    """Where the whitespace from ``at`` on ends."""
    found = _SPACE.match(text, at)
    return found.end() if found is not None else at


def loads(content: bytes) -> Any:
    """The JSON value of a body, as ``json.loads`` reads it; ValueError (or
    RecursionError) when it is not JSON."""
    text = content.decode(json.detect_encoding(content), "surrogatepass")
    at = _space(text, 0)
    if not text.startswith("{", at):
        return _DECODER.decode(text)
    value, at = _container(text, at)
    if _space(text, at) != len(text):
        raise ValueError(f"extra data at character {at}")
    return value


def _container(text: str, at: int) -> tuple[Any, int]:
    """The object or list that starts at ``at`` (its members read one by one), and where
    it ends."""
    closing = "}" if text[at] == "{" else "]"
    members: Any = {} if closing == "}" else []
    at = _space(text, at + 1)
    if text.startswith(closing, at):
        return members, at + 1
    while True:
        if closing == "}":
            key, at = _DECODER.raw_decode(text, at)
            if not isinstance(key, str):
                raise ValueError(f"expected a name at character {at}")
            at = _space(text, at)
            if not text.startswith(":", at):
                raise ValueError(f"expected ':' at character {at}")
            at = _space(text, at + 1)
        if closing == "}" and text.startswith("[", at):
            value, at = _container(text, at)
        else:
            value, at = _DECODER.raw_decode(text, at)
        if closing == "}":
            members[key] = value
        else:
            members.append(value)
        at = _space(text, at)
        if text.startswith(",", at):
            at = _space(text, at + 1)
        elif text.startswith(closing, at):
            return members, at + 1
        else:
            raise ValueError(f"expected ',' or '{closing}' at character {at}")


def dumps(body: Any) -> bytes:
    """The body as compact JSON, every marked number written back as it came."""
    try:
        text = json.dumps(body, ensure_ascii=False, separators=(",", ":"))
    except UnicodeEncodeError:  # a lone surrogate, which JSON can only write escaped
        text = json.dumps(body, separators=(",", ":"))
    out = text.encode()
    if _MARK in text or b"\\u0000" + _KEY.encode() in out:
        out = _MARKED.sub(rb"\1", out)
    return out
