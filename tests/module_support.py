"""Checks the module's tests share: leaks, traceback entries, expected exceptions."""
import gc
import sys

import pytest


def leak_check(fn, repeat=2000, warmup=200, slack=30):
    """Runs fn many times and asserts that the allocated block count returns to its
    start. Exceptions raised by fn are expected to be caught by fn itself."""
    for _ in range(warmup):
        fn()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(repeat):
        fn()
    gc.collect()
    after = sys.getallocatedblocks()
    assert after - before <= slack, f"{after - before} blocks left after {repeat} calls"


def tb_entries(exc):
    """(function name, line) of each traceback entry in the module's source file."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "morvex/core/summarizer.py":
            out.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


def raises_with(fn, exc_type):
    """Calls fn, which must raise exc_type; returns the exception."""
    with pytest.raises(exc_type) as info:
        fn()
    return info.value
