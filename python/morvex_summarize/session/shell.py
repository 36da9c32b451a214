"""Command lines read as a shell reads them: quotes, operators and heredocs by the shell's
own rules (`shlex` with its punctuation characters), so a quoted `&&` or `>` is a word and
not an operator.

A line is read once into its simple commands: each one's words, the files its output is
redirected to, the heredoc that feeds it, and whether it reads from a pipe (then it only
shows the output of the command before it).
"""

from __future__ import annotations

import functools
import re
import shlex
from typing import NamedTuple

_HEREDOC = re.compile(r"<<-?[ \t]*(['\"]?)([A-Za-z_][\w-]*)\1")
_SEPARATING = frozenset(";|&()\n")
_PUNCTUATION = "();<>|&\n"
NOT_FILES = ("/dev/", "/proc/")
"""Where a path names no file of the work."""
# Words that open or close a compound command: the command is what follows them.
_KEYWORDS = frozenset({"if", "then", "else", "elif", "fi", "do", "done", "while", "until",
                       "!", "{", "}", "esac"})
WRAPPERS = frozenset({"sudo", "time", "env", "nice", "nohup", "exec", "command", "builtin",
                      "uvx", "pipx"})
"""Programs that run the command after them."""
_SETTING = re.compile(r"^\w+=")


class Simple(NamedTuple):
    """One simple command of a command line."""

    words: tuple[str, ...]  # its words, unquoted, redirections left out
    written: tuple[str, ...] = ()  # files its output is redirected to (not stderr's)
    body: str | None = None  # the text of the heredoc that feeds it
    piped: bool = False  # it reads the output of the command before it
    last: bool = False  # it is the line's last command


def cut_heredocs(line: str) -> tuple[str, list[str]]:
    """The command line without the bodies of its heredocs, and the bodies (a body cut
    short ends where the line does)."""
    bodies: list[str] = []
    out: list[str] = []
    at = 0
    while True:
        found = _HEREDOC.search(line, at)
        if found is None:
            out.append(line[at:])
            break
        end_of_line = line.find("\n", found.end())
        if end_of_line < 0:
            out.append(line[at:])
            break
        out.append(line[at:end_of_line + 1])
        close = re.compile(r"^[ \t]*" + re.escape(found.group(2)) + r"[ \t]*$", re.MULTILINE)
        closing = close.search(line, end_of_line + 1)
        if closing is None:
            bodies.append(line[end_of_line + 1:])
            break
        bodies.append(line[end_of_line + 1:closing.start()])
        at = closing.end()
    return "".join(out), bodies


def _lex(script: str) -> list[str]:
    lexer = shlex.shlex(script, posix=True, punctuation_chars=_PUNCTUATION)
    lexer.whitespace_split = True
    lexer.whitespace = " \t\r"
    lexer.commenters = ""
    return list(lexer)


# A line with no quote and no escape splits as `shlex` would split it, and much faster:
# words are runs of what is neither blank nor an operator's character, operators are runs
# of those characters.
_QUOTING = re.compile(r"['\"\\]")
_PLAIN_TOKEN = re.compile(r"[();<>|&\n]+|[^ \t\r();<>|&\n]+")


def tokens(script: str) -> list[str]:
    """The shell's tokens of a script: words unquoted, operators apart. A line cut short
    inside quotes is read as if they closed where it ends."""
    if _QUOTING.search(script) is None:
        return _PLAIN_TOKEN.findall(script)
    for ending in ("", '"', "'", '"\'', "'\""):
        try:
            return _lex(script + ending)
        except ValueError:
            continue
    return script.split()


def _separator(token: str) -> bool:
    return all(char in _SEPARATING for char in token)


def _redirect(token: str) -> bool:
    return ("<" in token or ">" in token) and all(char in _PUNCTUATION for char in token)


# What a line must hold to be more than one command of plain words.
_NOT_PLAIN = re.compile(r"[();<>|&\n#'\"\\]")


@functools.lru_cache(maxsize=4096)
def simple_commands(line: str) -> tuple[Simple, ...]:
    """The simple commands of a command line, in order."""
    if _NOT_PLAIN.search(line) is None:  # most lines: one command, its words as they are
        words = tuple(_PLAIN_TOKEN.findall(line))
        return (Simple(words, last=True),) if words else ()
    script, bodies = cut_heredocs(line) if "<<" in line else (line, [])
    return _read(script, bodies)


def _read(script: str, bodies: list[str]) -> tuple[Simple, ...]:
    """The simple commands of a script whose heredocs' bodies are cut out (``bodies``)."""
    waiting = list(bodies)
    found: list[Simple] = []
    words: list[str] = []
    written: list[str] = []
    body: str | None = None
    piped = next_piped = False
    redirect = ""
    comment = False

    def close() -> None:
        nonlocal words, written, body, piped
        if words or written:
            found.append(Simple(tuple(words), tuple(written), body, piped))
        words, written, body, piped = [], [], None, False

    for token in tokens(script):
        if comment:
            if "\n" in token and _separator(token):
                comment = False
                close()
                piped = next_piped = False
            continue
        if _separator(token):
            close()
            next_piped = "|" in token and "||" not in token
            piped = next_piped
            redirect = ""
            continue
        if _redirect(token):
            fd = words.pop() if len(words) > 1 and words[-1].isdigit() else ""
            redirect = fd + token
            continue
        if redirect:
            if redirect.lstrip("0123456789").startswith("<<"):
                if not redirect.endswith("<<<") and waiting:
                    body = waiting.pop(0)
            elif ">" in redirect and not redirect.startswith("2") and not token.isdigit() \
                    and not token.startswith(NOT_FILES) and token != "-":
                written.append(token)
            redirect = ""
            continue
        if token.startswith("#") and not words:
            comment = True
            continue
        words.append(token)
    close()
    if found:
        found[-1] = found[-1]._replace(last=True)
    return tuple(found)


def bare(words: tuple[str, ...] | list[str]) -> list[str]:
    """The words without what only sets up the program they run: environment settings,
    compound-command keywords and wrappers in front (`sudo`, `env X=1`, `timeout 60`)."""
    at = 0
    while at < len(words):
        word = words[at]
        if _SETTING.match(word) or word in WRAPPERS or word in _KEYWORDS:
            at += 1
        elif word == "timeout" and at + 1 < len(words):
            at += 2
        else:
            break
    return list(words[at:])
