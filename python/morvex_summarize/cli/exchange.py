"""What the tool's commands share: reading conversations, the model options and clients,
one summary with what became of it, and writing output that fails in one clear line."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import importlib
import json
import logging
import math
import os
import stat
import sys
import tempfile
from collections.abc import Callable, Coroutine, Iterator
from dataclasses import dataclass
from typing import Any, cast

from ..clients import DEFAULT_RETRIES, DEFAULT_TIMEOUT
from ..errors import (EXIT_USAGE, BadDocument, ConfigError, InputMissing, InvalidJSON,
                     OutputError, Refused, ToolError, classify_client_failure)
from ..condense.carry import skim_outputs
from ..formats import AUTO, FORMATS, FormatError, NoMessages, WrongFormat, to_messages
from ..native import is_failure_log, module_refusal, raised_by_module, watch_unparsed
from ..records import LLMClient, SummaryRecord
from ..windows import DEFAULT_CONTEXT_TOKENS, MIN_CONTEXT_TOKENS, ProgressCallback

PROG = "morvex-summarize"
DISTRIBUTION = "morvex-core-summarizer"


# ---- input ------------------------------------------------------------------------------

def where_of(path: str) -> str:
    return "<stdin>" if path == "-" else path


def read_text(path: str) -> str:
    """The UTF-8 text of a file, or of standard input for ``-``: both refuse other bytes."""
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except FileNotFoundError:
        raise InputMissing(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputMissing(f"{path}: is a directory") from None
    except OSError as exc:
        raise InputMissing(f"{where_of(path)}: {exc.strerror}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise InvalidJSON(f"{where_of(path)}: not UTF-8 text ({exc.reason} at byte "
                          f"{exc.start})") from None


def parse_json(text: str, object_hook: Callable[[dict[str, Any]], Any] | None = None) -> Any:
    """A JSON document, or the reason it is not one (as ValueError): also for what
    ``json.loads`` refuses with other exceptions (nesting too deep, huge integers)."""
    try:
        return json.loads(text, object_hook=object_hook)
    except json.JSONDecodeError as exc:
        raise ValueError(f"invalid JSON at line {exc.lineno} column {exc.colno}: "
                         f"{exc.msg}") from None
    except RecursionError:
        raise ValueError("invalid JSON: nested too deeply") from None
    except ValueError as exc:  # e.g. an integer of more digits than the limit
        raise ValueError(f"invalid JSON: {' '.join(str(exc).split())}") from None


_SHARED_VALUES = ("role", "type", "name")


def _share_values(obj: dict[str, Any], _seen: dict[str, str] = {}) -> dict[str, Any]:
    """One str object for each role, type and tool name, instead of one per message: in a
    long conversation of short messages they are a tenth of what the document holds."""
    for key in _SHARED_VALUES:
        value = obj.get(key)
        if type(value) is str:
            obj[key] = _seen.setdefault(value, value)
    return obj


def read_document(path: str) -> Any:
    """The JSON document in a file (``-`` for stdin)."""
    text = read_text(path)
    try:
        return parse_json(text, _share_values)
    except ValueError as exc:
        raise InvalidJSON(f"{where_of(path)}: {exc}") from None


class Unsummarizable(BadDocument):
    """A conversation that reads, but holds no message to summarize."""


@contextlib.contextmanager
def reading(where: str) -> Iterator[None]:
    """Within the block, a document no format reads raises BadDocument saying what was
    found in ``where``: Unsummarizable when it holds no user, assistant or tool message."""
    try:
        yield
    except WrongFormat as exc:
        raise BadDocument(f"{where}: message {exc.index} is {exc.found}, which "
                          f"--input-format {exc.named} cannot read; use --input-format "
                          f"{exc.found}") from None
    except NoMessages as exc:
        raise Unsummarizable(f"{where}: {exc}") from None
    except FormatError as exc:
        raise BadDocument(f"{where}: {exc}") from None
    except RecursionError:
        raise BadDocument(f"{where}: nested too deeply") from None


def read_messages(doc: Any, where: str, input_format: str = AUTO) -> list[dict[str, Any]]:
    """A conversation in any format as the summarizer's messages, or BadDocument saying
    what was found."""
    with reading(where):
        return cast("list[dict[str, Any]]", to_messages(doc, input_format))


def load_conversation(path: str, input_format: str = AUTO) -> list[dict[str, Any]]:
    """Loads a conversation file (``-`` for stdin) in any format, as the summarizer's
    messages."""
    return read_messages(read_document(path), where_of(path), input_format)


def needs(module: str, what: str, extra: str = "cli") -> Any:
    """Imports a library of one of the package's extras, or says how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ConfigError(f"{what} needs the {module.split('.')[0]} package: pip install "
                          f"'{DISTRIBUTION}[{extra}]'") from None


# ---- options ----------------------------------------------------------------------------

def whole_number(minimum: int) -> Callable[[str], int]:
    """An argparse type: a whole number of at least ``minimum``."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {value}")
        return value

    return parse


def seconds(text: str) -> float:
    """An argparse type: a positive, finite number of seconds."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected seconds, got {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, got {text}")
    return value


def add_format_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--input-format", choices=(AUTO, *FORMATS), default=AUTO,
                        help="the conversation's format: OpenAI chat messages, Responses API "
                             "items, Anthropic messages or LangChain messages, as a list or "
                             "a request body (default: auto, detected)")


def add_client_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--llm", default=None,
                        metavar="extractive|openai|gguf:PATH|langchain:PROVIDER:MODEL",
                        help="the model to use (default: openai when a model is configured, "
                             "else the offline extractive client); langchain:PROVIDER:MODEL "
                             "is any chat model LangChain's init_chat_model makes, such as "
                             "langchain:anthropic:claude-sonnet-4-5 (the langchain extra and "
                             "the provider's package)")
    parser.add_argument("--model", default=None,
                        help="model name for an OpenAI-compatible server "
                             "(default: $MORVEX_SUMMARIZE_MODEL or $OPENAI_MODEL)")
    parser.add_argument("--base-url", default=None,
                        help="the model server's URL (default: $OPENAI_BASE_URL; for "
                             "langchain:PROVIDER:MODEL the provider's own variable, such as "
                             "$ANTHROPIC_BASE_URL or $OLLAMA_HOST)")
    parser.add_argument("--timeout", type=seconds, default=None, metavar="SECONDS",
                        help="seconds to wait for each attempt at a model reply; with "
                             "retries one conversation may take several times this "
                             f"(default: {DEFAULT_TIMEOUT:g})")
    parser.add_argument("--deadline", type=seconds, default=None, metavar="SECONDS",
                        help="seconds one conversation's summary may take in all, retries "
                             "included (default: no limit beyond --timeout and --retries)")
    parser.add_argument("--retries", type=whole_number(0), default=None, metavar="N",
                        help="retries on 429, 5xx, time-outs and lost connections "
                             f"(default: {DEFAULT_RETRIES})")
    parser.add_argument("--context-tokens", type=whole_number(MIN_CONTEXT_TOKENS),
                        default=DEFAULT_CONTEXT_TOKENS, metavar="N",
                        help="the model's context in tokens: no request (the reply "
                             "included) is larger, and a longer conversation is summarized "
                             "in windows, each building on the summary of those before "
                             f"(default: {DEFAULT_CONTEXT_TOKENS}, a 32k-token model)")
    parser.add_argument("--reply-format", choices=("schema", "json", "text"), default=None,
                        help="with an OpenAI-compatible server, the reply asked for first: "
                             "the summary's JSON schema, any JSON object, or text; a server "
                             "that refuses it is asked for the next, and the one that worked "
                             "is remembered (default: schema)")
    parser.add_argument("--json-mode", action="store_true",
                        help="the same as --reply-format json")


def build_client(args: argparse.Namespace) -> LLMClient:
    """The client that --llm/--model/--base-url ask for; announces the offline default."""
    from ..clients import configured_model

    choice = args.llm
    if choice is None:
        choice = "openai" if (args.model or configured_model()) else "extractive"
        if choice == "extractive":
            print(f"{PROG}: no model configured; using the offline extractive "
                  "summarizer (use --llm/--model to pick a model)", file=sys.stderr)
    if choice == "extractive":
        from ..clients.extractive import ExtractiveClient
        return ExtractiveClient()
    if choice == "openai":
        needs("openai", "the openai client")
        from ..clients.openai_client import OpenAIClient
        reply_format = getattr(args, "reply_format", None)
        if reply_format is None and args.json_mode:
            reply_format = "json"
        return OpenAIClient(args.model, base_url=args.base_url,
                            timeout=DEFAULT_TIMEOUT if args.timeout is None else args.timeout,
                            max_retries=DEFAULT_RETRIES if args.retries is None else args.retries,
                            reply_format=reply_format)
    if choice.startswith("gguf:") and len(choice) > 5:
        from ..clients.gguf import GGUFClient
        return GGUFClient(choice[5:], n_ctx=getattr(args, "context_tokens",
                                                     DEFAULT_CONTEXT_TOKENS))
    if choice.startswith("langchain:"):
        # The model is named in the choice, and the provider's package chooses the reply's
        # format: options for an OpenAI-compatible server alone would be dropped unseen.
        for flag, given in (("--model", args.model), ("--json-mode", args.json_mode),
                            ("--reply-format", getattr(args, "reply_format", None))):
            if given:
                raise ToolError(f"{flag}: not for --llm {choice} (it applies to --llm openai)",
                                EXIT_USAGE)
        from ..clients.langchain_client import from_spec
        return from_spec(choice[len("langchain:"):], base_url=args.base_url,
                         timeout=args.timeout, retries=args.retries)
    raise ToolError(f"unknown --llm {choice!r}: use extractive, openai, gguf:PATH or "
                    "langchain:PROVIDER:MODEL", EXIT_USAGE)


# ---- one summary ------------------------------------------------------------------------

@dataclass
class Outcome:
    """What became of one summary: the client's failure, if any, and whether the model's
    reply was prose rather than the JSON asked for."""

    failure: BaseException | None = None
    unparsed: bool = False

    @property
    def status(self) -> str:
        """"ok", "unparsed" (the model answered in prose) or "fallback" (the model failed
        and the summary was built from the messages)."""
        if self.failure is not None:
            return "fallback"
        return "unparsed" if self.unparsed else "ok"

    def mark_unparsed(self) -> None:
        self.unparsed = True


class DeadlineClient:
    """Passes calls to a shared client within the overall deadline, if there is one: it
    starts at the first call, and every later call (a window of a long conversation, a
    retry) gets what is left of it."""

    def __init__(self, client: LLMClient, deadline: float | None = None) -> None:
        self.client = client
        self.deadline = deadline
        self._until: float | None = None

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any:
        if self.deadline is None:
            return await self.client.complete(messages=messages, max_tokens=max_tokens)
        if self._until is None:
            self._until = asyncio.get_running_loop().time() + self.deadline
        async with asyncio.timeout_at(self._until):
            return await self.client.complete(messages=messages, max_tokens=max_tokens)


def windowed(client: LLMClient, deadline: float | None = None,
             context_tokens: int = DEFAULT_CONTEXT_TOKENS,
             on_window: ProgressCallback | None = None) -> Any:
    """The summarizer the commands use: in windows within the model's context, each
    request within what is left of the deadline."""
    from ..windows import WindowedSummarizer

    return WindowedSummarizer(DeadlineClient(client, deadline), context_tokens=context_tokens,
                              on_window=on_window)


async def summarize_one(client: LLMClient, messages: list[dict[str, Any]],
                        previous: str | None = None, deadline: float | None = None,
                        outcome: Outcome | None = None, *,
                        context_tokens: int = DEFAULT_CONTEXT_TOKENS,
                        on_window: ProgressCallback | None = None
                        ) -> tuple[SummaryRecord, str, Outcome]:
    """(record, context text, what became of it: ``outcome``, or a new one) for one
    conversation, in windows when it is longer than ``context_tokens`` allow. Messages the
    summarizer is known to refuse raise Refused, before any model call."""
    reason = module_refusal(messages)
    if reason is not None:
        raise Refused(reason)
    outcome = outcome or Outcome()
    with watch_unparsed(outcome.mark_unparsed):
        summarizer = windowed(client, deadline, context_tokens, on_window)
        record = await summarizer.summarize_messages(
            skim_outputs(messages), previous or None)
        outcome.failure = summarizer.failure
        context = summarizer.format_summary_for_context(record)
        return cast(SummaryRecord, record), context, outcome


def refusal_reason(exc: BaseException, messages: Any) -> str:
    """The reason for a refusal: the one found before the call, the one the fallback's
    reading explains, or else the summarizer's own text."""
    if isinstance(exc, Refused):
        return exc.reason
    return module_refusal(messages, fallback=True) or \
        f"the summarizer cannot read this conversation: {exc}"


def run_exchange(main: Callable[[], Coroutine[Any, Any, None]], where: str, busy: str,
                 outcome: Outcome, messages: Any = (),
                 activity: Activity | None = None) -> None:
    """Runs a command's exchange with the summarizer under a spinner (``activity``, when
    given, is the spinner, which becomes a bar as windows are reported to it). A
    conversation the summarizer refuses is the input's fault (BadDocument, saying why in
    terms of ``messages``, the records it was given); a model failure is raised as its
    ToolError."""
    try:
        with activity or Activity(busy):
            asyncio.run(main())
    except Exception as exc:
        if not (isinstance(exc, Refused) or raised_by_module(exc)):
            raise
        raise BadDocument(f"{where}: {refusal_reason(exc, messages)}") from None
    if outcome.failure is not None:
        found = classify_client_failure(outcome.failure)
        raise ToolError(found.reason, found.exit_code)


async def close_client(client: Any) -> None:
    """Closes the client's connections, if it keeps any, inside the loop that used them."""
    aclose = getattr(client, "aclose", None)
    if aclose is not None:
        await aclose()


# ---- output -----------------------------------------------------------------------------

class _ReportedByTool(logging.Filter):
    """Drops the summarizer's own "Summarization failed" log line: the tool reports the
    failure itself, as one line with its exit status."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not is_failure_log(record)


def setup_logging() -> None:
    root = logging.getLogger()
    if any(isinstance(f, _ReportedByTool) for h in root.handlers for f in h.filters):
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(f"{PROG}: %(levelname)s: %(message)s"))
    handler.addFilter(_ReportedByTool())
    root.addHandler(handler)
    root.setLevel(logging.WARNING)


class Activity:
    """On stderr when it is a terminal: a spinner while the model works, which becomes a bar
    counting the windows once a conversation is summarized in more than one. Nothing
    otherwise."""

    def __init__(self, text: str) -> None:
        console = needs("rich.console", "the command-line tool").Console(stderr=True)
        self.console = console if console.is_terminal else None
        self.text = text
        self.status: Any = None
        self.bar: Any = None
        self.task: Any = None

    def __enter__(self) -> Activity:
        if self.console is not None:
            self.status = self.console.status(self.text)
            self.status.start()
        return self

    def window(self, done: int, expected: int) -> None:
        """Windows done of those expected (a ProgressCallback)."""
        if self.console is None or expected <= 1:
            return
        if self.bar is None:
            from rich import progress

            if self.status is not None:
                self.status.stop()
                self.status = None
            self.bar = progress.Progress(
                progress.TextColumn("summarizing windows"), progress.BarColumn(),
                progress.MofNCompleteColumn(), progress.TimeElapsedColumn(),
                progress.TimeRemainingColumn(), console=self.console)
            self.task = self.bar.add_task("windows", total=expected)
            self.bar.start()
        self.bar.update(self.task, completed=done, total=expected)

    def __exit__(self, *exc: object) -> None:
        if self.status is not None:
            self.status.stop()
        if self.bar is not None:
            self.bar.stop()


def encode(text: str) -> bytes:
    """UTF-8, with a lone surrogate (which JSON text may hold as an escape) written as the
    same escape, so the output stays valid JSON and valid UTF-8."""
    return text.encode("utf-8", "backslashreplace")


def write_fd(fd: int, data: bytes, where: str) -> None:
    """Writes all of ``data``; OutputError naming ``where`` when it cannot. A reader that
    went away (``| head``) raises BrokenPipeError, which the tool ends quietly on."""
    view = memoryview(data)
    while view:
        try:
            written = os.write(fd, view)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(f"{where}: cannot write: {exc.strerror}") from None
        view = view[written:]


def is_regular_file(path: str) -> bool:
    """True for a regular file, or a path where none is yet (one will be made)."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True
    except OSError:
        return False


def write_output(text: str, path: str | None) -> None:
    """Writes to standard output (None or ``-``) or to a file: a regular file is replaced
    at once when all of it is written, so a failure leaves no part of it behind."""
    data = encode(text)
    if path is None or path == "-":
        write_fd(sys.stdout.fileno(), data, "standard output")
        return
    if not is_regular_file(path):
        try:
            fd = os.open(path, os.O_WRONLY)
        except OSError as exc:
            raise OutputError(f"{path}: cannot write: {exc.strerror}") from None
        try:
            write_fd(fd, data, path)
        finally:
            os.close(fd)
        return
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".morvex-summarize-")
    except OSError as exc:
        raise OutputError(f"{path}: cannot write: {exc.strerror}") from None
    try:
        try:
            write_fd(fd, data, path)
        finally:
            os.close(fd)
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except OSError as exc:
        raise OutputError(f"{path}: cannot write: {exc.strerror}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def quiet_broken_pipe() -> None:
    """After the reader of standard output went away: point it at /dev/null so that the
    interpreter's own flush at exit reports nothing."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())

