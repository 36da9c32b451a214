"""The package's main names and the old module paths lead to the objects in their homes, and
importing the package itself loads no optional library."""

from __future__ import annotations

import importlib
import subprocess
import sys
from pathlib import Path

import pytest

import morvex_summarize

PACKAGE = Path(morvex_summarize.__file__).parent.parent

# name -> (home module, library its extra installs, or None)
NAMES = {
    "Condenser": ("morvex_summarize.condense.condenser", None),
    "read_conversation": ("morvex_summarize.formats", None),
    "ExtractiveClient": ("morvex_summarize.clients.extractive", None),
    "OpenAIClient": ("morvex_summarize.clients.openai_client", "openai"),
    "GGUFClient": ("morvex_summarize.clients.gguf", None),
    "ChatModelClient": ("morvex_summarize.clients.langchain_client", "langchain_core"),
    "CondensingMiddleware": ("morvex_summarize.integrations.langchain", "langchain"),
    "CondensingSession": ("morvex_summarize.integrations.agents", "agents"),
    "summarize_dataset": ("morvex_summarize.batch.ray", None),
}

OLD_PATHS = [
    ("morvex_summarize.condense", "Condenser"),
    ("morvex_summarize.agents_session", "CondensingSession"),
    ("morvex_summarize.langchain_middleware", "CondensingMiddleware"),
    ("morvex_summarize.ray_batch", "summarize_dataset"),
    ("morvex_summarize.cli.batch.ray", "summarize_dataset"),
]


@pytest.mark.parametrize("name", sorted(NAMES))
def test_a_main_name_is_its_homes_object(name: str) -> None:
    home, library = NAMES[name]
    if library is not None:
        pytest.importorskip(library)
    assert getattr(morvex_summarize, name) is getattr(importlib.import_module(home), name)
    assert name in morvex_summarize.__all__ and name in dir(morvex_summarize)


@pytest.mark.parametrize(("path", "name"), OLD_PATHS)
def test_an_old_path_still_leads_to_the_same_object(path: str, name: str) -> None:
    home, library = NAMES[name]
    if library is not None:
        pytest.importorskip(library)
    assert getattr(importlib.import_module(path), name) is getattr(
        importlib.import_module(home), name)


def test_the_command_line_defines_no_public_name() -> None:
    """Library code lives outside cli/: no public name, nor a library name that moved out,
    is defined there (the old paths only lead to it)."""
    import ast

    moved = {"summarize_dataset", "Summarize", "row_job", "Job", "parse_doc", "id_columns",
             "summarize_result", "summarize_one", "DeadlineClient", "windowed", "Outcome",
             "read_document", "write_output", "needs"}
    for path in (PACKAGE / "morvex_summarize" / "cli").rglob("*.py"):
        defined = {node.name for node in ast.parse(path.read_text("utf-8")).body
                   if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))}
        assert not defined & (set(morvex_summarize.__all__) | moved), path


def test_an_unknown_name_is_an_attribute_error() -> None:
    with pytest.raises(AttributeError, match="has no attribute 'Condensor'"):
        morvex_summarize.Condensor  # noqa: B018


def test_the_package_and_its_core_names_load_no_optional_library() -> None:
    script = ("import sys, morvex_summarize as m\n"
              "m.Condenser, m.read_conversation, m.ExtractiveClient\n"
              "heavy = {'openai', 'httpx', 'rich', 'langchain_core', 'ray', 'starlette', "
              "'uvicorn', 'pyarrow', 'anthropic'}\n"
              "print(sorted(heavy & {k.split('.')[0] for k in sys.modules}))\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env={"PYTHONPATH": str(PACKAGE)}, check=True)
    assert done.stdout.strip() == "[]"
