"""The skim of a long tool output: which of its lines name a failure."""
import pathlib
import re
import sys

import pytest

pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

try:
    from morvex_summarize.session import evidence
    from morvex_summarize import carry
except ImportError:  # package not installed: use the source tree
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "python"))
    from morvex_summarize.session import evidence
    from morvex_summarize import carry

# Words of a failure, words that hold one without being one, and characters whose lower
# case is longer or depends on what follows.
_PIECES = ["error", "Errors", "ERROR", "failed", "failure", "fatal", "panic", "denied",
           "not found", "not  found", "timed out", "time out", "timeout", "conflict",
           "cannot", "exception", "traceback", "terror", "errored", "unfailed", "x_error",
           "İ", "ΑΣ", "ß", " ", "  ", "\t", ":", "/", "-", "8080", "ok", "build", "é"]


@settings(max_examples=400, deadline=None)
@given(st.lists(st.lists(st.sampled_from(_PIECES), max_size=8).map("".join), max_size=12))
def test_lines_found_in_one_pass_are_those_graded_as_failures(lines):
    # A skim finds the failing lines of an output in one pass over its text; they must be
    # the lines that grading each one alone calls failures.
    expected = {i for i, line in enumerate(lines) if carry.grade(line.rstrip()) == 4}
    assert evidence.lines_with(carry._FAILURE_WORDS, "\n".join(lines).lower()) == expected


# Lines of tool outputs: failures in each wording `evidence.failure_line` knows, and lines
# that only look like them, with places, ids and plain text among them.
_LINE_PIECES = ["error: x", "Error", "ERROR", "mirror", "failed", "Failed to connect",
                "2 failed", "0 failed", "no errors", "failures=1", "exit code 1",
                "exit status 0", "returncode=2", "return code 3", "HTTP/1.1 503",
                '"status": 502', "response code 500", "status: 404",
                "404 Not Found", "503 Service Unavailable", "200 Ok", "make: *** [all] 2",
                "make[1]: *** [all] Error 2", "app.py:3:4 E501",
                "src/x.c:3:5: error: y", "Traceback", "panicked at", "Killed", "Aborted",
                "ValueError: bad", "npm ERR!", "FAIL", "--- FAIL: TestX", "✗ ", "timed out",
                "PERMISSION DENIED", "No such file or directory", "3 problems",
                "localhost:8080", "/usr/lib/x", "https://a.io/b", "v1.2.3", "12 tests",
                "JIRA-12", "deadbeef12", "12345", "src/a.py", "2024-01-02 10:11:12",
                "12:00:00", "2024-01-02", "5 12:00:00 tests", "a1b2c3d", "~/x/y", "../a/b",
                "listen 80", "(=/a/b", "db.internal:5432", "app.py:12", "SPORT", "--",
                "curl: (52) Empty reply", "make: *** No rule", "***",
                "2024-01-02 10:11:12:8080", "10:11:12:443", "http://h:80/x", "@db:5432",
                "a/host:80", "=10.0.0.1:6379", "x:1", "PORT=5432",
                "İ", "K", "ok", "done", " ", "  ", "\t", ":", "7", "word", "port 5432"]
_LINE = st.one_of(st.sampled_from(_LINE_PIECES),
                  st.lists(st.sampled_from(_LINE_PIECES), max_size=5).map(" ".join))


def _plain_excerpt(text, limit):
    # Every line between the first and the last graded, ranked best first (the last first
    # among equals) and taken while they fit.
    if len(text) <= limit:
        return text
    first_end, last_start = text.find("\n"), text.rfind("\n") + 1
    if first_end < 0 or last_start <= first_end:
        return text[:limit - 3] + "..."
    first, last = text[:first_end].rstrip(), text[last_start:].rstrip()
    room = limit - len(first) - len(last) - 2
    lines = text[first_end + 1:last_start - 1].split("\n")[-carry.EXCERPT_LINES:]
    ranked = []
    for index, line in enumerate(lines):
        line = line.rstrip()
        if line and len(line) < room:
            worth = 4 if evidence.failure_line(line) else carry.grade(line)
            if worth:
                ranked.append((worth, index, line))
    picked = []
    for _, index, line in sorted(ranked, reverse=True):
        if len(line) + 1 <= room:
            picked.append((index, line))
            room -= len(line) + 1
            if room < 16:
                break
    out = "\n".join(p for p in [first, *(line for _, line in sorted(picked)), last] if p)
    return out if len(out) <= limit else out[:limit - 3] + "..."


@settings(max_examples=500, deadline=None)
@given(st.lists(_LINE, min_size=1, max_size=25), st.sampled_from(["", "$ make"]),
       st.sampled_from([40, 80, 200, 500]))
def test_skim_keeps_the_lines_a_full_ranking_keeps(lines, first, limit):
    text = "\n".join([first, *lines, "done"])
    assert carry.excerpt.__wrapped__(text, limit) == _plain_excerpt(text, limit)


@settings(max_examples=500, deadline=None)
@given(st.lists(st.tuples(_LINE, st.sampled_from(["", " ", "\r", "\t "])).map("".join),
                max_size=25))
def test_every_failing_line_is_among_those_that_may_fail(lines):
    # A long output is read for failures only at the lines a few searches over it find.
    text = "\n".join(lines)
    failing = {i for i, line in enumerate(lines) if evidence.failure_line(line)}
    assert failing <= (evidence.lines_holding(evidence.FAILURE_HINTS, text.lower())
                       | evidence.lines_with(evidence.FAILURE_SHAPES, text))


@settings(max_examples=500, deadline=None)
@given(st.lists(_LINE, min_size=1, max_size=6).map(" ".join), st.sampled_from(["", " ", "\r"]))
def test_a_line_without_a_hint_is_passed_over_only_if_reading_it_whole_agrees(line, end):
    # failure_line stops at a line with no hint word and no failure shape: reading every
    # such line whole must find no failure in it either.
    line += end
    assert evidence.failure_line.__wrapped__(line) == \
        evidence._failure_level(line, evidence._DIGIT.search(line) is not None)


@settings(max_examples=500, deadline=None)
@given(st.lists(st.one_of(_LINE, st.sampled_from(["٣", "²", "x٣y", "é/", "ü:", "'a'", '"b"',
                                                  "`c`", "ValueError: no such key"])),
                max_size=8).map("\n".join))
def test_a_line_is_searched_only_for_what_its_characters_allow(text):
    # An output is read line by line for facts only if it has a digit, a slash or a colon,
    # and a failed one's lines for their shapes only if they have the characters those need.
    assert evidence.has_digit(text) == (re.search(r"\d", text) is not None)
    assert carry.may_mark(text) == (re.search(r"[\d/:]", text) is not None)
    lines = text.split("\n")
    if not carry.may_mark(text):
        assert all(carry.grade(line.strip()) in (0, 4) for line in lines)
    for line in lines:
        assert evidence._specific(line) == (evidence._SPECIFIC.search(line) is not None)
        if not evidence.has_digit(line):
            assert not evidence.FAILURE_SHAPES.search(line)
            if evidence._STRONG.match(line):
                assert evidence._may_be_strong(line)
        if ":" not in line:
            assert not (evidence._LOCATED.match(line) or evidence._DIAGNOSTIC.match(line)
                        or evidence._COMPILER_ERROR.match(line.strip()))


_ONE_PATTERN_PASSED = re.compile(r"\bpassed\b|^\s*(?:ok|pass|✓|√|done)\b"
                                 r"|^\s*\[\s*(?:passed|ok)\s*\]|\bhttp/[\d.]+\s+[23]\d\d\b",
                                 re.MULTILINE)
_PASS_PIECES = ["passed", "bypassed", "ok", "  ok", "okay", "pass", "passing", "✓", "√ x",
                "done", "[ ok ]", "[passed]", "http/1.1 200", "http/2 302", "http/1.1 500",
                "0 failed", "no errors", "no such", "failures=0", "errors: 0", "errors: 10",
                "finished", "target", "\n", "\n\n", " ", "\t", "x", "10 "]


@settings(max_examples=500, deadline=None)
@given(st.lists(st.sampled_from(_PASS_PIECES), max_size=10).map("".join))
def test_success_is_read_as_one_pattern_would(low):
    # The words of a passing run are looked for by parts, each where it may be.
    zero = any((m.group(1) or m.group(2)) in (None, *evidence._ZERO_OF)
               for m in evidence._ZERO.finditer(low))
    words = any(w in low for w in evidence._SUCCESS_WORDS) or \
        ("finished" in low and "target" in low)
    assert evidence._passes(low) == (words or zero or bool(_ONE_PATTERN_PASSED.search(low)))
