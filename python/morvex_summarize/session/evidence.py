"""What a tool's output shows: whether the step failed, passed or settled nothing, the line
a person would quote from a failure, and which check or change a call was.

An output fails only on evidence of failure: a non-zero exit status, an exception, panic or
compiler error line, a count of failures above zero (``2 failed``, ``failures=1``,
``Found 3 errors``), ``FAILED``/``FAIL``, an HTTP status of 400 or above, a shell's own
error (``command not found``) or the tool result's error flag (``[error]`` in front).
Words that name failure to report success (``0 failed``, ``no errors``, ``failures=0``,
``found 0 vulnerabilities``) are success, and so are ``OK``, ``N passed``, ``test result:
ok`` and the like. Output that shows neither settles nothing.

The output of a command that only reads (a file, a search, a log) is not the command's
failure because of what it holds: only its error flag and its first and last lines (where
a shell reports that the read itself failed) count there.
"""

from __future__ import annotations

import functools
import re
from typing import NamedTuple

from . import programs, shell, tools

FAILED = "failed"
PASSED = "passed"

ERROR_FLAG = "[error]"
"""What a conversation format puts in front of a tool result that says it failed."""

# -- evidence of failure, line by line ------------------------------------------------------

# An exception as a runtime prints it: `ValueError: ...`, `java.lang.IllegalStateException:
# ...`, pytest's `E   KeyError: 'x'`, `Caused by: ...`, `Exception in thread "main" ...`.
_EXCEPTION = re.compile(
    r"^\s*(?:E\s+)?(?:Caused by: |Exception in thread \"[^\"]*\" |Uncaught )?"
    r"(?:[a-z_][\w]*\.)*[A-Z]\w*(?:Error|Exception|Exit|Interrupt|Failure|Fault)"
    r"(?:\[\w+\])?(?::|$)")
# A line that starts with the word of a failure: rustc and gcc `error:`, `error[E0425]:`,
# git `fatal:`, psql `ERROR:`, npm `npm ERR!`, pytest `FAILED ...`/`ERROR tests/...`,
# go and jest `FAIL`/`--- FAIL:`, go `panic:`, node `Error: ...`, curl `curl: (6) ...`.
_LEADING = re.compile(
    r"^\s*(?:error(?:\[\w+\])?:|Error(?:\[\w+\])?:|ERROR\b|fatal(?: error)?:|FATAL\b|Fatal:|"
    r"npm ERR!|ERR!|FAILED\b|FAIL\b|--- FAIL\b|panic:|PANIC\b|[✖✗×✕] |error TS\d+|"
    r"curl: \(\d+\)|Segmentation fault|Aborted \(core dumped\)|Killed$)")
# make's own line says that a step failed; the step's output says why.
_MAKE = re.compile(r"^\s*make(?:\[\d+\])?: \*\*\*")
# A located diagnostic: `src/x.c:3:5: error: ...`, `app.py:12: error: ...` (mypy),
# `src/a.ts(12,5): error TS2322: ...`, eslint's `  12:5  error  ...`.
_LOCATED = re.compile(
    r"^\s*\S+?(?::\d+(?::\d+)?:|\(\d+,\d+\):)\s*(?:fatal )?error\b"
    r"|^\s*\S+?:\d+:\d+\s+-\s+error\b|^\s*\S+?\.\w{1,5}:\d+:\d+:?\s+[A-Z]{1,4}\d{2,4}\b"
    r"|^\s*[\w.+-]+: (?:fatal )?error: |^\s+\d+:\d+\s+error\s")
# Any diagnostic with a location (`pkg/conn.go:22:2: unreachable code`): no failure by
# itself, but in a failed output the line to quote.
_DIAGNOSTIC = re.compile(r"^\s*\S+\.\w{1,5}:\d+(?::\d+)?: \S")
# What makes a line specific: a quoted name, an exception with its message, a path or URL.
_SPECIFIC = re.compile(
    r"'[^']+'|\"[^\"]+\"|`[^`]+`|\b[A-Z]\w*(?:Error|Exception):\s+\S+(?:\s+\S+){2}"
    r"|https?://\S+|\b[\w.-]+/[\w./-]+")
_SPECIFIC_NEEDS = ("'", '"', "`", "/", ":")


def _specific(line: str) -> bool:
    """The line is specific (`_SPECIFIC`); one without a character that each of its
    shapes needs is not searched."""
    for needed in _SPECIFIC_NEEDS:
        if needed in line:
            return _SPECIFIC.search(line) is not None
    return False


# What makes a line say why: the words of a cause.
_EXPLAINS = re.compile(
    r"(?i)error|detail|message|reason|fail|cannot|can't|could not|not found|invalid|missing|"
    r"denied|refused|timed? ?out|undefined|undeclared|required|locked|exists?|expected|"
    r"unknown|unsupported|conflict")
# A thrown error with a sentence for its message (node's `Error: ...`).
_THROWN = re.compile(r"^\s*Error: \S+(?:\s+\S+){3,}")
_PANICKED = re.compile(r"\bpanicked at\b")
_TRACEBACK_WORDS = "Traceback (most recent call last):"
_TRACEBACK = re.compile(r"^\s*" + re.escape(_TRACEBACK_WORDS), re.MULTILINE)
# A shell's own errors, at a line's end; the steps whose failure a line names. These
# read the line in lower case.
_SHELL_ENDS = ("command not found", "no such file or directory", "permission denied")
_STEPS = frozenset({"build", "command", "compilation", "deployment", "deploy", "migration",
                    "job", "step", "install", "installation", "request", "push", "upload",
                    "result", "lifecycle", "script", "check", "tests"})
_FAILED_TO = frozenset({"compile", "build", "connect", "start", "install", "resolve", "fetch",
                        "push", "load", "open", "parse", "run"})


def _shell_failure(low: str) -> bool:
    """The line (in lower case) is a shell's or a build step's own report of a failure."""
    end = low.rstrip()
    if end.endswith(_SHELL_ENDS):  # one test for the three, then which of them
        for phrase in _SHELL_ENDS:
            if end.endswith(phrase):
                before = end[:-len(phrase)].rstrip()
                return not before or before.endswith(":")
    if "could not compile" in low or "non-zero exit" in low:
        return True
    at = low.find("failed")
    while at >= 0:
        words = low[max(0, at - 40):at].rstrip().rstrip(":").rsplit(None, 1)
        if words and words[-1] in _STEPS:
            return True
        tail = low[at + 6:at + 40]
        if "to" in tail:  # "failed to ..."
            after = tail.split(None, 2)
            if len(after) > 1 and after[0] == "to" and after[1].strip(".,:;") in _FAILED_TO:
                return True
        at = low.find("failed", at + 6)
    return False


# Counts of failures, and exit and HTTP statuses: their number decides.
_COUNTS = re.compile(
    r"(?<![\w.])(\d[\d,]*)\s+(?:[a-z]+\s+)?(?:failed|failing|failures?|errors?|"
    r"problems?|vulnerabilit(?:y|ies))\b"
    r"|\b(?:failures|errors|failed)\s*[=:]\s*(\d+)")
_EXIT = re.compile(
    r"\b(?:exit(?:ed)?(?: with)?(?: code| status)|exit code|exit status|exitcode|"
    r"returned non-zero exit status|return code|returncode)\s*[:=]?\s*(-?\d+)"
    r"|^\s*(?:process|command) exited with (?:code )?(-?\d+)")
_HTTP = re.compile(
    r"\bhttp/[\d.]+\s+(\d{3})\b"
    r"|\b(?:http status|status(?: code)?|response code|returned error)\s*[:=]?\s*(\d{3})\b"
    r"|\"status(?:_?code)?\"\s*:\s*(\d{3})\b")
_STATUS_LINE = re.compile(r"^\s*(\d{3}) (?:[A-Z][a-z]+)(?: [A-Z][a-z]+)*\s*$")
_DIGIT = re.compile(r"\d")
_ASCII_DIGITS = "0123456789"


def has_digit(text: str) -> bool:
    """The text has a digit, as ``\\d`` reads one: in ASCII text one search for each digit,
    which is faster than the pattern's scan; other text by the pattern."""
    if text.isascii():
        for digit in _ASCII_DIGITS:
            if digit in text:
                return True
        return False
    return _DIGIT.search(text) is not None

# -- evidence of success ------------------------------------------------------------------

_SUCCESS_WORDS = ("test result: ok", "all checks passed", "all tests passed", "succe",
                  "up to date", "found 0 vulnerabilities")
_ZERO = re.compile(r"(?<![\w.])0 (\w+)|\bno (\w+)|\b(?:failures|errors)\s*[=:]\s*0\b")
_ZERO_OF = frozenset({"failed", "failure", "failures", "error", "errors", "problem",
                      "problems", "vulnerabilities", "issue", "issues"})
# A run that says it passed: the word, a line that starts with it (or with ok, done, a
# tick), or a 2xx or 3xx HTTP status; three patterns, each run only where it may match.
_PASSED_WORD = re.compile(r"\bpassed\b")
_PASSED_LINE = re.compile(r"^\s*(?:ok|pass|✓|√|done)\b|^\s*\[\s*(?:passed|ok)\s*\]",
                          re.MULTILINE)
_PASSED_HTTP = re.compile(r"\bhttp/[\d.]+\s+[23]\d\d\b")


def _passes(low: str) -> bool:
    """The output (in lower case) says that the step passed: `0 failed`, `no errors`,
    `failures=0`, `N passed`, `OK`, `test result: ok`, a 2xx or 3xx HTTP status, ..."""
    if any(word in low for word in _SUCCESS_WORDS):
        return True
    if "finished" in low and "target" in low:
        return True
    # each kind of zero has its own words: the pattern is run only where one may be
    if "0 " in low or "no " in low or (("failures" in low or "errors" in low) and "0" in low):
        for match in _ZERO.finditer(low):
            word = match.group(1) or match.group(2)
            if word is None or word in _ZERO_OF:
                return True
    if "passed" in low and _PASSED_WORD.search(low):
        return True
    if "http/" in low and _PASSED_HTTP.search(low):
        return True
    return _PASSED_LINE.search(low) is not None


# A total of problems with its parts after it ("3 problems (0 errors, 3 warnings)"):
# the parts say whether any is an error, warnings are no failure.
_ONLY_WARNINGS = re.compile(r"^\s*[✖✗×✕] \d[\d,]*\s+problems?\s*\(\s*0 errors?\b")
_TOTAL_BEFORE_PARTS = re.compile(r"(?<![\w.])\d[\d,]*\s+problems?\s*(?=\(\s*\d)")
_LINE_SUCCESS_WORDS = re.compile(  # on the line in lower case
    r"(?<![\w.])0 (?:failed|failures?|errors?|problems?|vulnerabilities)\b|\bno (?:errors?|"
    r"failures?|issues?|problems?|vulnerabilities)\b|\b(?:failures|errors)\s*[=:]\s*0\b")


def _numbers(match: re.Match[str]) -> int | None:
    for group in match.groups():
        if group is not None:
            try:
                return int(group.replace(",", ""))
            except ValueError:
                return None
    return None


# Every failure line without a digit has one of these in it; a line with neither is read
# no further.
# A line an exception, a located error or a thrown error starts: one pattern of the three.
_STRONG = re.compile(f"(?:{_EXCEPTION.pattern})|(?:{_LOCATED.pattern})|(?:{_THROWN.pattern})")
_FAILURE_KEYS = ("rror", "failed", "RROR", "xception", "Exit", "nterrupt", "ailure", "Fault",
                 "panic", "PANIC", "atal", "FATAL", "ERR", "FAIL", "✖", "✗", "×", "✕",
                 "Segmentation", "Aborted", "Killed", "not found", "o such file",
                 "ermission denied", "could not", "non-zero", "***")  # the commonest first


# What every line that `failure_line` reads as a failure holds: one of these words in its
# lower case, or one of the shapes (a status line, a linter's located code). A line with
# none of them is no failure, so that a long text need be read line by line only where they
# are (see `lines_holding` and `lines_with`).
FAILURE_HINTS = ("err", "rror", "xception", "exit", "nterrupt", "ailure", "fail", "fault",
                 "panic", "atal", "✖", "✗", "×", "✕", "segmentation", "aborted", "killed",
                 "not found", "o such file", "ermission denied", "could not", "non-zero",
                 "problem", "vulnerabilit", "return code", "returncode", "http", "status",
                 "response code", "make", "curl: (")
FAILURE_SHAPES = re.compile(
    r"^[^\S\n]*(?:\d{3} [A-Z]|\S+?\.\w{1,5}:\d+:\d+:?[^\S\n]+[A-Z]{1,4}\d{2,4}\b)",
    re.MULTILINE)


def lines_holding(words: tuple[str, ...], text: str) -> set[int]:
    """The indexes of the lines of ``text`` that hold any of ``words`` (none spans lines),
    each word looked for over the whole text at once: most are absent, and one search
    says so."""
    found_in = set()
    for word in words:
        at = text.find(word)
        line = counted = 0  # the line at ``counted``
        while at >= 0:
            line += text.count("\n", counted, at)
            found_in.add(line)
            counted = at = text.find("\n", at)
            if at < 0:
                break
            at = text.find(word, at)
    return found_in


def lines_with(pattern: re.Pattern[str], text: str) -> set[int]:
    """The indexes of the lines of ``text`` in which ``pattern`` (that spans no lines) is
    found, in one pass over it."""
    found_in = set()
    index = at = 0
    found = pattern.search(text)
    while found is not None:
        index += text.count("\n", at, found.start())
        found_in.add(index)
        at = text.find("\n", found.end())
        if at < 0:
            break
        found = pattern.search(text, at)
    return found_in


@functools.lru_cache(maxsize=8192)
def failure_line(line: str) -> int:
    """How strongly one line shows a failure: 0 not at all; 1 a count, status or summary
    line; 2 an error or failure line; 3 an exception, panic or located diagnostic."""
    if not line or len(line) > 2000:
        return 0
    if not has_digit(line):
        return _failure_level(line, False)
    low = line.lower()
    for hint in FAILURE_HINTS:  # most lines have none: they are read no further
        if hint in low:
            break
    else:
        if FAILURE_SHAPES.match(line) is None:
            return 0
    return _failure_level(line, True, low)


# The words a strong line without a digit holds: an exception's name, or an error after a
# colon (a located diagnostic's other shapes need digits).
_STRONG_WITHOUT_DIGITS = ("Error", "Exception", "Exit", "Interrupt", "Failure", "Fault",
                          "error: ")


def _may_be_strong(line: str) -> bool:
    for word in _STRONG_WITHOUT_DIGITS:
        if word in line:
            return True
    return False


def _failure_level(line: str, digits: bool, low: str | None = None) -> int:
    """`failure_line` of a line of at most 2000 characters, read whole: ``digits``, it
    has a digit; ``low``, the line in lower case if it is at hand."""
    if not digits:
        for key in _FAILURE_KEYS:  # faster than one pattern of them all
            if key in line:
                break
        else:
            return 0
    if (digits or _may_be_strong(line)) and _STRONG.match(line) or "panicked at" in line:
        return 3
    if _LEADING.match(line) and not _ONLY_WARNINGS.match(line):
        return 2
    if low is None:
        low = line.lower()
    if _shell_failure(low):
        return 2
    if "***" in line and _MAKE.match(line):
        return 1
    if not digits:
        return 0
    counted = _TOTAL_BEFORE_PARTS.sub(" ", low) if "problem" in low else low
    for match in _COUNTS.finditer(_LINE_SUCCESS_WORDS.sub(" ", counted)):
        if _numbers(match):
            return 1
    if "exit" in low or "code" in low or "status" in low:
        for match in _EXIT.finditer(low):
            if _numbers(match):
                return 1
    statuses = list(_HTTP.finditer(low)) if ("http" in low or "status" in low or "code" in low
                                             or "error" in low) else []
    found = _STATUS_LINE.match(line)
    for number in [_numbers(m) for m in statuses] + ([int(found.group(1))] if found else []):
        if number is not None and 400 <= number <= 599:
            return 1
    return 0


def _strip_flag(text: str) -> tuple[str, bool]:
    stripped = text.lstrip()
    if stripped.startswith(ERROR_FLAG):
        return stripped[len(ERROR_FLAG):].lstrip(), True
    return text, False


def outcome(text: str, reads: bool = False) -> str | None:
    """FAILED, PASSED or None (the output settles nothing) for a tool's output; ``reads``
    for the output of a command that only reads (or of a change, whose tool says that it
    failed first or last): only its error flag and its first and last lines count."""
    text, flagged = _strip_flag(text)
    if flagged:
        return FAILED
    if reads:
        # only the first and the last line: the text is not split
        edges = [line for line in (text.split("\n", 1)[0], text.rsplit("\n", 1)[-1])
                 if line.strip()]
        if any(_LEADING.match(line) or _shell_failure(line.lower()) for line in edges):
            return FAILED
        return None
    if _TRACEBACK_WORDS in text and _TRACEBACK.search(text):
        return FAILED
    if any(map(failure_line, text.split("\n"))):
        return FAILED
    low = text.lower()
    passes = _passes(low)
    if not passes and _ran_no_tests(low):
        return FAILED
    return PASSED if passes else None


# A test runner that found nothing to run: what it was asked to check was not checked.
_NO_TESTS = re.compile(r"\bno tests? (?:ran|run|found|collected|to run|files? found)\b|"
                       r"\bdid not match any (?:test )?files\b|\bno test (?:files|suites?) "
                       r"(?:found|matched)\b|\bno tests? (?:were )?(?:found|executed)\b|"
                       r"\[no test files\]", re.MULTILINE)


def _ran_no_tests(low: str) -> bool:
    return ("no test" in low or "did not match any" in low) and _NO_TESTS.search(low) is not None


def ran_no_tests(output: str) -> bool:
    """The output of a test runner that found nothing to run, and passed nothing."""
    low = output.lower()
    return _ran_no_tests(low) and not _passes(low)


# -- the line to quote ----------------------------------------------------------------

_FRAME = re.compile(r'^\s*File "([^"]+)", line (\d+)(?:, in (\S+))?')
_RUST_PANIC = re.compile(r"panicked at (?:'(.*)', )?(\S+?):?\s*$")
_RUST_AT = re.compile(r"^\s*-->\s*(\S+)")
_GO_LOCATION = re.compile(r"^\s+(/?\S+\.go:\d+)")
_TEST_LOCATION = re.compile(r"^\s+(\S+?\.\w+:\d+): (.+)")
_RAISED_AT = re.compile(r"^(\S+:\d+): (\w+)$")
_JEST_TEST = re.compile(r"^\s*● (.+)")
_COMPILER_ERROR = re.compile(r"error(?:\[\w+\])?: ")
_ESLINT_ERROR = re.compile(r"^\s+\d+:\d+\s+error\s")
_BLANK_DETAIL = re.compile(r"^\s*(?:at |\d+ \||>|\^|~|\|)")
QUOTE_LIMIT = 240


def _clip(text: str, limit: int = QUOTE_LIMIT) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3].rstrip() + "..."


def _after(lines: list[str], index: int, limit: int = 6) -> list[str]:
    """The non-empty lines after ``index``, at most ``limit``."""
    return [line for line in lines[index + 1:index + 1 + limit] if line.strip()]


def _traceback_quote(lines: list[str]) -> str | None:
    start = next((i for i, line in enumerate(lines) if _TRACEBACK.match(line)), None)
    if start is None:
        return None
    frame = None
    for index in range(start + 1, len(lines)):
        line = lines[index]
        found = _FRAME.match(line)
        if found:
            frame = found
            continue
        if line.startswith((" ", "\t")) or not line.strip():
            continue
        where = ""
        if frame is not None:
            where = f" (at {frame.group(1)}:{frame.group(2)}"
            where += f", in {frame.group(3)})" if frame.group(3) else ")"
        return line.strip() + where
    return None


def _panic_quote(lines: list[str]) -> str | None:
    for index, line in enumerate(lines):
        if _PANICKED.search(line):
            found = _RUST_PANIC.search(line)
            if found is None:
                return line.strip()
            message, where = found.group(1), found.group(2)
            if message is None:
                rest = _after(lines, index, 2)
                message = rest[0].strip() if rest else ""
            return f"panicked: {message} (at {where})" if message else line.strip()
        if line.startswith("panic: "):
            where = next((m.group(1) for m in map(_GO_LOCATION.match, lines[index + 1:])
                          if m), None)
            return line.strip() + (f" (at {where})" if where else "")
    return None


def _go_test_quote(lines: list[str]) -> str | None:
    for index, line in enumerate(lines):
        if line.lstrip().startswith("--- FAIL:"):
            detail = next((m for m in map(_TEST_LOCATION.match, lines[index + 1:index + 6])
                           if m), None)
            head = line.strip().split(" (")[0]
            return f"{head}: {detail.group(1)}: {detail.group(2)}" if detail else head
    return None


def _jest_quote(lines: list[str]) -> str | None:
    for index, line in enumerate(lines):
        found = _JEST_TEST.match(line)
        if found:
            details = [d.strip() for d in _after(lines, index, 8)
                       if not _BLANK_DETAIL.match(d)
                       and not d.lstrip().startswith(("Tests:", "Test Suites:"))][:3]
            return "● " + found.group(1).strip() + (": " + "; ".join(details) if details else "")
    return None


def _compiler_quote(lines: list[str]) -> str | None:
    for index, line in enumerate(lines):
        if ":" not in line:  # each shape below needs one
            continue
        stripped = line.strip()
        if _COMPILER_ERROR.match(stripped) and \
                not stripped.startswith(("error: could not compile", "error: aborting")):
            where = next((m.group(1) for m in map(_RUST_AT.match, lines[index + 1:index + 4])
                          if m), None)
            return stripped + (f" (at {where})" if where else "")
        if _LOCATED.match(line):
            if _ESLINT_ERROR.match(line):  # eslint: the file is above
                file = next((x.strip() for x in reversed(lines[:index])
                             if x.strip() and not x.startswith((" ", "\t"))), "")
                return f"{file}:{stripped}" if file else stripped
            return stripped
    return None


# Each finder with the text that any line it finds holds: an output without it is not read.
_FINDERS = ((_TRACEBACK_WORDS, _traceback_quote), ("panic", _panic_quote),
            ("--- FAIL:", _go_test_quote), ("● ", _jest_quote))


def quote(text: str) -> str:
    """The line of a failed output that a person would quote: a traceback's final exception
    line with the frame that raised it, a panic's message with its location, a compiler's
    first error with its location, a failed test with its message; else the strongest
    failure line (the first of equals), else the last line. A test run that found nothing
    to run says so too."""
    said = _quote(text)
    low = text.lower()
    if "no test" in low or "did not match any" in low:
        none_ran = _NO_TESTS.search(low)
        if none_ran is not None and _NO_TESTS.search(said.lower()) is None and \
                not _passes(low):
            start = low.rfind("\n", 0, none_ran.start()) + 1
            end = low.find("\n", none_ran.end())
            line = text[start:end if end >= 0 else len(text)].strip()
            said = _clip(f"{said} ({line})")
    return said


def _quote(text: str) -> str:
    text, _ = _strip_flag(text)
    lines = text.split("\n")
    for marker, finder in _FINDERS:
        found = finder(lines) if marker in text else None
        if found:
            return _clip(found)
    ranked: list[tuple[int, bool, bool, int, str]] = []
    # (level, a failure's own line, specific, -index, line)
    statuses = [i for i, line in enumerate(lines) if _STATUS_ONLY.match(line)]
    if statuses and len(statuses) < sum(1 for line in lines if line.strip()):
        # a line that only gives the exit status says less than any other: the failure's
        # own words are quoted
        lines = [("" if i in statuses else line) for i, line in enumerate(lines)]
    for index, line in enumerate(lines):
        level = failure_line(line)
        own = level > 0
        if level == 3 and _EXCEPTION.match(line):
            level = 4  # an exception names the fault itself
        elif level < 2 and ":" in line and _DIAGNOSTIC.match(line):  # it needs a colon
            level = 2
        if level:
            ranked.append((level, own, _specific(line), -index,
                           line.strip()))
    compiled = _compiler_quote(lines)
    if compiled and not any(r[0] == 4 for r in ranked):
        return _clip(compiled)
    if ranked:
        ranked.sort(reverse=True)
        best = ranked[0]
        if not best[2] or best[0] < 2:
            # a line that names no cause ("npm ERR! code E404", "HTTP/1.1 500 ..."): the
            # first line that does is quoted with it
            cause = next((r for r in sorted(ranked, key=lambda r: -r[3])
                          if r[2] and r is not best), None)
            if cause is None:
                others = ((i, x.strip()) for i, x in enumerate(lines)
                          if x.strip() and x.strip() != best[4] and _specific(x))
                explained = next(((i, x) for i, x in others if _EXPLAINS.search(x)), None)
                cause = (0, False, True, -explained[0], explained[1]) if explained else None
            if cause is not None:
                first, second = sorted((best, cause), key=lambda r: -r[3])
                return _clip(f"{first[4]} {second[4]}")
        line = best[4]
        if best[0] == 4 and line.startswith("E "):
            # pytest's exception line, and the place it names after it
            line = line[1:].strip()
            name = line.split(":", 1)[0].rsplit(".", 1)[-1]
            where = next((m.group(1) for m in map(_RAISED_AT.match, lines[-best[3] + 1:])
                          if m and m.group(2) == name), None)
            if where:
                line += f" (at {where})"
        return _clip(line)
    low = text.lower()
    none_ran = _NO_TESTS.search(low) if _ran_no_tests(low) else None
    if none_ran is not None:  # the line that says nothing was tested
        return _clip(lines[low.count("\n", 0, none_ran.start())])
    # the last line that says something: a harness's closing tag (`</output>`) does not
    last = next((line for line in reversed(lines) if line.strip()
                 and not _TAG_LINE.match(line)), "")
    return _clip(last)


_TAG_LINE = re.compile(r"^\s*</?[a-z_]+>\s*$")
_STATUS_ONLY = re.compile(
    r"(?i)^\s*(?:\[error\]\s*)?(?:exit code|exit status|exit_code|process exited with code|"
    r"command (?:failed|exited) with (?:exit )?code|return ?code)\s*[:=]?\s*-?\d+\.?\s*$")


# -- commands: which check, which change, which read -------------------------------------

class Command(NamedTuple):
    program: str  # the check's name: program and subcommand, `python -m pytest` as pytest
    targets: frozenset[str]  # the paths or test ids it was given


_SHELL_TOOLS = frozenset({"shell", "run", "bash", "sh", "exec", "execute", "terminal",
                          "command", "run_command", "run_shell", "shell_command", "cmd",
                          "run_terminal_cmd", "execute_command", "local_shell", "computer"})

# Steps of a command line that only set up or report: the step that does the work is
# another one.
_SETUP = frozenset({"cd", "export", "source", ".", "echo", "printf", "true", "set", "exit"})
_PATHISH = re.compile(r"[/\\]|::|\.\w{1,5}$|^Test\w|^test_\w")


_SHELL_ARGUMENT = re.compile(  # after the kind of action some shells are given first
    r"\s*(?:type=\w+, )?(?:cmd|command|script|input|code|commands?|argv|args|line)\s*=\s*"
    r"(.*?)(?:, (?:timeout|cwd|workdir|env|description|restart|is_background|shell)=.*)?\s*$",
    re.DOTALL)



@functools.lru_cache(maxsize=256)
def is_shell(name: str) -> bool:
    """The tool runs a command line: a known agent's shell tool, or one named like one."""
    row = tools.lookup(name)
    if row is not None:
        return row.kind == tools.RUN and bool(row.command)
    low = name.lower()
    return low in _SHELL_TOOLS or low.endswith(("shell", "bash", "command", "terminal"))


def shell_command(name: str, arguments: str) -> str | None:
    """The command line of a call to a shell-like tool, from the brief of its arguments
    (``cmd=make test, timeout=60``), or None for another tool."""
    if not is_shell(name):
        return None
    found = _SHELL_ARGUMENT.match(arguments)
    command = found.group(1) if found else arguments
    command = command.strip()
    if command.startswith("["):  # an argv list, in its display form
        script = _ARGV_SHELL.match(command)
        if script is not None:  # a shell given a script: the script, its escapes read
            command = script.group(2).replace("\\n", "\n").replace("\\t", "\t") \
                .replace("\\'", "'").replace('\\"', '"').replace("\\\\", "\\")
        elif command.endswith("]"):
            command = " ".join(part.strip(" '\"") for part in command[1:-1].split(","))
    return command or None


_ARGV_SHELL = re.compile(r"^\[\s*['\"](?:/\S*/)?(?:ba|z|da)?sh['\"]\s*,\s*['\"]-l?c['\"]\s*,\s*"
                         r"(['\"])(.*?)(?:\1\s*\])?$", re.DOTALL)


def _steps(command: str) -> list[list[str]]:
    """The words of each step of a command line that does something (not `cd x`, `echo`
    or other set-up), without environment settings, `sudo` or `timeout N` in front; what
    a step pipes into is how it is shown, not what it runs."""
    out = []
    for simple in shell.simple_commands(command):
        if simple.piped:
            continue
        words = shell.bare(simple.words)
        if words and words[0] not in _SETUP:
            out.append(words)
    return out


def _command(words: list[str]) -> Command:
    program = words[0].rsplit("/", 1)[-1] if not words[0].startswith("./") else words[0]
    rest = words[1:]
    if programs.PYTHON.fullmatch(program) and len(rest) >= 2 and rest[0] == "-m":
        program, rest = rest[1], rest[2:]
        if program == "unittest":
            rest = [w for w in rest if w != "discover"]
    elif program in ("python", "python3") and rest and rest[0].endswith("manage.py"):
        program, rest = f"manage.py {rest[1] if len(rest) > 1 else ''}".strip(), rest[2:]
    elif program in programs.SUBCOMMANDS and rest:
        sub = next((w for w in rest if not w.startswith("-")), "")
        if sub:
            rest = rest[rest.index(sub) + 1:]
            if program in ("npm", "yarn", "pnpm", "bun") and sub == "run" and rest:
                sub, rest = f"run {rest[0]}", rest[1:]
            program = f"{program} {sub}"
    targets = []
    value = False
    for word in rest:
        if value:  # the option's value names what is checked
            targets.append(word.rstrip("/"))
            value = False
        elif word in ("-C", "-f", "--manifest-path", "-p", "--package", "-k", "-m", "-run",
                      "--filter", "-t", "--testNamePattern", "--workspace", "-w"):
            value = True
        elif not word.startswith("-") and _PATHISH.search(word):
            targets.append(word.rstrip("/"))
    return Command(program, frozenset(targets))




def commands_of(command: str) -> list[Command]:
    """The checks, reads and changes a command line runs, step by step: each one's program
    (with the subcommand for tools that have them; `python -m X` as X) and the targets it
    names."""
    return [_command(words) for words in _steps(command)]


def command_of(command: str) -> Command:
    """The check a command line runs: its last step that is a check, else its last step."""
    return kinds(command).command


@functools.lru_cache(maxsize=1024)
def _program_kind(program: str) -> tuple[bool, bool, bool]:
    """(a check, a read, a change) by the program's name alone: a conversation runs a few
    programs many times."""
    return (bool(programs.CHECKS.match(program)), programs.reads(program),
            bool(programs.CHANGES.match(program)))


def is_check(command: Command) -> bool:
    """The command runs a check: tests, a build, a linter, a type checker, an audit, an
    HTTP request."""
    return _program_kind(command.program)[0]


def is_read(command: Command, line: str = "") -> bool:
    """The command only reads (``line``, the command line, tells `sed -i` apart)."""
    if command.program == "sed":
        return " -i" not in line
    return _program_kind(command.program)[1]


def is_change(command: Command, line: str = "") -> bool:
    """The command changes files or the world: a commit, an install, a migration, a
    deployment, an edit in place."""
    if command.program == "sed":
        return " -i" in line
    return _program_kind(command.program)[2]


class Kinds(NamedTuple):
    command: Command  # the check it runs: its last step that is a check, else its last
    reads: bool  # every step only reads
    changes: bool  # a step changes files or the world


@functools.lru_cache(maxsize=1024)
def kinds(line: str) -> Kinds:
    """What a command line does, read once: the check it runs, whether it only reads and
    whether it changes something."""
    steps = commands_of(line)
    writes = any(simple.written for simple in shell.simple_commands(line))
    if not steps:
        return Kinds(Command("", frozenset()), False, writes)
    changes = writes or any(is_change(step, line) for step in steps)
    reads = not changes and all(is_read(step, line) for step in steps)
    command = next((step for step in reversed(steps) if is_check(step)), steps[-1])
    return Kinds(command, reads, changes)


_READ_TOOLS = re.compile(
    r"(?i)^(?:read|read_?file|open_?file|view|view_?file|cat|get_?file|file_?read|"
    r"grep|search|search_?files?|find|find_?files?|glob|list|list_?dir|ls|list_?files|"
    r"git_?log|git_?show|git_?diff|git_?status|fetch_?url|web_?fetch|web_?search|"
    r"read_?many_?files|codebase_?search|semantic_?search|lookup|query_?docs|str_replace_"
    r"based_edit_tool_view)$")
_CHANGE_TOOLS = re.compile(
    r"(?i)(?:edit|write|patch|apply|create|replace|insert|append|delete|remove|rename|move|"
    r"mkdir|save|update|install|commit|push|deploy|migrate|merge|str_replace)")


@functools.lru_cache(maxsize=256)
def tool_reads(name: str) -> bool:
    """The tool only reads (a file, a folder, a search)."""
    return bool(_READ_TOOLS.match(name))


@functools.lru_cache(maxsize=256)
def tool_changes(name: str) -> bool:
    """The tool changes files or the world (an edit, a write, an install, a deployment)."""
    return not tool_reads(name) and bool(_CHANGE_TOOLS.search(name))


def covers(passing: Command, failing: Command, failed_tests: frozenset[str]) -> bool:
    """A passing run of ``passing`` settles the failure of ``failing``: the same check, run
    on everything or on all that failed (the targets the failure was run on, or the tests
    it named)."""
    if not passing.program or passing.program != failing.program:
        return False
    if not passing.targets:
        return True
    scope = failing.targets or failed_tests
    if not scope:
        return False
    return all(any(item == t or item.startswith(t.rstrip("/") + "/") or item.startswith(t + "::")
                   for t in passing.targets) for item in scope)


_FAILED_TEST = re.compile(
    r"^\s*(?:FAILED|ERROR)\s+(\S+::\S+)|^\s*--- FAIL: (\w+)|^\s*FAIL:? (\S+\.\w+)\b"
    r"|^\s*(?:FAIL|ERROR): (\w+) \(", re.MULTILINE)


def failed_tests(text: str) -> frozenset[str]:
    """The tests an output names as failed (pytest ids, go and unittest test names, jest
    files)."""
    found = set()
    for match in _FAILED_TEST.finditer(text):
        found.add(next(g for g in match.groups() if g))
    return frozenset(found)


_PATH_IN = re.compile(r"(?:^|[\s'\"(=])((?:[\w.-]+/)*[\w.-]+\.[A-Za-z]{1,6})(?=[:\s'\"),]|$)")


def paths_in(text: str) -> frozenset[str]:
    """The file paths a text names (``src/ledger.cpp``, ``app/models.py``)."""
    if "." not in text:
        return frozenset()
    found = set()
    for match in _PATH_IN.finditer(text):
        path = match.group(1)
        if not path.replace(".", "").isdigit():  # a version or a number, not a path
            found.add(path.lstrip("./"))
    return frozenset(found)
