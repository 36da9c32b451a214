"""Checks the module's tests share: leaks, traceback entries and the source lines they
name, expected exceptions."""
import functools
import gc
import pathlib
import re
import sys

import pytest

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"


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


def line_table():
    """(function, step, line) of each entry of the subsystems' tables of source lines,
    src/*/lines.hpp, in the order they are written."""
    entries = []
    for path in sorted(SRC.glob("*/lines.hpp")):
        header = path.read_text(encoding="utf-8")
        block = re.search(r"#define SMZ_\w+_LINES\(X\)(.*?)\n// clang-format on", header, re.S)
        block = re.sub(r"/\*.*?\*/", "", block.group(1), flags=re.S)
        entries += [(function, step, int(line))
                    for function, step, line in re.findall(r"\bX\((\w+), (\w+), (\d+)\)", block)]
    return entries


@functools.cache
def _lines():
    return {(function, step): line for function, step, line in line_table()}


def source_line(function, step):
    """The line the module gives a step of a function, as its table writes it:
    source_line("parse_summary", "kLoads")."""
    return _lines()[function, step]


def raises_with(fn, exc_type):
    """Calls fn, which must raise exc_type; returns the exception."""
    with pytest.raises(exc_type) as info:
        fn()
    return info.value


def stable_id(value):
    """A test id from a value's repr without the addresses in it, the same in every
    process (pytest-xdist's workers must collect the same ids)."""
    import re

    return re.sub(r" at 0x[0-9a-fA-F]+", "", repr(value))
