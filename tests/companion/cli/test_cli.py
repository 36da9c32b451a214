"""The morvex-summarize command in a child process: good input, every kind of bad input."""

import json
import os
import shutil
import sys

import pytest

from cli_support import SAMPLE, run_tool, stderr_lines, tool_env
from llm_server import Answer, LLMServer

KEYS = ["goals", "progress", "current_state", "key_decisions", "key_facts", "blockers",
        "next_steps", "summary", "created_at"]
OFFLINE_NOTICE = "no model configured; using the offline extractive summarizer"


@pytest.fixture
def server():
    with LLMServer() as s:
        yield s


def split_both(stdout):
    """(record, context text) from --format both."""
    head, sep, tail = stdout.partition("\n## Conversation History Summary\n")
    assert sep, stdout
    return json.loads(head), "## Conversation History Summary\n" + tail


def test_default_is_the_offline_summarizer_and_says_so():
    result = run_tool(SAMPLE)
    assert result.returncode == 0, result.stderr
    record, context = split_both(result.stdout)
    assert list(record) == KEYS
    assert record["goals"][0].startswith("The CI build of the payments service fails")
    assert "### Original Goals" in context and record["current_state"] in context
    assert stderr_lines(result) == [f"morvex-summarize: {OFFLINE_NOTICE} "
                                    "(use --llm/--model to pick a model)"]


@pytest.mark.parametrize("fmt", ["json", "markdown", "both"])
@pytest.mark.parametrize("source", ["file", "stdin", "output"])
def test_formats_and_sources(tmp_path, fmt, source):
    args = [SAMPLE, "--llm", "extractive", "--format", fmt]
    stdin = None
    if source == "stdin":
        args[0] = "-"
        stdin = SAMPLE.read_text(encoding="utf-8")
    out = tmp_path / "out.txt"
    if source == "output":
        args += ["--output", out]
    result = run_tool(*args, input=stdin)
    assert result.returncode == 0, result.stderr
    assert stderr_lines(result) == []  # --llm given: no notice
    text = out.read_text(encoding="utf-8") if source == "output" else result.stdout
    if source == "output":
        assert result.stdout == ""
    if fmt == "json":
        assert list(json.loads(text)) == KEYS
    elif fmt == "markdown":
        assert text.startswith("## Conversation History Summary\n")
    else:
        record, context = split_both(text)
        assert record["summary"] in context


def test_previous_summary_is_passed_on(tmp_path):
    previous = tmp_path / "previous.md"
    previous.write_text("Earlier: the team moved the ledger to money::detail.", encoding="utf-8")
    result = run_tool(SAMPLE, "--llm", "extractive", "--format", "json", "--previous", previous)
    assert result.returncode == 0, result.stderr
    assert "moved the ledger to money::detail" in json.loads(result.stdout)["summary"]


def test_openai_compatible_server(server):
    result = run_tool(SAMPLE, "--llm", "openai", "--model", "loop-model", "--base-url",
                      server.url, "--format", "json")
    assert result.returncode == 0, result.stderr
    record = json.loads(result.stdout)
    assert record["summary"] == "loopback summary"
    assert record["goals"][0].startswith("The CI build of the payments service")
    assert server.requests[0]["model"] == "loop-model"
    assert stderr_lines(result) == []


def test_a_configured_model_is_used_without_llm(server):
    env = tool_env(MORVEX_SUMMARIZE_MODEL="env-model", OPENAI_BASE_URL=server.url)
    result = run_tool(SAMPLE, "--format", "json", env=env)
    assert result.returncode == 0, result.stderr
    assert server.requests[0]["model"] == "env-model"
    assert json.loads(result.stdout)["summary"] == "loopback summary"


def bad_case(kind, tmp_path, server):
    """(arguments, standard input) for one kind of bad input or failing model."""
    conv = tmp_path / "conv.json"
    conv.write_text(SAMPLE.read_text(encoding="utf-8"), encoding="utf-8")
    openai = ["--llm", "openai", "--model", "m", "--base-url", server.url, "--retries", "0"]
    if kind == "missing":
        return [tmp_path / "nope.json"], None
    if kind == "directory":
        return [tmp_path], None
    if kind == "invalid-json":
        conv.write_text('[{"role": "user", "content": "hi"}', encoding="utf-8")
        return [conv], None
    if kind == "not-utf8":
        conv.write_bytes(b'[{"role": "user", "content": "\xff"}]')
        return [conv], None
    if kind == "stdin-invalid":
        return ["-"], "{nope"
    if kind == "object":
        conv.write_text('{"conversation": []}', encoding="utf-8")
        return [conv], None
    if kind == "list-of-strings":
        conv.write_text('["hello", "world"]', encoding="utf-8")
        return [conv], None
    if kind == "previous-missing":
        return [conv, "--previous", tmp_path / "nope.md"], None
    if kind == "unknown-llm":
        return [conv, "--llm", "claude"], None
    if kind == "gguf-missing":
        return [conv, "--llm", f"gguf:{tmp_path / 'none.gguf'}"], None
    if kind == "no-model":
        return [conv, "--llm", "openai", "--base-url", server.url], None
    if kind == "output-dir-missing":
        return [conv, "--llm", "extractive", "--output", tmp_path / "no" / "out.json"], None
    if kind == "unreachable":
        server.stop()
        return [conv, *openai], None
    if kind == "bad-key":
        server.push(Answer(401, {"error": {"message": "Incorrect API key provided"}}))
        return [conv, *openai], None
    if kind == "server-error":
        server.push(Answer(500, {"error": {"message": "overloaded"}}))
        return [conv, *openai], None
    if kind == "timeout":
        server.push(Answer(delay=5.0))
        return [conv, *openai, "--timeout", "0.3"], None
    raise AssertionError(kind)


@pytest.mark.parametrize("kind,status,text", [
    ("missing", 3, "nope.json: no such file"),
    ("directory", 3, "is a directory"),
    ("invalid-json", 4, "invalid JSON at line 1"),
    ("not-utf8", 4, "not UTF-8"),
    ("stdin-invalid", 4, "<stdin>: invalid JSON"),
    ("object", 5, 'a request body with "messages", got an object with keys conversation'),
    ("list-of-strings", 5, "message 0 is str, not an object"),
    ("previous-missing", 3, "nope.md: no such file"),
    ("unknown-llm", 2, "unknown --llm 'claude'"),
    ("gguf-missing", 10, "gguf"),
    ("no-model", 10, "no model given"),
    ("output-dir-missing", 9, "cannot write"),
    ("unreachable", 6, "cannot reach the model server"),
    ("bad-key", 7, "refused the key"),
    ("server-error", 8, "kept failing"),
    ("timeout", 6, "did not answer in time"),
])
def test_bad_input_gives_one_line_and_its_own_status(tmp_path, server, kind, status, text):
    args, stdin = bad_case(kind, tmp_path, server)
    result = run_tool(*args, input=stdin)
    assert result.returncode == status, result.stderr
    lines = stderr_lines(result)
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("morvex-summarize: error: ") and text in lines[0], lines[0]
    assert "Traceback" not in result.stderr and result.stdout == ""


def test_version_and_help_list_the_commands():
    import morvex_summarize

    version = run_tool("--version")
    assert version.returncode == 0
    assert version.stdout.split() == ["morvex-summarize", morvex_summarize.__version__]
    helptext = run_tool("--help")
    assert helptext.returncode == 0 and "other commands: batch" in helptext.stdout


def test_installed_console_script():
    script = shutil.which("morvex-summarize", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the package is not installed in this interpreter's environment")
    result = run_tool("--version")
    direct = __import__("subprocess").run([script, "--version"], capture_output=True, text=True)
    assert direct.returncode == 0 and direct.stdout == result.stdout
