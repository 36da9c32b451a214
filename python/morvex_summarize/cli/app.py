"""``morvex-summarize``: summarize a conversation file, condense one, or many with ``batch``.

The commands are a static table: a command named first on the line picks that command
(``help`` shows the help); anything else is the default ``summarize`` command. Each
command's module has ``HELP``, ``add_arguments(parser)`` and ``run(args)``, which returns
the exit status or raises ToolError."""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Sequence
from types import ModuleType
from typing import NoReturn

from .. import __version__
from ..errors import EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, ToolError
from .exchange import PROG, quiet_broken_pipe, setup_logging

DEFAULT_COMMAND = "summarize"

# name -> module, in the order of --help
COMMANDS: dict[str, str] = {
    "summarize": "morvex_summarize.cli.summarize",
    "batch": "morvex_summarize.cli.batch.command",
    "condense": "morvex_summarize.cli.condense",
}


def command_module(name: str) -> ModuleType:
    return importlib.import_module(COMMANDS[name])


class Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, with where to find the usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{PROG}: error: {message} (see {self.prog} --help)\n")


def build_parser(name: str) -> argparse.ArgumentParser:
    module = command_module(name)
    default = name == DEFAULT_COMMAND
    others = ", ".join(n for n in COMMANDS if n != DEFAULT_COMMAND)
    parser = Parser(
        prog=PROG if default else f"{PROG} {name}", description=module.HELP,
        epilog=f"other commands: {others} ({PROG} COMMAND --help)" if default else None)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    module.add_arguments(parser)
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
        status: int = command_module(name).run(args)
        return status
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
