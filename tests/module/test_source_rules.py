"""Text checks on the C++ sources for pairing rules the compiler cannot see."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
from module_support import line_table

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


LITERAL = r'"(?:[^"\\\n]|\\.)*"'
TEXT_ENTRY = rf"\bX\((\w+),((?:\s*{LITERAL})+)\)"


def unescape(text):
    return bytes(text, "ascii").decode("unicode_escape")


def text_entries(block):
    """(name, text) of each X(name, "text") entry of a table, a text written in pieces
    joined as the compiler joins them."""
    block = strip_comments(block).replace("\\\n", "\n")
    return [(name, "".join(unescape(piece[1:-1]) for piece in re.findall(LITERAL, pieces)))
            for name, pieces in re.findall(TEXT_ENTRY, block)]


def subsystem_tables():
    """{subsystem: (table object, [(name, text)])} of each subsystem's table of texts."""
    tables = {}
    for path in sorted(SRC.glob("*/texts.hpp")):
        header = path.read_text(encoding="utf-8")
        block = re.search(r"#define SMZ_\w+_TEXTS\(X\)(.*?)\n// clang-format on", header, re.S)
        table = re.search(r"extern \w+ (k\w+);", header).group(1)
        tables[path.parent.name] = (table, text_entries(block.group(1)))
    return tables


def table_texts():
    """(name, text) of every entry of the module's tables of texts: the runtime's strs,
    each subsystem's and the runtime's C texts."""
    table = (SRC / "binding" / "strings.hpp").read_text(encoding="utf-8")
    ids = re.search(r"#define SMZ_IDENTIFIERS\(X\)(.*?)\n// clang-format on", table, re.S).group(1)
    texts = re.search(r"#define SMZ_TEXTS\(X\)(.*?)\n\n", table, re.S).group(1)
    entries = [(f"kStr.{name}", name) for name in re.findall(r"\bX\((\w+)\)", ids)]
    entries += [(f"kStr.{name}", text) for name, text in text_entries(texts)]
    for table_name, own in subsystem_tables().values():
        entries += [(f"{table_name}.{name}", text) for name, text in own]
    c_texts = (SRC / "binding" / "c_texts.hpp").read_text(encoding="utf-8")
    block = re.search(r"#define SMZ_C_TEXTS\(X\)(.*?)\n// clang-format on", c_texts, re.S)
    return entries + [(f"kCText.{name}", text) for name, text in text_entries(block.group(1))]


# Where a C string literal may stand outside the tables' headers (and comments). Any
# other text lives in a table: a str in strings.hpp or a subsystem's texts.hpp, a char
# array in binding/c_texts.hpp or beside its subsystem's table.
#   message      an argument of a call that raises a message (the host's, and the
#                helpers that hand theirs on), written where it is raised, its format
#                beside its arguments, as the host writes its own; it repeats no text
#                of a table
#   description  the names and docs that describe a function or a type to the host: a
#                FunctionSpec (SMZ_QUALNAME) and its parameter, local and annotation
#                arrays, a type's tp_name and its method, getset and member rows, the
#                module definition
#   include      an #include path
# and the empty literal, which holds no text.
TABLE_HEADERS = ("strings.hpp", "texts.hpp", "c_texts.hpp")
MESSAGE_CALLS = {"PyErr_SetString", "PyErr_Format", "PyErr_WarnFormat", "PyUnicode_FromFormat",
                 "raise_count_error", "set_default_field", "set_str_field"}
DESCRIPTION = (r"\b(FunctionSpec|Param|Annotation|PyMethodDef|PyGetSetDef|PyMemberDef|PyModuleDef)"
               r" \w+( \[ \])? =$|\bchar \* k\w*Locals \[ \] =$")
TOKEN = rf"(?m:^[ \t]*#.*(?:\\\n.*)*)|{LITERAL}|'(?:[^'\\\n]|\\.)*'|\w+|\S"


def placed_literals(code):
    """(literal, kind) of each C string literal of the code, comments removed: the kind
    of place it stands in (see above), None for any other."""
    found, frames, head = [], [], []  # frames: the kind of each open ( and {
    for token in re.findall(TOKEN, code):
        if token.startswith("#"):
            kind = ("include" if re.match(r"#\s*include\b", token) else
                    "description" if re.match(r"#\s*define SMZ_QUALNAME\b", token) else None)
            found += [(literal, kind) for literal in re.findall(LITERAL, token)]
            head = []
        elif token.startswith('"'):
            kinds = [kind for kind in frames if kind]
            in_place = kinds[-1] if kinds else None
            if re.search(r"\btp_name =$", " ".join(head)):
                in_place = "description"
            found.append((token, in_place))
            head.append(token)
        elif token == "(":
            frames.append("message" if head and head[-1] in MESSAGE_CALLS else None)
            head.append(token)
        elif token == "{":
            frames.append("description" if re.search(DESCRIPTION, " ".join(head)) else None)
            head = []
        elif token in ")}":
            frames.pop()
            head = head + [token] if token == ")" else []
        elif token == ";":
            head = []
        else:
            head.append(token)
    return found


def misplaced_literals(code, table_texts):
    """The literals of the code that stand where no text may, or repeat a table's text."""
    return [literal for literal, kind in placed_literals(code)
            if literal != '""' and (kind is None or kind == "message" and
                                    unescape(literal[1:-1]) in table_texts)]


@pytest.mark.parametrize("code, misplaced", [
    ('PyCode_NewEmpty("m/f.py", name, line);', ['"m/f.py"']),
    ('PyErr_Format(PyExc_TypeError, "%s() %s", f(x), n == 1 ? "" : "s");', []),
    ('PyErr_SetString(PyExc_ImportError, "in a table");', ['"in a table"']),
    ('const FunctionSpec kF = {SMZ_QUALNAME("f"), .name = "f", .doc = "Doc."};', []),
    ('PyGetSetDef g[] = {{"a", get, nullptr, "doc", nullptr}, {nullptr}};', []),
    ('void f(const Param& p) { use("x"); }', ['"x"']),
    ('t.tp_name = "m.t";\nt.tp_doc = "d";', ['"d"']),
    ('#include "a/b.hpp"\n#define NAME "x"\nchar c = \'"\';', ['"x"']),
    ('constexpr char kDoc[] = "text";\nstd::getenv("VAR");\nr.emplace("");', ['"text"', '"VAR"']),
])
def test_literal_places(code, misplaced):
    assert misplaced_literals(code, {"in a table"}) == misplaced


@pytest.mark.parametrize("rule", ["one entry per text", "no str constant outside the tables",
                                  "each subsystem's texts in its own table",
                                  "no C literal outside the tables but in place"])
def test_each_text_has_one_home(rule):
    if rule == "one entry per text":
        entries = table_texts()
        assert len(entries) > 110
        seen = {}
        for name, text in entries:
            assert text not in seen, f"{text!r} is both {seen[text]} and {name}"
            seen[text] = name
        return
    if rule == "no str constant outside the tables":
        for path in SOURCES:
            if path.name in ("strings.hpp", "strings.cpp", "texts.hpp", "texts.cpp"):
                continue
            code = code_of(path)
            assert not re.search(r"\bConstStr\s+\w+\s*[{=(]", code), f"{path}: a str outside the tables"
            assert not re.search(r'PyUnicode_(Intern)?FromString\("', code), \
                f"{path}: a literal str made outside the tables"
        return
    if rule == "no C literal outside the tables but in place":
        texts = {text for _, text in table_texts()}
        misplaced = [f"{path.relative_to(SRC)}: {literal}" for path in SOURCES
                     if path.name not in TABLE_HEADERS
                     for literal in misplaced_literals(code_of(path), texts)]
        assert misplaced == []
        return
    # The domain's texts are owned by their subsystem: each table is read only there,
    # and the runtime's table keeps none of them.
    tables = subsystem_tables()
    assert set(tables) == {"summarizer", "summary", "transcript"}
    runtime = {text for name, text in table_texts() if name.startswith("kStr.")}
    for subsystem, (table_name, own) in tables.items():
        assert own and not runtime & {text for _, text in own}
        for path in SOURCES:
            if re.search(rf"\b{table_name}\b", code_of(path)):
                assert path.parent.name == subsystem, f"{path} reads {table_name}"


# Integer literals where a traceback line is given: a step's line is named from its
# subsystem's lines.hpp, never written at the site.
LINE_SITES = [r"\benum\b[^;{]*Line\w*\s*(:\s*\w+\s*)?\{",  # an enum of lines
              r"(\.fail|\bfail_exec|\bfailed_at)\(\s*\d",
              r"\badd_traceback\([^;]*?,\s*\d",
              r"\.line\s*=\s*\d"]

# Steps that share a line, as the source writes them on one: the parsed record and its
# first field, `return {"goals": data.get("goals", []),`.
SHARED_LINES = [("parse_summary", {"kRecord", "kGoalsField"})]


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: str(p.relative_to(SRC)))
def test_no_line_outside_the_tables(path):
    code = code_of(path)
    for pattern in LINE_SITES:
        found = re.search(pattern, code)
        assert not found, f"{path}: {found.group(0)!r}: a step's line belongs in lines.hpp"


def test_line_tables():
    """One entry per step of each function, each function's steps inside its own body
    (after its definition, before the next one's), and no two steps of a function on
    one line unless the source puts them there."""
    entries = line_table()
    assert len(entries) > 150
    steps = [(function, step) for function, step, _ in entries]
    assert len(steps) == len(set(steps)), "a step listed twice"
    by_function = {}
    for function, step, line in entries:
        by_function.setdefault(function, {}).setdefault(line, set()).add(step)
    body = by_function.pop("module_body")
    starts = sorted((line, function) for function, at_line in by_function.items()
                    for line, at in at_line.items() if "kDefinition" in at)
    assert len(starts) == len(by_function), "a function without its kDefinition"
    assert max(body) < starts[0][0], "a module body statement inside a function"
    for (start, function), (end, _) in zip(starts, starts[1:] + [(float("inf"), None)]):
        assert all(start <= line < end for line in by_function[function]), \
            f"{function}: a step outside its body"
        for line, at in by_function[function].items():
            assert len(at) == 1 or (function, at) in SHARED_LINES, f"{function}: {at} on {line}"


def unit_includes():
    """{unit: units it includes}, a unit being a header and its source file together
    (src/binding/runtime for runtime.hpp and runtime.cpp)."""
    graph = {}
    for path in SOURCES:
        unit = str(path.relative_to(SRC).with_suffix(""))
        found = re.findall(r'#include "([\w/]+)\.hpp"', code_of(path))
        graph.setdefault(unit, set()).update(name for name in found if name != unit)
    return graph


def cycles(graph):
    """Every cycle of the graph found by a depth-first walk, each as a list of units."""
    found, state, path = [], {}, []

    def visit(unit):
        state[unit], path[len(path):] = "open", [unit]
        for other in sorted(graph.get(unit, ())):
            if state.get(other) == "open":
                found.append(path[path.index(other):] + [other])
            elif other not in state:
                visit(other)
        state[unit] = "done"
        path.pop()

    for unit in sorted(graph):
        if unit not in state:
            visit(unit)
    return found


@pytest.mark.parametrize("graph, expected", [
    ({"a": {"b"}, "b": {"c"}, "c": set()}, []),
    ({"a": {"b"}, "b": {"a"}}, [["a", "b", "a"]]),
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}, [["a", "b", "c", "a"]]),
])
def test_cycle_finder(graph, expected):
    assert cycles(graph) == expected


def test_no_two_units_include_each_other():
    """A header and its source form one unit; no unit reaches itself through the units
    it includes (runtime builds on exceptions, never the other way)."""
    graph = unit_includes()
    assert "binding/exceptions" in graph["binding/runtime"]
    assert cycles(graph) == []
