"""Text checks on the C++ sources for pairing rules the compiler cannot see."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
SOURCES = sorted(SRC.rglob("*.cpp")) + sorted(SRC.rglob("*.hpp"))


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def code_of(path):
    return strip_comments(path.read_text(encoding="utf-8"))


def test_sources_found():
    assert len(SOURCES) > 10


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: str(p.relative_to(SRC)))
def test_recursion_guard_is_always_left(path):
    code = code_of(path)
    for match in re.finditer(r"Py_EnterRecursiveCall\([^;]*\)\)\s*return[^;]*;", code):
        # after a successful enter, the code up to the next return must leave again
        rest = code[match.end():]
        upto_return = rest[: rest.find("return")]
        assert "Py_LeaveRecursiveCall()" in upto_return, f"{path}: unpaired enter"
    enters = len(re.findall(r"Py_EnterRecursiveCall\(", code))
    leaves = len(re.findall(r"Py_LeaveRecursiveCall\(", code))
    assert enters == leaves, f"{path}: {enters} enters, {leaves} leaves"


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: str(p.relative_to(SRC)))
def test_no_goto_cleanup_and_paired_fetch(path):
    code = code_of(path)
    assert not re.search(r"\bgoto\b", code), f"{path}: use the reference handles, not goto"
    fetches = len(re.findall(r"\bPyErr_Fetch\(", code))
    restores = len(re.findall(r"\bPyErr_Restore\(", code))
    assert fetches == restores, f"{path}: {fetches} PyErr_Fetch, {restores} PyErr_Restore"
