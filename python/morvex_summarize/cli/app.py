"""``morvex-summarize``: summarize a conversation file, condense one, or many with ``batch``.

The commands are a static table: a command named first on the line picks that command
(``help`` shows the help); anything else is the default ``summarize`` command. Each
command has its help line, ``add_arguments(parser)`` and ``run(args)``, which returns the
exit status or raises ToolError."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import NoReturn

from .. import __version__
from ..errors import EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, ToolError
from . import condense, summarize
from .batch import command as batch
from .exchange import PROG, quiet_broken_pipe, setup_logging

DEFAULT_COMMAND = "summarize"


@dataclass(frozen=True)
class Command:
    help: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


# name -> command, in the order of --help
COMMANDS: dict[str, Command] = {
    "summarize": Command(summarize.HELP, summarize.add_arguments, summarize.run),
    "batch": Command(batch.HELP, batch.add_arguments, batch.run),
    "condense": Command(condense.HELP, condense.add_arguments, condense.run),
}


class Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, with where to find the usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{PROG}: error: {message} (see {self.prog} --help)\n")


def build_parser(name: str) -> argparse.ArgumentParser:
    command = COMMANDS[name]
    default = name == DEFAULT_COMMAND
    others = ", ".join(n for n in COMMANDS if n != DEFAULT_COMMAND)
    parser = Parser(
        prog=PROG if default else f"{PROG} {name}", description=command.help,
        epilog=f"other commands: {others} ({PROG} COMMAND --help)" if default else None)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    command.add_arguments(parser)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "help":
        argv = [argv[1], "--help"] if len(argv) > 1 and argv[1] in COMMANDS else ["--help"]
    name = argv[0] if argv and argv[0] in COMMANDS else DEFAULT_COMMAND
    if argv and argv[0] == name:
        argv = argv[1:]
    args = build_parser(name).parse_args(argv)
    setup_logging()
    try:
        return COMMANDS[name].run(args)
    except ToolError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return exc.exit_code
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, without a second error at exit.
        quiet_broken_pipe()
        return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
