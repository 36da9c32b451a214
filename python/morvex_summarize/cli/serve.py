"""``morvex-summarize serve``: run the condensing proxy in front of a model API."""

from __future__ import annotations

import argparse
import asyncio
import ipaddress
import logging
import os
import signal
import socket
import sys
from typing import Any

from ..clients.registry import kind_of
from ..errors import ConfigError, InputMissing, needs
from ..settings import (ACCESS_HEADER, CLIENT_BODY_TIMEOUT, GRACE, MAX_BODY, MAX_HELD, PORT,
                        PROXY, STATE_BYTES, STATE_ENTRIES, UPSTREAM_TIMEOUT)
from .options import (PROG, add_condensing_arguments, build_client, check_condensing, seconds,
                      strategy_of, whole_number)
from .status import EXIT_OK, UsageError

MIN_KEY = 16
"""The fewest characters of a compaction key (as the proxy's `compaction.MIN_KEY`)."""

HELP = ("run a proxy in front of an OpenAI-compatible or Anthropic API that condenses "
        "each request's conversation within a token budget")

COMPACTION_KEY_VARIABLE = "MORVEX_SUMMARIZE_COMPACTION_KEY"
ACCESS_TOKEN_VARIABLE = "MORVEX_SUMMARIZE_ACCESS_TOKEN"
NO_TOKEN_FLAG = "--insecure-no-access-token"

BACKLOG = 2048
SWITCH_INTERVAL = 0.0001


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--upstream", required=True, metavar="URL",
                        help="the API every request goes to: its base URL as its SDK takes "
                             "it, such as https://api.openai.com/v1 (a request never chooses "
                             "another)")
    parser.add_argument("--upstream-format", choices=("openai", "anthropic"),
                        default="openai",
                        help="openai: condense /v1/chat/completions and /v1/responses; "
                             "anthropic: condense /v1/messages (default: openai)")
    add_condensing_arguments(parser, PROXY)
    parser.add_argument("--carry-out-edits", action="store_true",
                        help="for an upstream that speaks the Anthropic Messages API but is "
                             "not Anthropic's: carry out a request's context_management "
                             "edits (clear_tool_uses_20250919, clear_thinking_20251015) here, "
                             "take the field out of the body sent on, and report what they "
                             "cleared in the answer's context_management.applied_edits and "
                             "the X-Morvex-Applied-Edits header (default: the field goes on "
                             "untouched)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default: 127.0.0.1, this machine only)")
    parser.add_argument("--access-token-file", default=None, metavar="PATH",
                        help="a file holding the token (at least 16 characters) every "
                             f"caller must present in the {ACCESS_HEADER} header, else 401 "
                             "in the API's shape; the header never goes upstream (default: "
                             f"${ACCESS_TOKEN_VARIABLE}, else no token). Needed with a "
                             "--host beyond this machine")
    parser.add_argument(NO_TOKEN_FLAG, action="store_true",
                        help="listen beyond this machine without an access token: anyone "
                             "who reaches the port uses the proxy; summaries are then never "
                             "written with the operator's keys (--summarizer-llm openai or "
                             "langchain is refused)")
    parser.add_argument("--port", type=whole_number(0), default=PORT,
                        help=f"port to listen on, 0 for any free one (default: {PORT})")
    parser.add_argument("--summarizer-llm", default="upstream",
                        metavar="upstream|extractive|openai|gguf:PATH|langchain:PROVIDER:MODEL",
                        help="who writes the summaries: upstream, the upstream's own model "
                             "with the request's key (default); extractive, offline; or a "
                             "client as --llm takes it for the other commands")
    parser.add_argument("--summarizer-model", default=None, metavar="NAME",
                        help="the model that writes the summaries (default: the request's "
                             "own model)")
    parser.add_argument("--summarizer-base-url", default=None, metavar="URL",
                        help="server of --summarizer-llm openai (default: $OPENAI_BASE_URL)")
    parser.add_argument("--timeout", type=seconds, default=UPSTREAM_TIMEOUT, metavar="SECONDS",
                        help="seconds each upstream request may take to connect, to send, "
                             f"and between two pieces of its answer (default: "
                             f"{UPSTREAM_TIMEOUT:g})")
    parser.add_argument("--max-body", type=whole_number(1), default=MAX_BODY, metavar="BYTES",
                        help="larger request bodies are refused with 413 (default: "
                             f"{mebibytes(MAX_BODY)})")
    parser.add_argument("--max-held", type=whole_number(1), default=MAX_HELD, metavar="BYTES",
                        help="bytes of request bodies held at once; past them a request "
                             f"gets 503 with Retry-After (default: {mebibytes(MAX_HELD)})")
    parser.add_argument("--client-timeout", type=seconds, default=CLIENT_BODY_TIMEOUT,
                        metavar="SECONDS",
                        help="seconds a client may pause while sending its body, else 408 "
                             f"(default: {CLIENT_BODY_TIMEOUT:g})")
    parser.add_argument("--env-proxy", action="store_true",
                        help="reach the upstream through the proxy that HTTPS_PROXY, "
                             "HTTP_PROXY, ALL_PROXY and NO_PROXY name (default: directly)")
    parser.add_argument("--state-entries", type=whole_number(1), default=STATE_ENTRIES,
                        metavar="N",
                        help="summaries kept for reuse, least recently used out "
                             f"(default: {STATE_ENTRIES})")
    parser.add_argument("--state-bytes", type=whole_number(1), default=STATE_BYTES,
                        metavar="BYTES",
                        help=f"bytes those summaries may take (default: {mebibytes(STATE_BYTES)})")
    parser.add_argument("--state-file", default=None, metavar="PATH",
                        help="SQLite file that keeps the summaries across restarts: made "
                             "its owner's alone (one others may read is narrowed, with a "
                             "warning); another program's database, which holds tables not "
                             "the proxy's, is refused (status 10); a summary stored in it "
                             "that cannot be read is dropped, with a warning")
    parser.add_argument("--carry-out-compaction", action="store_true",
                        help="answer the Responses API's compaction in the proxy, for an "
                             "upstream that does not compact (any but OpenAI itself): POST "
                             "/v1/responses/compact returns the user's messages and one "
                             "compaction item holding the proxy's summary, sealed; a later "
                             "request carrying the item has it expanded before it goes "
                             "upstream; context_management's compaction entry on "
                             "/v1/responses compacts in line when the request is over its "
                             "compact_threshold (default --budget). Default: off, both go "
                             "to the upstream as they came")
    parser.add_argument("--compaction-key", default=None, metavar="KEY",
                        help=f"the secret that seals the compaction items, {MIN_KEY} "
                             f"characters or more; an item opens only under the key that "
                             f"sealed it, for the caller it was made for (default: "
                             f"${COMPACTION_KEY_VARIABLE}, else a random key kept in "
                             f"--state-file, else a new one at each start)")
    parser.add_argument("--grace", type=seconds, default=GRACE, metavar="SECONDS",
                        help="on SIGTERM or Ctrl-C, seconds the requests in flight get to "
                             f"finish (default: {GRACE:g})")


def mebibytes(size: int) -> str:
    return f"{size // (1024 * 1024)} MiB"


def summarizer_client(args: argparse.Namespace) -> Any:
    """The fixed summarizer client --summarizer-llm asks for, or None for the upstream's
    own model."""
    if args.summarizer_llm == "upstream":
        return None
    return build_client(argparse.Namespace(
        llm=args.summarizer_llm, model=args.summarizer_model,
        base_url=args.summarizer_base_url, timeout=args.timeout, deadline=None, retries=2,
        json_mode=False))


def listen(host: str, port: int) -> socket.socket:
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                   flags=socket.AI_PASSIVE)
    except socket.gaierror as exc:
        raise UsageError(f"--host {host}: {exc.strerror}") from None
    family, kind, proto, _, address = infos[0]
    sock = socket.socket(family, kind, proto)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(address)
    except OSError as exc:
        sock.close()
        raise ConfigError(f"cannot listen on {host}:{port}: {exc.strerror}") from None
    # Listening from here on: a client that connects before the server runs waits in the
    # backlog instead of being refused.
    sock.listen(BACKLOG)
    return sock


def compaction_key(args: argparse.Namespace) -> bytes | None:
    """The key --compaction-key (or its variable) gives, or None for the state's own."""
    text: str | None = args.compaction_key
    if text is None:
        text = os.environ.get(COMPACTION_KEY_VARIABLE) or None
    if text is None:
        return None
    key = text.encode("utf-8", "surrogateescape")
    if len(key) < MIN_KEY:
        raise UsageError(f"--compaction-key must have at least {MIN_KEY} characters")
    return key


def access_token(args: argparse.Namespace) -> bytes | None:
    """The token --access-token-file (or its variable) gives, or None."""
    path: str | None = args.access_token_file
    if path is not None:
        try:
            with open(path, "rb") as f:
                token = f.read().strip()
        except OSError as exc:
            raise InputMissing(f"--access-token-file {path}: {exc.strerror}") from None
    else:
        token = os.environ.get(ACCESS_TOKEN_VARIABLE, "").strip().encode(
            "utf-8", "surrogateescape")
        if not token:
            return None
    if len(token) < MIN_KEY:
        raise UsageError(f"the access token must have at least {MIN_KEY} characters")
    return token


def beyond_loopback(sock: socket.socket) -> bool:
    """The socket listens on an address other machines may reach."""
    host = sock.getsockname()[0]
    try:
        return not ipaddress.ip_address(host.split("%")[0]).is_loopback
    except ValueError:
        return True


def check_exposure(args: argparse.Namespace, sock: socket.socket, token: bytes | None) -> None:
    """A proxy listening beyond this machine asks its callers for a token, unless the
    operator says otherwise by name; and then its summaries never spend the operator's
    keys."""
    if token is not None or not beyond_loopback(sock):
        return
    if not args.insecure_no_access_token:
        sock.close()
        raise UsageError(f"--host {args.host} listens beyond this machine: give "
                         f"--access-token-file (or ${ACCESS_TOKEN_VARIABLE}) for callers to "
                         f"present, or {NO_TOKEN_FLAG}")
    if args.summarizer_llm != "upstream" and kind_of(args.summarizer_llm).variables(
            args.summarizer_llm):
        sock.close()
        raise UsageError(f"--summarizer-llm {args.summarizer_llm} writes summaries with the "
                         f"operator's keys: with {NO_TOKEN_FLAG} anyone could spend them; "
                         "give an access token, or --summarizer-llm upstream or extractive")
    print(f"{PROG}: warning: listening on {args.host} without an access token: anyone who "
          "reaches the port uses the proxy", file=sys.stderr, flush=True)


def run(args: argparse.Namespace) -> int:
    for module in ("uvicorn", "starlette", "httpx"):
        needs(module, "serve", extra="serve")
    if not args.upstream.startswith(("http://", "https://")):
        raise UsageError(f"--upstream must be an http:// or https:// URL, got "
                         f"{args.upstream!r}")
    if args.carry_out_edits and args.upstream_format != "anthropic":
        raise UsageError("--carry-out-edits is for an Anthropic upstream's Messages "
                         "requests: give --upstream-format anthropic")
    check_condensing(args)
    if args.carry_out_compaction and args.upstream_format != "openai":
        raise UsageError("--carry-out-compaction is for --upstream-format openai: the "
                         "Responses API's compaction")
    key = compaction_key(args) if args.carry_out_compaction else None
    token = access_token(args)
    import uvicorn

    from ..serve.app import ServeConfig, create_app
    from ..serve.condensing import Settings
    from ..serve.state import StateStore

    sock = listen(args.host, args.port)
    check_exposure(args, sock, token)
    try:
        store = StateStore(args.state_entries, args.state_bytes, args.state_file)
    except Exception as exc:  # sqlite3.Error, OSError
        sock.close()
        raise ConfigError(f"--state-file {args.state_file}: {exc}") from None
    config = ServeConfig(
        upstream=args.upstream, upstream_format=args.upstream_format,
        settings=Settings(args.budget, args.keep_last, args.target, args.context_role,
                          args.keep_first, strategy_of(args), args.carry_out_edits),
        timeout=args.timeout, max_body=args.max_body, summarizer=summarizer_client(args),
        summarizer_model=args.summarizer_model, max_held=args.max_held,
        client_timeout=args.client_timeout, env_proxy=args.env_proxy,
        carry_out_compaction=args.carry_out_compaction, compaction_key=key,
        access_token=token)
    # A worker thread condensing a large body hands the interpreter back to the event loop
    # this often (seconds), so the other clients' streams wait less for it.
    sys.setswitchinterval(SWITCH_INTERVAL)
    host, port = sock.getsockname()[:2]
    shown = f"[{host}]" if ":" in host else host
    logging.getLogger("morvex_summarize.serve").setLevel(logging.INFO)
    print(f"{PROG}: serving http://{shown}:{port}/v1 -> {args.upstream} "
          f"(budget {args.budget} tokens)", file=sys.stderr, flush=True)
    server = uvicorn.Server(uvicorn.Config(
        create_app(config, store), log_level="warning", access_log=False,
        timeout_graceful_shutdown=args.grace, lifespan="on", backlog=BACKLOG))
    # uvicorn raises the signal that stopped it again once it is done; the tool has
    # finished its requests by then and ends normally.
    previous = signal.signal(signal.SIGTERM, lambda *_: None)
    try:
        asyncio.run(server.serve(sockets=[sock]))
    finally:
        signal.signal(signal.SIGTERM, previous)
        sock.close()
    print(f"{PROG}: stopped", file=sys.stderr)
    return EXIT_OK
