"""The module's stub agrees with the module, and the companion package type-checks."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=600)


def test_stub_matches_the_module(mod, tmp_path):
    result = run("mypy.stubtest", "morvex.core.summarizer", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_companion_package_is_typed_strictly(tmp_path):
    assert (ROOT / "python" / "morvex_summarize" / "py.typed").is_file()
    result = run("mypy", "--cache-dir", str(tmp_path / "cache"), "--strict",
                 "-p", "morvex_summarize", cwd=ROOT / "python")
    assert result.returncode == 0, result.stdout + result.stderr
