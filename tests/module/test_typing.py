"""The module's stub agrees with the module, and the companion package type-checks."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parents[2]


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


def test_the_package_shapes_match_the_extension(mod):
    """The package's SummaryRecord is the record the extension makes (keys, order, value
    kinds), and its clients have the shape the extension calls."""
    import asyncio
    import typing

    from morvex_summarize.clients.extractive import ExtractiveClient
    from morvex_summarize.records import LIST_KEYS, SUMMARY_KEYS, LLMClient, SummaryRecord

    for record in (mod._empty_summary(), mod._parse_summary("prose"),
                   mod._fallback_summary([{"role": "user", "content": "x"}]),
                   asyncio.run(mod.ConversationSummarizer(ExtractiveClient()).summarize_messages(
                       [{"role": "user", "content": "Fix the build"}]))):
        assert tuple(record) == SUMMARY_KEYS == tuple(typing.get_type_hints(SummaryRecord))
        assert all(isinstance(record[k], list) for k in LIST_KEYS)
        assert isinstance(record["created_at"], float)
    assert isinstance(ExtractiveClient(), LLMClient) and not isinstance(object(), LLMClient)
