"""The offline extractive client's time grows in step with the transcript: a conversation of
a hundred thousand messages must not take minutes."""

import time

import pytest

from morvex_summarize.carry import LIMITS
from morvex_summarize.clients.extractive import summarize_transcript


def many_entries(n):
    """Distinct requests, calls and results: every summary list sees n new items."""
    return "\n".join(f"[User]: please look at part {i}?\n"
                     f"[Assistant called read_file]: {{\"path\": \"src/part{i}.py\"}}\n"
                     f"[Tool Result (call_{i})]: part {i}: {i} tests passed" for i in range(n))


def long_entry(n):
    """One tool result of n lines, which fails at its end."""
    return "[Tool Result (call_1)]: first line\n" + "\n".join(
        f"line {i} of the output" for i in range(n)) + f"\nerror: step {n} failed"


def fastest(transcript, runs=3):
    """The best of a few runs: a busy machine slows some runs down, never speeds one up."""
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        summary = summarize_transcript(transcript)
        best = min(best, time.perf_counter() - started)
    return best, summary


@pytest.mark.parametrize("make,n,last", [
    (many_entries, 1500, ("key_facts", "part 5999: 5999 tests passed")),
    (long_entry, 10000, ("blockers", "`call_1` failed: error: step 40000 failed")),
])
def test_four_times_the_transcript_takes_about_four_times_as_long(make, n, last):
    # Measured in turns, so that a stretch of a busy machine (the suite runs on every
    # core) slows both sizes alike.
    small = large = float("inf")
    for _ in range(3):
        small = min(small, fastest(make(n), runs=2)[0])
        took, summary = fastest(make(4 * n), runs=2)
        large = min(large, took)
    key, item = last
    assert summary[key][-1].endswith(item) and len(summary[key]) <= LIMITS[key]
    # Linear growth gives about 4; squared growth gives 16.
    assert large / small < 8, f"4x the transcript took {large / small:.1f}x as long"
