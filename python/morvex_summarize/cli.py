"""``morvex-summarize``: summarize a conversation file, or many with ``batch``.

Each subcommand is one ``register`` call with a function that adds its options and one that
runs it. A command named first on the line picks that subcommand; anything else is the
default ``summarize`` command.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import json
import logging
import os
import sys
from collections.abc import Callable, Sequence
from contextlib import nullcontext
from dataclasses import dataclass
from typing import Any, cast

from . import __version__
from .formats import AUTO, FORMATS, FormatError, to_messages
from .errors import (EXIT_INTERRUPTED, EXIT_OK, BadDocument, InputMissing, InvalidJSON,
                     OutputError, ToolError, classify_client_failure)

DEFAULT_COMMAND = "summarize"

# Modules that add subcommands with ``register`` when imported, in the order of ``--help``.
COMMAND_MODULES = [
    "morvex_summarize.batch",
    "morvex_summarize.condense_command",
]


@dataclass(frozen=True)
class Command:
    name: str
    help: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


COMMANDS: dict[str, Command] = {}


def register(name: str, help: str, add_arguments: Callable[[argparse.ArgumentParser], None],
             run: Callable[[argparse.Namespace], int]) -> None:
    """Adds the subcommand ``morvex-summarize NAME``: ``add_arguments`` fills its parser,
    ``run`` gets the parsed arguments and returns the exit status (or raises ToolError)."""
    if name in COMMANDS:
        raise ValueError(f"command {name!r} is already registered")
    COMMANDS[name] = Command(name, help, add_arguments, run)


def load_commands() -> None:
    for module in COMMAND_MODULES:
        importlib.import_module(module)


# ---- shared helpers -------------------------------------------------------------------

def read_text(path: str) -> str:
    """The text of a file, or of standard input for ``-``."""
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        raise InputMissing(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputMissing(f"{path}: is a directory") from None
    except UnicodeDecodeError as exc:
        raise InvalidJSON(f"{path}: not UTF-8 text ({exc.reason})") from None
    except OSError as exc:
        raise InputMissing(f"{path}: {exc.strerror}") from None


def read_document(path: str) -> Any:
    """The JSON document in a file (``-`` for stdin)."""
    text = read_text(path)
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise InvalidJSON(f"{where_of(path)}: invalid JSON at line {exc.lineno} column "
                          f"{exc.colno}: {exc.msg}") from None


def where_of(path: str) -> str:
    return "<stdin>" if path == "-" else path


def read_messages(doc: Any, where: str, input_format: str = AUTO) -> list[dict[str, Any]]:
    """A conversation in any format as the summarizer's messages, or BadDocument saying
    what was found."""
    try:
        return cast("list[dict[str, Any]]", to_messages(doc, input_format))
    except FormatError as exc:
        raise BadDocument(f"{where}: {exc}") from None


def load_conversation(path: str, input_format: str = AUTO) -> list[dict[str, Any]]:
    """Loads a conversation file (``-`` for stdin) in any format, as the summarizer's
    messages."""
    return read_messages(read_document(path), where_of(path), input_format)


def add_format_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--input-format", choices=(AUTO, *FORMATS), default=AUTO,
                        help="the conversation's format: OpenAI chat messages, Responses API "
                             "items, Anthropic messages or LangChain messages, as a list or "
                             "a request body (default: auto, detected)")


def add_client_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--llm", default=None, metavar="extractive|openai|gguf:PATH",
                        help="the model to use (default: openai when a model is configured, "
                             "else the offline extractive client)")
    parser.add_argument("--model", default=None,
                        help="model name for an OpenAI-compatible server "
                             "(default: $MORVEX_SUMMARIZE_MODEL or $OPENAI_MODEL)")
    parser.add_argument("--base-url", default=None,
                        help="OpenAI-compatible server URL (default: $OPENAI_BASE_URL)")
    parser.add_argument("--timeout", type=float, default=120.0,
                        help="seconds to wait for one model reply (default: 120)")
    parser.add_argument("--retries", type=int, default=3,
                        help="retries on 429, 5xx and lost connections (default: 3)")
    parser.add_argument("--json-mode", action="store_true",
                        help="ask the server for a JSON-object reply")


def build_client(args: argparse.Namespace) -> Any:
    """The client that --llm/--model/--base-url ask for; announces the offline default."""
    from .clients import configured_model

    choice = args.llm
    if choice is None:
        choice = "openai" if (args.model or configured_model()) else "extractive"
        if choice == "extractive":
            print("morvex-summarize: no model configured; using the offline extractive "
                  "summarizer (use --llm/--model to pick a model)", file=sys.stderr)
    if choice == "extractive":
        from .clients.extractive import ExtractiveClient
        return ExtractiveClient()
    if choice == "openai":
        from .clients.openai_client import OpenAIClient
        return OpenAIClient(args.model, base_url=args.base_url, timeout=args.timeout,
                            max_retries=args.retries, json_mode=args.json_mode)
    if choice.startswith("gguf:") and len(choice) > 5:
        from .clients.gguf import GGUFClient
        return GGUFClient(choice[5:])
    raise ToolError(f"unknown --llm {choice!r}: use extractive, openai or gguf:PATH", 2)


class RecordingClient:
    """Passes calls to a shared client and keeps the exception of a failed one, so the tool
    can tell a model failure from a summary (the module turns failures into a fallback)."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self.failure: BaseException | None = None

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any:
        try:
            return await self.client.complete(messages=messages, max_tokens=max_tokens)
        except Exception as exc:
            self.failure = exc
            raise


async def summarize_one(client: Any, messages: list[dict[str, Any]],
                        previous: str | None = None) -> tuple[dict[str, Any], str,
                                                              BaseException | None]:
    """(record, context text, client failure or None) for one conversation."""
    from morvex.core.summarizer import ConversationSummarizer

    recorder = RecordingClient(client)
    summarizer = ConversationSummarizer(recorder)
    record = await summarizer.summarize_messages(messages, previous or None)
    return record, summarizer.format_summary_for_context(record), recorder.failure


async def close_client(client: Any) -> None:
    """Closes the client's connections, if it keeps any, inside the loop that used them."""
    aclose = getattr(client, "aclose", None)
    if aclose is not None:
        await aclose()


class _ReportedByTool(logging.Filter):
    """Drops the summarizer's own "Summarization failed" log line: the tool reports the
    failure itself, as one line with its exit status."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not (record.name == "morvex.summarizer"
                    and record.getMessage().startswith("Summarization failed: "))


def setup_logging() -> None:
    root = logging.getLogger()
    if any(isinstance(f, _ReportedByTool) for h in root.handlers for f in h.filters):
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("morvex-summarize: %(levelname)s: %(message)s"))
    handler.addFilter(_ReportedByTool())
    root.addHandler(handler)
    root.setLevel(logging.WARNING)


def spinner(text: str) -> Any:
    """A spinner on stderr when it is a terminal; nothing otherwise."""
    from rich.console import Console

    console = Console(stderr=True)
    return console.status(text) if console.is_terminal else nullcontext()


def write_output(text: str, path: str | None) -> None:
    if path is None or path == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as exc:
        raise OutputError(f"{path}: cannot write: {exc.strerror}") from None


# ---- summarize ------------------------------------------------------------------------

def _add_summarize(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("conversation", metavar="CONVERSATION",
                        help="JSON file with a conversation (a list of messages or a request "
                             "body), or - for stdin")
    parser.add_argument("--previous", metavar="FILE", default=None,
                        help="text file with an earlier summary to build on")
    add_format_argument(parser)
    add_client_arguments(parser)
    parser.add_argument("--format", choices=("json", "markdown", "both"), default="both")
    parser.add_argument("--output", metavar="FILE", default=None,
                        help="write here instead of stdout")


def _run_summarize(args: argparse.Namespace) -> int:
    messages = load_conversation(args.conversation, args.input_format)
    previous = read_text(args.previous) if args.previous else None
    client = build_client(args)

    async def run() -> tuple[dict[str, Any], str, BaseException | None]:
        try:
            return await summarize_one(client, messages, previous)
        finally:
            await close_client(client)

    with spinner("Summarizing..."):
        record, context, failure = asyncio.run(run())
    if failure is not None:
        found = classify_client_failure(failure)
        raise ToolError(found.reason, found.exit_code)
    parts = []
    if args.format in ("json", "both"):
        parts.append(json.dumps(record, indent=2, ensure_ascii=False) + "\n")
    if args.format in ("markdown", "both"):
        parts.append(context + "\n")
    write_output("\n".join(parts), args.output)
    return EXIT_OK


register(DEFAULT_COMMAND, "summarize one conversation (the default command)",
         _add_summarize, _run_summarize)


# ---- entry point ----------------------------------------------------------------------

def build_parser(command: Command) -> argparse.ArgumentParser:
    prog = "morvex-summarize" if command.name == DEFAULT_COMMAND \
        else f"morvex-summarize {command.name}"
    others = ", ".join(n for n in COMMANDS if n != DEFAULT_COMMAND)
    parser = argparse.ArgumentParser(
        prog=prog, description=command.help,
        epilog=f"other commands: {others} (morvex-summarize COMMAND --help)"
        if command.name == DEFAULT_COMMAND else None)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    command.add_arguments(parser)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    load_commands()
    argv = list(sys.argv[1:] if argv is None else argv)
    name = argv[0] if argv and argv[0] in COMMANDS else DEFAULT_COMMAND
    if argv and argv[0] == name:
        argv = argv[1:]
    command = COMMANDS[name]
    args = build_parser(command).parse_args(argv)
    setup_logging()
    try:
        return command.run(args)
    except ToolError as exc:
        print(f"morvex-summarize: error: {exc}", file=sys.stderr)
        return exc.exit_code
    except KeyboardInterrupt:
        print("morvex-summarize: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
