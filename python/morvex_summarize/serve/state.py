"""Which earlier summary a request continues.

Agents resend their whole history on every call. Each request's items are hashed in a
chain (the key of the first k items builds on the key of the first k - 1), so a request
that continues an earlier one shares the earlier one's keys for the items they have in
common. When the proxy summarizes, it stores, under the key of the items in front of the
kept tail, what it sent in their place (the system message and the summary), where the
kept tail began, and the summary itself. A later request that starts
with those items finds the entry by its longest stored prefix and is condensed from there,
building on that summary instead of summarizing the same messages again. A request whose
history was edited inside the summarized part shares no stored prefix and starts afresh.

Entries are scoped: the root of every chain holds a keyed hash of the caller's
credentials (`StateStore.scope`) and the model that wrote the summary, so a summary made
for one caller is never found by another, whatever the messages they share.

Entries live in an LRU bounded in entries and bytes; with a SQLite file they survive a
restart (the file holds the same entries as the LRU, and is bounded alike, and the key of
the scope hash, so a caller finds its summaries again; the proxy's other keys are drawn
from it, `StateStore.derived_key`). The file is created readable by its owner only, an
existing one others may read is narrowed to that (with a warning), and a file that holds
tables not the proxy's (another program's database) is refused (ConfigError) untouched.
"""

from __future__ import annotations

import dataclasses
import hashlib
import hmac
import json
import logging
import os
import secrets
import sqlite3
import stat
import threading
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any

from ..errors import ConfigError
from ..formats import BodyContext

from ..settings import STATE_BYTES as DEFAULT_BYTES
from ..settings import STATE_ENTRIES as DEFAULT_ENTRIES

_DIGEST = 16

log = logging.getLogger("morvex_summarize.serve")

TABLES = ("morvex_state", "morvex_secret")
"""The tables of a state file: a file that holds any other is another program's."""


_ENCODER = json.JSONEncoder(sort_keys=True, separators=(",", ":"), default=str)


def _canonical(value: Any) -> bytes:
    return _ENCODER.encode(value).encode()


def prefix_keys(root: Any, items: Sequence[Any]) -> list[str]:
    """keys[k]: the key of the first k items, under ``root`` (what else must match: the
    endpoint, the body's top-level instructions); keys[0] is the root's own."""
    chain = hashlib.blake2b(_canonical(root), digest_size=_DIGEST).digest()
    keys = [chain.hex()]
    for item in items:
        item_digest = hashlib.blake2b(_canonical(item), digest_size=_DIGEST).digest()
        chain = hashlib.blake2b(chain + item_digest, digest_size=_DIGEST).digest()
        keys.append(chain.hex())
    return keys


_BODY_CONTEXT = "morvex_body_context"


@dataclasses.dataclass(frozen=True)
class Entry:
    """What was sent in place of the first items of a request that was condensed.

    start: the index of the first item of the kept tail among the request's items.
    lead: the items sent in front of the kept tail (a system message, the summary's).
    field: ``{"value": v}`` when the body's top-level instructions were sent as ``v``
        (a summary appended to Anthropic's ``system``), else None.
    summary, text, context, summary_tokens, total: the condenser's state (the record, its
        text, what holds it, its tokens, the messages summarized in all).
    covered: the tokens of the request's items in front of ``start`` (and of its
        instructions), so a request that continues it is counted from ``start`` on.
    """

    start: int
    lead: list[Any]
    field: dict[str, Any] | None
    summary: dict[str, Any] | None
    text: str | None
    context: Any
    summary_tokens: int
    total: int
    covered: int = 0

    def to_bytes(self) -> bytes:
        data = dataclasses.asdict(self)
        if isinstance(self.context, BodyContext):
            data["context"] = {_BODY_CONTEXT: self.context.text}
        return json.dumps(data, separators=(",", ":")).encode()

    @classmethod
    def from_bytes(cls, data: bytes) -> Entry:
        """The entry ``to_bytes`` wrote; ValueError saying why for bytes that are none."""
        try:
            fields = json.loads(data)
        except (ValueError, RecursionError):
            raise ValueError("not JSON") from None
        if not isinstance(fields, dict):
            raise ValueError("not an object")
        wrong = [name for name, kinds in _FIELDS.items()
                 if (name in fields or name not in _OPTIONAL)
                 and (not isinstance(fields.get(name), kinds)
                      or isinstance(fields.get(name), bool))] \
            + [k for k in fields if k not in _FIELDS]
        if wrong:
            raise ValueError(f"fields missing or of the wrong type: {', '.join(wrong)}")
        context = fields.get("context")
        if isinstance(context, dict) and list(context) == [_BODY_CONTEXT]:
            fields["context"] = BodyContext(context[_BODY_CONTEXT])
        return cls(**fields)


_FIELDS: dict[str, tuple[type, ...] | type] = {
    "start": int, "lead": list, "field": (dict, type(None)), "summary": (dict, type(None)),
    "text": (str, type(None)), "context": object, "summary_tokens": int, "total": int,
    "covered": int}
"""An entry's fields, each with the types it may hold."""
_OPTIONAL = frozenset({"covered"})
"""The fields an entry written by an earlier release may lack."""


class StateStore:
    """The entries, least recently used first out, within ``max_entries`` and
    ``max_bytes`` (of their serialized form); kept in the SQLite file at ``path`` too when
    one is given. Safe to use from several threads: each call holds the store's lock, and
    none blocks for long."""

    def __init__(self, max_entries: int = DEFAULT_ENTRIES, max_bytes: int = DEFAULT_BYTES,
                 path: str | None = None) -> None:
        if max_entries < 1 or max_bytes < 1:
            raise ValueError("the state needs room for at least one entry")
        self.max_entries = max_entries
        self.max_bytes = max_bytes
        self.bytes = 0
        self._entries: OrderedDict[str, bytes] = OrderedDict()
        self._db: sqlite3.Connection | None = None
        self._lock = threading.Lock()
        self._secret = secrets.token_bytes(32)
        if path is not None:
            self._open(path)

    def __len__(self) -> int:
        return len(self._entries)

    def scope(self, credentials: Sequence[tuple[str, str]]) -> str:
        """A keyed hash of a caller's credentials (header name and value pairs): the same
        caller gets the same scope for as long as the store lives (across restarts with a
        file), and nothing about the credentials can be read from it."""
        text = "\n".join(f"{k.lower()}:{v}" for k, v in sorted(credentials))
        return hashlib.blake2b(text.encode("utf-8", "surrogateescape"), key=self._secret,
                               digest_size=_DIGEST).hexdigest()

    def derived_key(self, purpose: str) -> bytes:
        """A key of 32 bytes for ``purpose``, drawn from the store's secret: the same for as
        long as the store lives (across restarts with a file), and telling nothing of the
        secret or of another purpose's key."""
        return hmac.new(self._secret, b"morvex key: " + purpose.encode(),
                        hashlib.sha256).digest()

    def _open(self, path: str) -> None:
        on_disk = not path.startswith("file:") and path != ":memory:"
        if on_disk:
            # Created for its owner alone: the summaries hold what the callers sent.
            os.close(os.open(path, os.O_RDWR | os.O_CREAT, 0o600))
        db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        try:
            # Another program's database is not taken over: nothing is written to it.
            others = [name for (name,) in db.execute(
                "SELECT name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'")
                if name not in TABLES]
            if others:
                raise ConfigError(f"the file holds what is not the proxy's "
                                  f"({', '.join(sorted(others)[:5])}): another program's "
                                  "database? Name a file of the proxy's own")
            if on_disk:
                _narrow(path)
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=NORMAL")
            db.execute("CREATE TABLE IF NOT EXISTS morvex_state (key TEXT PRIMARY KEY, "
                       "data BLOB NOT NULL, used INTEGER NOT NULL)")
            db.execute("CREATE TABLE IF NOT EXISTS morvex_secret (secret BLOB NOT NULL)")
            db.execute("INSERT INTO morvex_secret SELECT ? WHERE NOT EXISTS "
                       "(SELECT 1 FROM morvex_secret)", (self._secret,))
            secret = db.execute("SELECT secret FROM morvex_secret").fetchone()[0]
            if not isinstance(secret, bytes) or len(secret) < _DIGEST:
                log.warning("%s: its secret key could not be read: a new one is drawn (the "
                            "summaries stored are found no more)", path)
                db.execute("UPDATE morvex_secret SET secret = ?", (self._secret,))
                secret = self._secret
            self._secret = secret
            rows = db.execute("SELECT key, data FROM morvex_state ORDER BY used").fetchall()
        except BaseException:
            db.close()
            raise
        self._db = db
        odd = 0
        for key, data in rows:
            if isinstance(data, str):
                data = data.encode("utf-8", "surrogateescape")  # stored as text
            if not isinstance(key, str) or not isinstance(data, bytes):
                odd += 1
                db.execute("DELETE FROM morvex_state WHERE key IS ?", (key,))
                continue
            self._entries[key] = data
            self.bytes += len(data)
        if odd:
            log.warning("%s: %d stored rows could not be read: dropped", path, odd)
        self._evict()

    def find(self, keys: Sequence[str]) -> tuple[int, Entry] | None:
        """(k, entry) for the longest prefix, among ``keys`` (as `prefix_keys` gives them),
        that has an entry; None when none has. An entry that cannot be read is dropped,
        with one warning, and a shorter prefix is looked for."""
        entries = self._entries
        with self._lock:
            for k in range(len(keys) - 1, 0, -1):
                data = entries.get(keys[k])
                if data is None:
                    continue
                try:
                    entry = Entry.from_bytes(data)
                except ValueError as exc:
                    # Dropped, once: the conversation is condensed afresh and filed anew.
                    log.warning("a stored summary could not be read (%s): dropped", exc)
                    self._drop(keys[k])
                    continue
                entries.move_to_end(keys[k])
                return k, entry
        return None

    def _drop(self, key: str) -> None:
        data = self._entries.pop(key, None)
        if data is not None:
            self.bytes -= len(data)
        if self._db is not None:
            self._db.execute("DELETE FROM morvex_state WHERE key = ?", (key,))

    def put(self, key: str, entry: Entry) -> None:
        data = entry.to_bytes()
        if len(data) > self.max_bytes:
            return  # larger than the whole state: kept nowhere
        with self._lock:
            self._put(key, data)

    def _put(self, key: str, data: bytes) -> None:
        old = self._entries.pop(key, None)
        if old is not None:
            self.bytes -= len(old)
        self._entries[key] = data
        self.bytes += len(data)
        if self._db is not None:
            self._db.execute("INSERT OR REPLACE INTO morvex_state VALUES "
                             "(?, ?, (SELECT COALESCE(MAX(used), 0) + 1 FROM morvex_state))",
                             (key, data))
        self._evict()

    def _evict(self) -> None:
        gone = []
        while len(self._entries) > self.max_entries or self.bytes > self.max_bytes:
            key, data = self._entries.popitem(last=False)
            self.bytes -= len(data)
            gone.append((key,))
        if gone and self._db is not None:
            self._db.executemany("DELETE FROM morvex_state WHERE key = ?", gone)

    def close(self) -> None:
        """Writes the order of use to the file (so a restart evicts the same entries
        first) and closes it."""
        with self._lock:
            db, self._db = self._db, None
        if db is None:
            return
        with db:
            db.execute("BEGIN")
            db.executemany("UPDATE morvex_state SET used = ? WHERE key = ?",
                           [(n, key) for n, key in enumerate(self._entries)])
        db.close()


def _narrow(path: str) -> None:
    """Makes a state file that others may read or write its owner's alone, and says so."""
    mode = stat.S_IMODE(os.stat(path).st_mode)
    if mode & 0o077:
        os.chmod(path, mode & 0o700 | 0o600)
        log.warning("%s: others could read it (mode %04o): now 0600, its owner's alone",
                    path, mode)
