"""The upstream: requests relayed to it with httpx, and the summarizer that asks its model.

The upstream's base URL is fixed when the proxy starts; a request only ever chooses the
path under it, so the proxy relays to that one server and nowhere else.
"""

from __future__ import annotations

import http.cookiejar
import logging
import os
import ssl
import urllib.request
from collections.abc import Iterable
from typing import Any
from urllib.parse import urlsplit

import httpx

from ..clients import Reply
from ..settings import ACCESS_HEADER
from ..settings import UPSTREAM_CONNECTIONS as DEFAULT_CONNECTIONS
from ..errors import ModelError
from .endpoints import Endpoint

log = logging.getLogger("morvex_summarize.serve")

HOP_BY_HOP = frozenset({
    b"connection", b"keep-alive", b"proxy-authenticate", b"proxy-authorization",
    b"proxy-connection", b"te", b"trailer", b"transfer-encoding", b"upgrade",
})
"""Headers about one connection, never passed on."""

_NOT_FORWARDED = HOP_BY_HOP | {b"host", b"content-length", ACCESS_HEADER.encode()}
_NOT_RELAYED = HOP_BY_HOP | {b"content-length", b"date", b"server"}
"""The server that runs the proxy writes its own ``date`` and ``server``: the upstream's
would come twice."""

_HTTPX_DEFAULTS = ("accept", "accept-encoding", "user-agent")
"""Headers httpx adds to every request unless given: sent only when the client sent them."""

CREDENTIAL_HEADERS = frozenset({
    "authorization", "x-api-key", "api-key", "openai-organization", "openai-project",
})
"""The headers that say who a client is to the upstream: its key and its account."""

SUMMARIZER_HEADERS = CREDENTIAL_HEADERS | {"anthropic-version"}
"""The client's headers a summary request to the upstream model carries: its key, and
what the API needs alongside it."""



def _connection_named(raw: list[tuple[bytes, bytes]]) -> set[bytes]:
    """The headers a ``Connection`` header names: they are about this hop only."""
    return {name.strip().lower() for k, v in raw if k.lower() == b"connection"
            for name in v.split(b",") if name.strip()}


def forwarded(raw: Iterable[tuple[bytes, bytes]]) -> list[tuple[bytes, bytes]]:
    """The client's request headers as they go to the upstream."""
    raw = list(raw)
    dropped = _NOT_FORWARDED | _connection_named(raw)
    return [(k, v) for k, v in raw if k.lower() not in dropped]


def relayed(raw: Iterable[tuple[bytes, bytes]]) -> list[tuple[bytes, bytes]]:
    """The upstream's response headers as they go to the client."""
    raw = list(raw)
    dropped = _NOT_RELAYED | _connection_named(raw)
    return [(k.lower(), v) for k, v in raw if k.lower() not in dropped]


class _NoCookies(http.cookiejar.CookiePolicy):
    """Keeps no cookie and sends none: one client's cookies never go with another's
    request. A client's own ``Cookie`` header goes on with its request like any other."""

    netscape = True
    rfc2965 = False
    hide_cookie2 = True

    def set_ok(self, cookie: Any, request: Any) -> bool:
        return False

    def return_ok(self, cookie: Any, request: Any) -> bool:
        return False

    def domain_return_ok(self, domain: str, request: Any) -> bool:
        return False

    def path_return_ok(self, path: str, request: Any) -> bool:
        return False


def _verify() -> ssl.SSLContext | bool:
    """Certificates as the environment names them (``SSL_CERT_FILE``, ``SSL_CERT_DIR``),
    which choose whom to trust, not where requests go."""
    cafile, capath = os.environ.get("SSL_CERT_FILE"), os.environ.get("SSL_CERT_DIR")
    if not (cafile or capath):
        return True
    return ssl.create_default_context(cafile=cafile or None, capath=capath or None)


def environment_proxy(base_url: str) -> str | None:
    """The proxy the environment (``HTTPS_PROXY``, ``HTTP_PROXY``, ``ALL_PROXY``,
    ``NO_PROXY``) names for the upstream, or None."""
    parts = urlsplit(base_url)
    if parts.hostname and urllib.request.proxy_bypass(parts.hostname):
        return None
    found = urllib.request.getproxies()
    return found.get(parts.scheme) or found.get("all")


class Upstream:
    """The one server requests are relayed to: ``base_url`` (the base URL its SDK takes,
    such as ``https://api.openai.com/v1``), with ``timeout`` seconds for each request to
    connect, to send, and between any two pieces of the answer.

    Nothing of one request stays with the client for the next: no cookie jar, and none of
    the environment's proxies, ``.netrc`` keys or headers unless ``env_proxy`` asks for the
    environment's proxy."""

    def __init__(self, base_url: str, timeout: float,
                 max_connections: int = DEFAULT_CONNECTIONS, env_proxy: bool = False) -> None:
        self.base_url = base_url.rstrip("/")
        self.timeout = timeout
        self.http = httpx.AsyncClient(
            timeout=httpx.Timeout(timeout),
            limits=httpx.Limits(max_connections=max_connections,
                                max_keepalive_connections=min(max_connections, 100)),
            follow_redirects=False, trust_env=False, verify=_verify(),
            cookies=http.cookiejar.CookieJar(policy=_NoCookies()),
            proxy=environment_proxy(base_url) if env_proxy else None)

    def url(self, path: str, query: str = "") -> str:
        """The upstream URL of a path under the base (``/chat/completions``)."""
        return self.base_url + path + (f"?{query}" if query else "")

    async def open(self, method: str, path: str, query: str,
                   headers: list[tuple[bytes, bytes]], content: bytes) -> httpx.Response:
        """Sends a request and returns the response as soon as its head arrives; its body
        is read as it comes (``aiter_raw``), and the caller closes it."""
        request = self.http.build_request(method, self.url(path, query), headers=headers,
                                          content=content)
        sent = {k.lower() for k, _ in headers}
        for name in _HTTPX_DEFAULTS:
            if name.encode() not in sent:
                del request.headers[name]
        return await self.http.send(request, stream=True)

    async def aclose(self) -> None:
        await self.http.aclose()


class UpstreamSummarizer:
    """A summarizer client (``complete``) that asks the upstream's model, with the key of
    the request being condensed, in the API of the request's endpoint. Any failure raises
    ModelError, which says what went wrong without the answer's body (it may quote the
    key)."""

    def __init__(self, upstream: Upstream, endpoint: Endpoint, model: Any,
                 headers: Iterable[tuple[str, str]]) -> None:
        self.upstream = upstream
        self.endpoint = endpoint
        self.model = model
        self.headers = {k: v for k, v in headers if k.lower() in SUMMARIZER_HEADERS}

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Reply:
        body = self.endpoint.summary_request(self.model, messages, max_tokens)
        answer = await self._post(body)
        again = self.endpoint.retried(body, answer.status_code, answer.content)
        if again is not None:
            answer = await self._post(again)
        if answer.status_code != 200:
            raise ModelError(f"the upstream answered {answer.status_code} to the summary "
                             "request")
        try:
            text = self.endpoint.reply_text(answer.json())
        except (ValueError, LookupError, TypeError, AttributeError):
            raise ModelError("the upstream's answer to the summary request has no "
                             "text") from None
        if not text.strip():
            raise ModelError("the upstream sent an empty summary")
        return Reply(text)

    async def _post(self, body: dict[str, Any]) -> httpx.Response:
        try:
            return await self.upstream.http.post(self.upstream.url(self.endpoint.path),
                                                 json=body, headers=self.headers)
        except httpx.TimeoutException:
            raise ModelError(f"the upstream did not answer the summary request within "
                             f"{self.upstream.timeout:g} seconds") from None
        except httpx.HTTPError as exc:
            raise ModelError(f"the summary request failed: {type(exc).__name__}") from None
