"""The skim of a long tool output: which of its lines name a failure."""
import pathlib
import sys

import pytest

pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

try:
    from morvex_summarize.condense import carry
except ImportError:  # package not installed: use the source tree
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "python"))
    from morvex_summarize.condense import carry

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
    assert carry._failing_lines(lines) == expected
