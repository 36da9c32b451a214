"""No two modules of the companion package import each other, directly or through others:
its import statements, read with ast (lazy imports inside functions included), form no
cycle."""
import ast
import graphlib
import pathlib

import pytest

PACKAGE = pathlib.Path(__file__).resolve().parents[2] / "python" / "morvex_summarize"


def import_graph(root):
    """{module: the package's modules it imports}, by dotted name from ``root``'s name."""
    modules = {}
    for path in root.rglob("*.py"):
        parts = list(path.relative_to(root.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            modules[".".join(parts[:-1])] = (path, parts[:-1])
        else:
            modules[".".join(parts)] = (path, parts[:-1])
    graph = {}
    for name, (path, package) in modules.items():
        found = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom):
                base = package[:len(package) - node.level + 1] if node.level else []
                target = ".".join(base + (node.module.split(".") if node.module else []))
                for alias in node.names:  # ``from . import x`` imports the module x
                    child = f"{target}.{alias.name}"
                    found.add(child if child in modules else target)
            elif isinstance(node, ast.Import):
                found.update(alias.name for alias in node.names)
        graph[name] = {other for other in found if other in modules and other != name}
    return graph


def cycle_of(graph):
    """A cycle of the graph as a list of modules, or None."""
    try:
        tuple(graphlib.TopologicalSorter(graph).static_order())
    except graphlib.CycleError as exc:
        return exc.args[1]
    return None


@pytest.mark.parametrize("files, cycle", [
    ({"a.py": "from . import b", "b.py": "from .c import x", "c.py": "x = 1"}, False),
    ({"a.py": "from . import b", "b.py": "def f():\n    from .a import g"}, True),
    ({"__init__.py": "", "sub/__init__.py": "from .m import y",
      "sub/m.py": "from ..a import z\ny = 1", "a.py": "from .sub import y\nz = 2"}, True),
])
def test_the_walk_finds_a_cycle_where_there_is_one(tmp_path, files, cycle):
    root = tmp_path / "pkg"
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    assert (cycle_of(import_graph(root)) is not None) == cycle


def test_no_two_modules_of_the_package_import_each_other():
    graph = import_graph(PACKAGE)
    assert {"morvex_summarize.cli.io", "morvex_summarize.cli.options"} <= \
        graph["morvex_summarize.cli.exchange"] | graph["morvex_summarize.cli.summarize"]
    assert cycle_of(graph) is None
