"""``morvex-summarize``: summarize a conversation file, condense one, or many with ``batch``.

The commands are a static table: a command named first on the line picks that command
(``help`` shows the help); anything else is the default ``summarize`` command. Each
command has its help line, ``add_arguments(parser)`` and ``run(args)``, which returns the
exit status or raises one of the package's errors, which `status` maps to its exit
status."""

from __future__ import annotations

import argparse
import difflib
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import NoReturn

from .. import __version__
from ..errors import PackageError, spell_settings
from . import condense, serve, summarize
from .batch import command as batch
from .exchange import setup_logging
from .options import PROG
from .status import (EXIT_INTERRUPTED, EXIT_OK, EXIT_STATUSES, EXIT_USAGE, FLAGS, exit_status,
                     told)

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
    "serve": Command(serve.HELP, serve.add_arguments, serve.run),
}


class Parser(argparse.ArgumentParser):
    """Reports a usage error in one line, with where to find the usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{PROG}: error: {message} (see {self.prog} --help)\n")


def exit_statuses() -> str:
    """The help's table of exit statuses."""
    return "exit statuses:\n" + "\n".join(f"  {code:<4} {text}" for code, text in EXIT_STATUSES)


def build_parser(name: str) -> argparse.ArgumentParser:
    command = COMMANDS[name]
    default = name == DEFAULT_COMMAND
    others = ", ".join(n for n in COMMANDS if n != DEFAULT_COMMAND)
    epilog = exit_statuses()
    if default:
        epilog = f"other commands: {others} ({PROG} COMMAND --help)\n\n{epilog}"
    parser = Parser(prog=PROG if default else f"{PROG} {name}", description=command.help,
                    epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    command.add_arguments(parser)
    return parser


def usage_error(message: str) -> int:
    print(f"{PROG}: error: {message} (see {PROG} --help)", file=sys.stderr)
    return EXIT_USAGE


def closest_command(word: str) -> str | None:
    """The command a mistyped first word most likely meant, unless it names a file."""
    if word.startswith("-") or os.path.exists(word):
        return None
    found = difflib.get_close_matches(word, COMMANDS, n=1, cutoff=0.75)
    return found[0] if found else None


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "help":
        if len(argv) > 2:
            return usage_error(f"help takes one command, got {len(argv) - 1}")
        if len(argv) == 2 and argv[1] not in COMMANDS:
            guess = closest_command(argv[1])
            return usage_error(f"unknown command {argv[1]!r}" + (
                f": did you mean {guess!r}?" if guess else
                f" (commands: {', '.join(COMMANDS)})"))
        argv = [argv[1], "--help"] if len(argv) > 1 else ["--help"]
    elif argv and argv[0] not in COMMANDS:
        guess = closest_command(argv[0])
        if guess is not None:
            return usage_error(f"unknown command {argv[0]!r}: did you mean {guess!r}?")
    name = argv[0] if argv and argv[0] in COMMANDS else DEFAULT_COMMAND
    if argv and argv[0] == name:
        argv = argv[1:]
    args = build_parser(name).parse_args(argv)
    setup_logging(verbose=getattr(args, "verbose", False))
    spell_settings(FLAGS)
    try:
        return COMMANDS[name].run(args)
    except PackageError as exc:
        print(f"{PROG}: error: {told(exc)}", file=sys.stderr)
        return exit_status(exc)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, without a second error at exit.
        quiet_broken_pipe()
        return EXIT_OK


def quiet_broken_pipe() -> None:
    """After the reader of standard output went away: point it at /dev/null so that the
    interpreter's own flush at exit reports nothing."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


if __name__ == "__main__":
    sys.exit(main())
