"""Text checks on the C++ sources for pairing rules the compiler cannot see."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
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
    """The recursion guard is entered only by the scope type whose destructor leaves it,
    so every path out of a guarded call leaves again."""
    code = code_of(path)
    enters = re.findall(r"Py_EnterRecursiveCall\(", code)
    leaves = re.findall(r"Py_LeaveRecursiveCall\(", code)
    if path.name != "runtime.hpp":
        assert not enters and not leaves, f"{path}: use RecursionScope"
        return
    scope = re.search(r"class RecursionScope \{(.*?)\n\};", code, re.S).group(1)
    assert len(enters) == len(leaves) == 1
    assert "Py_EnterRecursiveCall(" in scope.split("~RecursionScope")[0]
    destructor = scope.split("~RecursionScope")[1].split("}")[0]
    assert "if (entered_) Py_LeaveRecursiveCall();" in destructor


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: str(p.relative_to(SRC)))
def test_no_goto_cleanup_and_paired_fetch(path):
    code = code_of(path)
    assert not re.search(r"\bgoto\b", code), f"{path}: use the reference handles, not goto"
    fetches = len(re.findall(r"\bPyErr_Fetch\(", code))
    restores = len(re.findall(r"\bPyErr_Restore\(", code))
    assert fetches == restores, f"{path}: {fetches} PyErr_Fetch, {restores} PyErr_Restore"


def test_sources_are_formatted():
    here = os.path.join(os.path.dirname(sys.executable), "clang-format")
    tool = here if os.path.exists(here) else shutil.which("clang-format")
    if tool is None:
        pytest.skip("clang-format is not installed")
    result = subprocess.run([tool, "--dry-run", "--Werror", *map(str, SOURCES)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-3000:]


def table_texts():
    """(name, text) of every entry of the module's table of strs."""
    table = (SRC / "binding" / "strings.hpp").read_text(encoding="utf-8")
    ids = re.search(r"#define SMZ_IDENTIFIERS\(X\)(.*?)\n// clang-format on", table, re.S).group(1)
    texts = re.search(r"#define SMZ_TEXTS\(X\)(.*?)\n\n", table, re.S).group(1)
    entries = [(name, name) for name in re.findall(r"\bX\((\w+)\)", ids)]
    entries += [(name, bytes(text, "ascii").decode("unicode_escape"))
                for name, text in re.findall(r'\bX\((\w+), "((?:[^"\\]|\\.)*)"\)', texts)]
    return entries


@pytest.mark.parametrize("rule", ["one entry per text", "no str constant outside the table"])
def test_each_text_has_one_home(rule):
    if rule == "one entry per text":
        entries = table_texts()
        assert len(entries) > 90
        seen = {}
        for name, text in entries:
            assert text not in seen, f"{text!r} is both kStr.{seen[text]} and kStr.{name}"
            seen[text] = name
        return
    for path in SOURCES:
        if path.name in ("strings.hpp", "strings.cpp"):
            continue
        code = code_of(path)
        assert not re.search(r"\bConstStr\s+\w+\s*[{=(]", code), f"{path}: a str outside kStr"
        assert not re.search(r'PyUnicode_(Intern)?FromString\("', code), \
            f"{path}: a literal str made outside kStr"
