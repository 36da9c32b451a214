"""The readers of what a step's text says: edits written in an assistant's text, a tool's
console text pasted back, a command that changed nothing, the files an output or a diff
names, a check's identity across runs, and a summary checked against newer messages by
the condenser."""

import asyncio

import pytest

from morvex_summarize.session import evidence, steps
from morvex_summarize.clients.extractive import ExtractiveClient
from morvex_summarize import carry
from morvex_summarize.condense import Condenser
from morvex_summarize.condense.cuts import valid_cuts


@pytest.mark.parametrize("text, files", [
    ("Fix.\n\nsrc/a.py\n```python\n<<<<<<< SEARCH\nx\n=======\ny\n>>>>>>> REPLACE\n```",
     ("src/a.py",)),
    ("**lib/b.go**\n<<<<<<< SEARCH\nx\n=======\ny\n>>>>>>> REPLACE", ("lib/b.go",)),
    ("```diff\n--- a/src/c.py\n+++ b/src/c.py\n@@ -1 +1 @@\n-x\n+y\n```", ("src/c.py",)),
    ("```patch\n*** Begin Patch\n*** Add File: docs/d.md\n+x\n*** End Patch\n```",
     ("docs/d.md",)),
    ("The diff is `+++ b/x.py` in the log, and:\n```python\nprint(1)\n```", ()),
])
def test_edits_written_in_the_text(text, files):
    assert steps.text_edits(text) == files


@pytest.mark.parametrize("text, command", [
    ("I'll run it.\n```bash\npytest -q\n```", "pytest -q"),
    ("Next:\n```\nls -la\n```\n", "ls -la"),
    ("src/a.py\n```\n<<<<<<< SEARCH\nx\n=======\ny\n>>>>>>> REPLACE\n```", None),
    ("```python\nprint(1)\n```", None),  # code shown, not a command
    ("Run `pytest` next.", None),
    # the closing fence of an edit block before it opens no block
    ("a.py\n```python\n<<<<<<< SEARCH\nx\n=======\ny\n>>>>>>> REPLACE\n```\n\nThen:\n\n"
     "```bash\npytest -q\n```\n", "pytest -q"),
    ("docs/a.md\n```\n# Title\n```", None),  # a whole file under its name
])
def test_a_command_the_agent_writes_ends_its_message(text, command):
    assert steps.text_action(text) == command


@pytest.mark.parametrize("output, files", [
    ("Tokens: 1k sent\nApplied edit to src/a.py\nCommit 1a2b fix\nApplied edit to b.md",
     ("src/a.py", "b.md")),
    ("> applied the patch to `lib/x.go`", ("lib/x.go",)),
    ("I applied pressure to the design.", ()),
])
def test_the_files_a_harness_applied_the_reply_to(output, files):
    assert steps.applied_edits(output) == files


@pytest.mark.parametrize("output, no_op", [
    ("On branch main\nnothing to commit, working tree clean", True),
    ("Already up to date.", True), ("Requirement already satisfied: rich in /x", True),
    ("[main 1a2b3c4] fix\n 1 file changed, 2 insertions(+)", False),
    ("Nothing happened here? no.", False),
])
def test_a_command_that_changed_nothing(output, no_op):
    assert steps.no_op(output) is no_op


@pytest.mark.parametrize("output, files", [
    ("Patched voting.py (regex)", ("voting.py",)),
    ("forms.py updated\nboundfield.py was modified", ("forms.py", "boundfield.py")),
    ("patching file src/x.c\nHunk #1 succeeded", ("src/x.c",)),
    ("Success. Updated the following files:\nM src/a.py\nA src/b.py", ("src/a.py", "src/b.py")),
    ("updated 3 rows in 0.2s\nversion 1.2.3 written", ()),
])
def test_the_files_an_output_says_it_changed(output, files):
    assert steps.changed_in_output(output) == files


def test_a_diff_names_its_files_and_a_log_does_not():
    diff = "diff --git a/x.py b/x.py\nindex 1..2\n--- a/x.py\n+++ b/x.py\n@@ -1 +1 @@\n"
    assert steps.diff_files(diff) == ("x.py",)
    assert steps.diff_files("commit 1a2b\n    fix x.py") == ()


@pytest.mark.parametrize("first, second, same", [
    ("python /repo/check.py", "cd /repo && python check.py", True),
    ("python3 tools/check.py", "python check.py", True),
    ("python check.py", "python other.py", False),
    ("pytest tests/test_a.py", "pytest tests/test_b.py", False),
])
def test_a_check_is_the_same_from_another_folder(first, second, same):
    key = [steps.check_key(evidence.command_of(c)) for c in (first, second)]
    assert (key[0] == key[1]) is same


def test_inline_code_is_told_apart():
    assert steps.inline("python - <<'PY' import x") and steps.inline("python3 -c 'print(1)'")
    assert not steps.inline("python check.py") and not steps.inline("pytest -q")


def test_a_command_in_text_is_not_cut_from_its_answer():
    body = [{"role": "user", "content": "go"},
            {"role": "assistant", "content": "Running.\n```\nmake\n```"},
            {"role": "user", "content": "make: *** No targets.  Stop."},
            {"role": "assistant", "content": "Done."}]
    assert valid_cuts(body) == [True, True, False, True, True]


def test_the_condenser_settles_a_carried_failure_that_a_kept_message_shows_passing():
    def call(n, command, output):
        return [{"role": "assistant", "content": None, "tool_calls": [
                    {"id": f"c{n}", "type": "function",
                     "function": {"name": "shell", "arguments": f'{{"cmd": "{command}"}}'}}]},
                {"role": "tool", "tool_call_id": f"c{n}", "content": output}]
    messages = [{"role": "user", "content": "make the importer pass its tests"},
                *call(1, "pytest tests/test_imp.py", "E   KeyError: 'rate'\n1 failed in 0.1s"),
                *[m for n in range(2, 12) for m in call(n, f"cat notes{n}.txt", "x " * 150)],
                *call(12, "pytest tests/test_imp.py", "4 passed in 0.1s")]
    condenser = Condenser(ExtractiveClient(), max_tokens=700, keep_last=2)
    out, state = asyncio.run(condenser.condense(messages, None))
    assert state.condensed and "4 passed" in str(out[-1]["content"])
    assert state.summary["blockers"] == []
    assert any(f.startswith(carry.RESOLVED_PREFIX) for f in state.summary["key_facts"])
