"""The companion package's imports, read with ast (lazy imports inside functions included):
no two modules import each other, directly or through others, and no module imports one of
a layer above its own."""
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
    assert {"morvex_summarize.files", "morvex_summarize.cli.options"} <= \
        graph["morvex_summarize.cli.exchange"] | graph["morvex_summarize.cli.summarize"]
    assert cycle_of(graph) is None


# The layers, lowest first: a module imports only from its own layer and those below it.
LAYERS = [
    ("the module's contract", ["native", "errors", "records", "settings"]),
    ("reading a session", ["session", "carry"]),
    ("formats, files and token estimates", ["formats", "files", "tokens"]),
    ("clients", ["clients"]),
    ("the engines: condensing, summaries, batches", ["condense", "windows", "summarizing",
                                                      "batch"]),
    ("integrations and the proxy", ["integrations", "serve", "langchain_middleware",
                                    "agents_session"]),
    ("the package's public names", ["", "ray_batch"]),
    ("the command line", ["cli", "__main__"]),
]


def lazy_homes(path):
    """The modules the package's public names are loaded from on first use: the values of
    its ``_HOMES`` table (relative names)."""
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == "_HOMES" for t in node.targets):
            return {"morvex_summarize" + v.value for v in node.value.values}
    return set()


def layer_of(module):
    """The index in LAYERS of a module (its longest matching prefix), or None."""
    rel = module.removeprefix("morvex_summarize").lstrip(".")
    found = None
    for index, (_, prefixes) in enumerate(LAYERS):
        for prefix in prefixes:
            if rel == prefix or (prefix and rel.startswith(prefix + ".")):
                if found is None or len(prefix) > found[1]:
                    found = (index, len(prefix))
    return None if found is None else found[0]


def upward(graph):
    return {(module, other) for module, imported in graph.items() for other in imported
            if layer_of(other) > layer_of(module)}


def test_no_module_imports_from_a_layer_above_its_own():
    graph = import_graph(PACKAGE)
    graph["morvex_summarize"] |= lazy_homes(PACKAGE / "__init__.py")
    assert [m for m in graph if layer_of(m) is None] == []
    assert upward(graph) == set()


def test_the_layer_check_sees_an_upward_import():
    graph = import_graph(PACKAGE)
    graph["morvex_summarize.formats.base"] = {"morvex_summarize.condense.cuts"}
    assert ("morvex_summarize.formats.base", "morvex_summarize.condense.cuts") in upward(graph)
