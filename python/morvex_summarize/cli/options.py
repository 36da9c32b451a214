"""The tool's options: argument types, the model and client options every command shares,
the condensing options, and the client they ask for."""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Callable

from ..clients import DEFAULT_RETRIES, DEFAULT_TIMEOUT
from ..clients.registry import ClientSettings, build, check_settings, default_choice
from ..condense import CHARS_PER_TOKEN
from ..condense.strategies import STRATEGIES, Strategy, named
from ..formats import AUTO, FORMATS
from ..records import LLMClient
from ..settings import DEFAULT_CONTEXT_TOKENS, MIN_CONTEXT_TOKENS, Profile
from .status import UsageError

PROG = "morvex-summarize"


OUTPUT_RULES = ("never an input; an existing file keeps its mode, a symbolic link is "
                "written through to its target, and a file with other names (hard links) "
                "is refused (status 2)")
"""What every command's --output help says of the file it names."""


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
                             "items, Anthropic messages, LangChain messages or Gemini "
                             "contents, as a list or a request body; or an agent's session "
                             "log as it lies on disk: Claude Code or Codex JSON lines, a "
                             "SWE-agent .traj, a mini-swe-agent .traj.json, an aider "
                             ".aider.chat.history.md, a Cursor chat exported as markdown, "
                             "a Cline, Roo Code or Kilo Code api_conversation_history.json, "
                             "a Gemini CLI session, an OpenHands trajectory (default: auto, "
                             "detected)")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="say on stderr what an agent's log held that its reader does "
                             "not know and left out (record and item types)")


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


def add_condensing_arguments(parser: argparse.ArgumentParser, profile: Profile) -> None:
    """The options of a command that condenses: the budget, the newest messages kept, the
    user's turns kept, the target and the role of the summary's message (with the
    defaults of the command's profile)."""
    keep_last, keep_first, context_role = (profile.keep_last, profile.keep_first,
                                           profile.context_role)
    parser.add_argument("--budget", type=whole_number(1), required=True, metavar="N",
                        help="condense a conversation of more than N tokens (estimated at "
                             f"{CHARS_PER_TOKEN} characters per token)")
    parser.add_argument("--keep-last", type=whole_number(0), default=keep_last, metavar="K",
                        help=f"newest messages always kept verbatim (default: {keep_last})")
    parser.add_argument("--keep-first", action=argparse.BooleanOptionalAction,
                        default=keep_first,
                        help="keep the user's first turn (where agents put instructions "
                             "files, the environment and the request) and the user's later "
                             "requests verbatim, in front of the summary (default: "
                             f"{'on' if keep_first else 'off'})")
    parser.add_argument("--target", type=whole_number(0), default=None, metavar="T",
                        help="tokens the kept messages are brought within "
                             "(default: three quarters of the budget)")
    parser.add_argument("--context-role", choices=("system", "user"), default=context_role,
                        help="role of the message that holds the summary "
                             f"(default: {context_role})")
    clearing = parser.add_argument_group(
        "strategy", "how an over-budget conversation is made smaller. summarize: the oldest "
        "messages are summarized; clear-tool-results: the results of older tool calls "
        "become a one-line placeholder (the tool, the size, how the step ended); "
        "clear-thinking: the reasoning of older assistant turns is removed; hybrid: tool "
        "results, then thinking, are cleared, and what clearing cannot bring within the "
        "budget is summarized; clear-thinking-then-summarize: thinking is cleared, and "
        "what is still over the budget summarized")
    clearing.add_argument("--strategy", choices=tuple(STRATEGIES), default=profile.strategy,
                          help=f"(default: {profile.strategy})")
    clearing.add_argument("--keep-tool-uses", type=whole_number(0), default=None, metavar="N",
                          help="the newest tool calls whose results are never cleared "
                               "(default: 3)")
    clearing.add_argument("--clear-at-least", type=whole_number(1), default=None, metavar="N",
                          help="clear no tool result unless N tokens or more are freed")
    clearing.add_argument("--exclude-tools", type=names, default=None, metavar="NAMES",
                          help="tools (comma-separated) whose results are never cleared")
    clearing.add_argument("--clear-tool-inputs", type=names, default=None,
                          metavar="all|NAMES",
                          help="also empty the arguments of the calls whose results are "
                               "cleared: of every tool, or of the tools named "
                               "(default: calls stay as they are)")
    clearing.add_argument("--keep-thinking", type=turns, default=None, metavar="N|all",
                          help="the newest assistant turns whose reasoning stays (at least "
                               "1; default: 1)")


def names(text: str) -> tuple[str, ...]:
    """An argparse type: tool names, comma-separated."""
    found = tuple(n.strip() for n in text.split(",") if n.strip())
    if not found:
        raise argparse.ArgumentTypeError("expected one or more tool names, comma-separated")
    return found


def turns(text: str) -> int | str:
    """An argparse type: a number of turns of at least 1, or "all"."""
    return "all" if text == "all" else whole_number(1)(text)


_TOOL_OPTIONS = ("keep_tool_uses", "clear_at_least", "exclude_tools", "clear_tool_inputs")


def strategy_of(args: argparse.Namespace) -> Strategy:
    """The strategy the options name, with its edits' options; a usage error for an
    option of an edit the strategy does not make."""
    chosen = STRATEGIES[args.strategy]
    kinds = {type(edit).__name__ for edit in chosen.edits}
    for option in _TOOL_OPTIONS + ("keep_thinking",):
        needs = "ClearThinking" if option == "keep_thinking" else "ClearToolResults"
        if getattr(args, option, None) is not None and needs not in kinds:
            users = [n for n, s in STRATEGIES.items()
                     if needs in {type(e).__name__ for e in s.edits}]
            listed = " and ".join([", ".join(users[:-1]), users[-1]] if len(users) > 2
                                  else users)
            raise UsageError(f"--{option.replace('_', '-')} applies to the "
                             f"{listed} strategies, not {args.strategy}")
    inputs = args.clear_tool_inputs
    return named(args.strategy, keep_tool_uses=3 if args.keep_tool_uses is None
                 else args.keep_tool_uses, clear_at_least=args.clear_at_least,
                 exclude_tools=args.exclude_tools or (),
                 clear_tool_inputs=False if inputs is None else
                 True if inputs == ("all",) else inputs,
                 keep_thinking=1 if args.keep_thinking is None else args.keep_thinking)


def check_condensing(args: argparse.Namespace) -> None:
    """A usage error for a target beyond the budget, or a strategy's option given to
    another strategy, told before anything is read."""
    if args.target is not None and args.target > args.budget:
        raise UsageError(f"--target ({args.target}) exceeds --budget ({args.budget})")
    strategy_of(args)


def client_settings(args: argparse.Namespace) -> ClientSettings:
    """The client's settings the options give (None where an option is not given)."""
    reply_format = getattr(args, "reply_format", None)
    if reply_format is None and getattr(args, "json_mode", False):
        reply_format = "json"
    return ClientSettings(model=args.model, base_url=args.base_url, timeout=args.timeout,
                          retries=args.retries, reply_format=reply_format,
                          context_tokens=getattr(args, "context_tokens",
                                                 DEFAULT_CONTEXT_TOKENS))


def check_client_options(args: argparse.Namespace) -> None:
    """Refuses, before any input is read, an option that the chosen client would ignore
    (each client's settings are in the registry of clients)."""
    values = {name: getattr(args, name, None) for name in
              ("model", "json_mode", "reply_format", "base_url", "timeout", "retries")}
    given = [name for name, value in values.items() if value is not None and value is not False]
    check_settings(args.llm, given)


def build_client(args: argparse.Namespace) -> LLMClient:
    """The client that --llm/--model/--base-url ask for; announces the offline default."""
    settings = client_settings(args)
    choice = args.llm or default_choice(settings)
    if args.llm is None and choice == "extractive":
        print(f"{PROG}: no model configured; using the offline extractive "
              "summarizer (use --llm/--model to pick a model)", file=sys.stderr)
    return build(choice, settings)
