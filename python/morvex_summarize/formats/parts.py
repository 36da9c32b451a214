"""Content parts of every format as transcript text: text as it is, media as a short marker.

An image, audio clip or file never reaches the transcript as data: it becomes a marker with
its kind, media type and size (``[image: image/png, 300 KB]``), or its name, id or a
shortened URL where the part holds no data. Each marker is counted, so that token estimates
can charge a fixed cost per image, clip and file instead of the length of its base64 text.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from typing import Any, TypeGuard
from urllib.parse import urlsplit

MEDIA_KINDS = ("image", "audio", "file")

_URL_LIMIT = 80
_NAME_LIMIT = 40


def is_map(value: Any) -> TypeGuard[Mapping[str, Any]]:
    """A mapping; a plain dict without the cost of the abstract-class check."""
    return type(value) is dict or isinstance(value, Mapping)


class Rendered:
    """Text pieces of one message's content, and the media found in it. Most content is
    text alone: the media counts and the marker positions are made when first needed."""

    __slots__ = ("pieces", "_media", "_inline")

    def __init__(self) -> None:
        self.pieces: list[str] = []
        self._media: dict[str, int] | None = None
        self._inline: list[bool] | None = None

    @property
    def media(self) -> dict[str, int]:
        return self._media or {}

    def add(self, text: str | None) -> None:
        if text:
            self.pieces.append(text)
            if self._inline is not None:
                self._inline.append(False)

    def add_media(self, kind: str, marker: str) -> None:
        if self._media is None:
            self._media = {}
            self._inline = [False] * len(self.pieces)
        assert self._inline is not None
        self._media[kind] = self._media.get(kind, 0) + 1
        self.pieces.append(marker)
        self._inline.append(True)

    def text(self) -> str:
        """The pieces in order: texts on lines of their own, a marker on the line before."""
        pieces = self.pieces
        if self._inline is None or len(pieces) == 1:
            return "\n".join(pieces)
        out = pieces[:1]
        for piece, inline in zip(pieces[1:], self._inline[1:]):
            out.append(" " if inline else "\n")
            out.append(piece)
        return "".join(out)

    def message(self, role: str, calls: list[dict[str, Any]]) -> dict[str, Any]:
        """The summarizer's message of these pieces, with its tool calls when it made any."""
        out: dict[str, Any] = {"role": role, "content": self.text()}
        if calls:
            out["tool_calls"] = calls
        return out

    def merge_media(self, into: dict[str, int]) -> None:
        if self._media:
            for kind, count in self._media.items():
                into[kind] = into.get(kind, 0) + count


_AS_THEY_ARE = frozenset({dict, str, list, tuple, type(None), int, float, bool})


def plain(value: Any) -> Any:
    """An SDK object (a pydantic model, such as ``ChatCompletionMessage`` or Anthropic's
    ``TextBlock``) as the dict it stands for; anything else as it is."""
    if type(value) in _AS_THEY_ARE or isinstance(value, (Mapping, str, list, tuple)):
        return value
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        try:
            return dump(exclude_none=True)
        except TypeError:
            return dump()
    return value


def size_text(size: int) -> str:
    if size < 1024:
        return f"{size} B"
    if size < 1024 * 1024:
        return f"{round(size / 1024)} KB"
    return f"{size / (1024 * 1024):.1f} MB"


def base64_size(data: str) -> int:
    """Bytes that a base64 text decodes to (counted, not decoded)."""
    length = len(data)
    if length == 0:
        return 0
    padding = len(data) - len(data.rstrip("="))
    return max(length * 3 // 4 - padding, 0)


def short_url(url: str) -> str:
    """A URL that fits a line: the host and the last path segment, without the query."""
    if len(url) <= _URL_LIMIT:
        return url
    parts = urlsplit(url)
    if not parts.netloc:
        return url[:_URL_LIMIT - 3] + "..."
    last = parts.path.rstrip("/").rsplit("/", 1)[-1]
    if len(last) > _NAME_LIMIT:
        last = last[:_NAME_LIMIT - 3] + "..."
    return f"{parts.scheme}://{parts.netloc}/.../{last}" if last else \
        f"{parts.scheme}://{parts.netloc}/..."


def _clean(name: Any) -> str | None:
    if not isinstance(name, str) or not name.strip():
        return None
    words = " ".join(name.split())
    return words if len(words) <= _NAME_LIMIT else words[:_NAME_LIMIT - 3] + "..."


def marker(kind: str, *, media_type: Any = None, data: Any = None, url: Any = None,
           name: Any = None, file_id: Any = None, size: int | None = None) -> str:
    """``[kind: name, media type, size]``; a data URL gives its media type and size, another
    URL is kept shortened, a file id is kept."""
    details: list[str] = []
    if isinstance(data, str) and data.startswith("data:"):
        url, data = data, None
    if isinstance(url, str) and url.startswith("data:"):
        head, _, payload = url.partition(",")
        media_type = media_type or head[5:].split(";", 1)[0] or None
        data = payload if ";base64" in head else None
        size = size if data is not None else len(payload)
        url = None
    label = _clean(name)
    if label:
        details.append(label)
    if isinstance(media_type, str) and media_type:
        details.append(media_type)
    if isinstance(data, str):
        size = base64_size(data)
    elif isinstance(data, (bytes, bytearray)):
        size = len(data)
    if size is not None:
        details.append(size_text(size))
    if isinstance(url, str) and url:
        details.append(short_url(url))
    elif isinstance(file_id, str) and file_id:
        details.append(f"file id {file_id}")
    return f"[{kind}: {', '.join(details)}]" if details else f"[{kind}]"


def _image(part: Mapping[str, Any]) -> str:
    """Images of every format: OpenAI ``image_url``, Responses ``input_image``, Anthropic's
    ``source`` and LangChain's standard blocks."""
    image_url = part.get("image_url")
    if is_map(image_url):
        image_url = image_url.get("url")
    source = part.get("source")
    if is_map(source):
        return marker("image", media_type=source.get("media_type"), data=source.get("data"),
                      url=source.get("url"), file_id=source.get("file_id"))
    return marker("image", media_type=part.get("mime_type") or part.get("media_type"),
                  data=part.get("base64") if part.get("base64") is not None else
                  (part.get("data") if part.get("source_type", "base64") == "base64" else None),
                  url=image_url or part.get("url")
                  or (part.get("data") if part.get("source_type") == "url" else None),
                  file_id=part.get("file_id") or part.get("id"))


def _audio(part: Mapping[str, Any]) -> str:
    audio = part.get("input_audio")
    if not is_map(audio):
        audio = part
    media_type = audio.get("mime_type") or audio.get("media_type") or audio.get("format")
    data = audio.get("data") if audio.get("data") is not None else audio.get("base64")
    return marker("audio", media_type=media_type, data=data, url=audio.get("url"),
                  file_id=audio.get("file_id") or audio.get("id"))


def _file(part: Mapping[str, Any]) -> str:
    """OpenAI ``file``, Responses ``input_file``, Anthropic ``document`` and LangChain
    ``file`` blocks."""
    inner = part.get("file")
    if is_map(inner):
        part = {**part, **inner}
    source = part.get("source")
    kind = "document" if part.get("type") == "document" else "file"
    if is_map(source):
        data = source.get("data")
        size = len(data.encode("utf-8")) if source.get("type") == "text" and \
            isinstance(data, str) else None
        if source.get("type") == "content":
            data = None
        return marker(kind, name=part.get("title"), size=size,
                      media_type=source.get("media_type") or
                      ("text/plain" if source.get("type") == "text" else None),
                      data=data if size is None else None, url=source.get("url"),
                      file_id=source.get("file_id"))
    data = part.get("file_data")
    if data is None:
        data = part.get("base64") if part.get("base64") is not None else part.get("data")
    return marker(kind, name=part.get("filename") or part.get("title") or part.get("name"),
                  media_type=part.get("mime_type") or part.get("media_type"), data=data,
                  url=part.get("file_url") or part.get("url"), file_id=part.get("file_id"))


_TEXT_PARTS = frozenset({"text", "input_text", "output_text", "summary_text", "reasoning_text"})
_IMAGE_PARTS = frozenset({"image_url", "input_image", "image"})
_AUDIO_PARTS = frozenset({"input_audio", "audio"})
_FILE_PARTS = frozenset({"file", "input_file", "document"})


def render_part(part: Any, out: Rendered) -> None:
    """Adds one content part to ``out``. Parts that carry calls or results are read by the
    format's own reader, not here; a part of an unknown type adds its text, else a marker
    with its type, never its repr."""
    part = plain(part)
    if isinstance(part, str):
        out.add(part)
        return
    if not is_map(part):
        if part is not None:
            out.add(json_text(part))
        return
    kind = part.get("type")
    if kind is not None and not isinstance(kind, str):
        return  # a part of no type a format names: nothing to read in it
    if kind in _TEXT_PARTS or (kind is None and isinstance(part.get("text"), str)):
        out.add(text_of(part.get("text")))
    elif kind == "refusal":
        out.add(f"[refusal] {text_of(part.get('refusal'))}")
    elif kind in _IMAGE_PARTS:
        out.add_media("image", _image(part))
    elif kind in _AUDIO_PARTS:
        out.add_media("audio", _audio(part))
    elif kind in _FILE_PARTS:
        out.add_media("file", _file(part))
    elif kind == "thinking":
        out.add(f"[thinking] {text_of(part.get('thinking'))}")
    elif kind == "reasoning":
        reasoning = part.get("reasoning")
        if reasoning is None:
            reasoning = "\n".join(_texts(part.get("summary")))
        if reasoning:
            out.add(f"[reasoning] {text_of(reasoning)}")
    elif kind in ("redacted_thinking", "signature"):
        return
    elif kind == "search_result":
        title = text_of(part.get("title"))
        inner = Rendered()
        render_parts(part.get("content"), inner)
        out.add(f"[search result: {title}] {inner.text()}".rstrip())
    elif isinstance(part.get("text"), str):
        out.add(part["text"])
    elif isinstance(kind, str):
        out.add(f"[{kind}]")


def render_parts(content: Any, out: Rendered) -> None:
    """Adds a content value (a str, None, or a list of parts) to ``out``."""
    content = plain(content)
    if content is None:
        return
    if isinstance(content, str):
        out.add(content)
    elif isinstance(content, (list, tuple)):
        for part in content:
            render_part(part, out)
    else:
        render_part(content, out)


def _texts(value: Any) -> Iterable[str]:
    if isinstance(value, (list, tuple)):
        for item in value:
            item = plain(item)
            if is_map(item) and isinstance(item.get("text"), str):
                yield item["text"]
            elif isinstance(item, str):
                yield item


def text_of(value: Any) -> str:
    """A value as transcript text: a str as it is, anything else as compact JSON (or its
    str when it is not JSON)."""
    if isinstance(value, str):
        return value
    if value is None:
        return ""
    return json_text(value)


def json_text(value: Any) -> str:
    try:
        return json.dumps(plain(value), ensure_ascii=False, default=str)
    except (TypeError, ValueError):
        return str(value)


def content_text(content: Any) -> tuple[str, dict[str, int]]:
    """(text, media counts) of a content value."""
    out = Rendered()
    render_parts(content, out)
    return out.text(), out.media


def tool_calls(message: Mapping[str, Any]) -> list[Any]:
    """The tool calls a message makes (its well-formed entries only)."""
    calls = message.get("tool_calls")
    if not calls or isinstance(calls, (str, bytes)):
        return []
    try:
        return [tc for tc in calls if isinstance(tc, Mapping)]
    except TypeError:
        return []
