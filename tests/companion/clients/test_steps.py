"""What each step did, and the summary built on it: reads are no changes, a failed edit
changes nothing, the latest run of a check decides, a failure before the fix is the
problem shown, what the user quotes sets no rule, a harness's words ask for nothing."""

import pytest

from morvex_summarize.session import steps
from morvex_summarize import carry
from morvex_summarize.clients.extractive import settle_with, summarize_transcript


@pytest.mark.parametrize("line, kind, edits", [
    ("nl -ba src/app.py | sed -n '1,80p'", steps.READ, ()),
    ("grep -rn total src || true", steps.READ, ()),
    ("echo DONE && git add -A && git diff --cached", steps.READ, ()),
    ("sed -i 's/a/b/' src/app.py && pytest -q", steps.RUN, ("src/app.py",)),
    ("cat > src/new.py <<'EOF'\nprint(1)\nEOF", steps.EDIT, ("src/new.py",)),
    ("printf 'x' | tee -a notes.md >/dev/null", steps.EDIT, ("notes.md",)),
    ("cp build/out.js dist/app.js", steps.EDIT, ("dist/app.js",)),
    ("python - <<'PY'\nopen('src/a.py', 'w').write(s)\nPY", steps.RUN, ("src/a.py",)),
    ("git apply <<'P'\n*** Update File: src/b.py\n@@\n-x\nP", steps.EDIT, ("src/b.py",)),
    ("cd /repo && python3 repro.py 2>&1 | tail", steps.RUN, ()),
])
def test_a_shell_line_is_read_for_what_it_does(line, kind, edits):
    action = steps.shell_action(line)
    assert (action.kind, action.edits) == (kind, edits)


@pytest.mark.parametrize("tool, brief, kind, edits", [
    ("str_replace_editor", "command=view, path=/r/a.py", steps.READ, ()),
    ("str_replace_based_edit_tool", "command=str_replace, path=/r/a.py, old_str=x",
     steps.EDIT, ("/r/a.py",)),
    ("apply_patch", "input=*** Begin Patch\n*** Add File: src/c.py\n+x", steps.EDIT,
     ("src/c.py",)),
    ("submit", "", steps.SUBMIT, ()),
])
def test_a_tool_is_read_by_its_kind(tool, brief, kind, edits):
    action = steps.tool_action(tool, brief)
    assert (action.kind, action.edits) == (kind, edits)


@pytest.mark.parametrize("output, status", [
    ("<returncode>128</returncode>\n<output>\nerror: bad patch", 128),
    ("ok\nExit code: 0", 0), ("Process exited with code 2", 2),
    ("Your command ran successfully and did not produce any output.", 0), ("ready", None),
])
def test_the_exit_status_comes_from_the_output_structure(output, status):
    assert steps.status(output) == status


def shell(command, output, said=None):
    return (f"[Assistant]: {said}\n" if said else "") + \
        f"[Assistant called bash]: command={command}\n[Tool Result (c)]: {output}\n"


FAIL = "Traceback (most recent call last):\n  File \"x.py\", line 3\nKeyError: 'rate'"
EDIT = ("[Assistant called str_replace_editor]: command=str_replace, path=/r/app/rates.py, "
        "old_str=a\n[Tool Result (e)]: The file /r/app/rates.py has been edited.\n")


@pytest.mark.parametrize("steps_text, blocked, fact", [
    # a rerun that prints neither a pass word nor an error settles the failure
    (shell("python check_rates.py", FAIL) + EDIT + shell("python /r/check_rates.py", "ready"),
     False, carry.RESOLVED_PREFIX),
    # the problem shown before the fix is a fact
    (shell("python repro.py", FAIL) + EDIT + shell("python -m pytest -q", "3 passed"),
     False, carry.REPRODUCED_PREFIX),
    # the error the fix is meant to raise, as the assistant says
    (EDIT + shell("python repro.py", FAIL) + "[Assistant]: The fix works: it now raises.\n",
     False, carry.EXPECTED_PREFIX),
    # a check whose last run still fails stays open
    (EDIT + shell("python check_rates.py", FAIL), True, None),
    # a refused edit changes nothing; a later one of the same file settles it
    ("[Assistant called str_replace_editor]: command=str_replace, path=/r/app/rates.py, "
     "old_str=q\n[Tool Result (e)]: No replacement was performed, old_str did not appear "
     "verbatim.\n" + EDIT + shell("pytest -q", "1 passed"), False, None),
])
def test_the_latest_evidence_decides_a_blocker(steps_text, blocked, fact):
    summary = summarize_transcript("[User]: fix the rates lookup\n" + steps_text)
    assert bool(summary["blockers"]) is blocked
    assert fact is None or any(f.startswith(fact) for f in summary["key_facts"])


def test_changed_files_are_the_ones_changed():
    summary = summarize_transcript(
        "[User]: fix it\n[Assistant called str_replace_editor]: command=view, path=/r/seen.py\n"
        "[Tool Result (a)]: 1\tx\n" + EDIT
        + shell("git apply fix.patch", "<returncode>1</returncode>\nerror: patch failed: "
                "r/refused.py:3")
        + shell("python - <<'PY'\nfrom pathlib import Path\np = Path('lib/tool.py')\n"
                "s = p.read_text()...", "<returncode>0</returncode>\nPatched tool.py")
        + "[Assistant]: Done.\n```\nedit 3:4\nx = 1\nend_of_edit\n```\n"
        "[User]: [File: /r/lib/other.py (40 lines total)]\n(Open file: /r/lib/other.py)\n")
    changed = " ".join(p for p in summary["progress"] if p.startswith(carry.CHANGED_PREFIX))
    assert all(f in changed for f in ("app/rates.py", "lib/tool.py", "lib/other.py"))
    assert "seen.py" not in changed and "refused.py" not in changed


@pytest.mark.parametrize("message, rule, not_rule", [
    ("Fix the parser.\n<issue>\nThe parser must never drop tokens. We don't validate it."
     "\n</issue>\nDo not modify the tests.", "Do not modify the tests", "never drop"),
    ("Fix the parser.\nISSUE:\nIt must not crash.\n\nINSTRUCTIONS:\nKeep changes minimal, "
     "never touch vendor/.", "never touch vendor", "must not crash"),
    ("Fix the parser. I don't think the old format is used.\n```\nnever = 1\n```\n"
     "Don't rename hooks.", "Don't rename hooks", "old format"),
])
def test_a_rule_is_what_the_user_says_not_what_it_quotes(message, rule, not_rule):
    constraints = [g for g in summarize_transcript(f"[User]: {message}")["goals"]
                   if g.startswith(carry.CONSTRAINT_PREFIX)]
    assert any(rule in c for c in constraints)
    assert not any(not_rule in c for c in constraints)


def test_a_demonstration_and_the_harness_ask_for_nothing():
    nag = "No tool calls found in the response. Every response MUST include a tool call."
    summary = summarize_transcript(
        "[User]: Here is a demonstration of how to do a task.\nISSUE: rename the logger\n"
        "[User]: Make the uploader retry on timeouts.\n[Assistant]: Looking.\n"
        f"[User]: {nag}\n[User]: {nag}")
    assert summary["goals"][0].startswith("Make the uploader retry")
    assert not any("logger" in g or "tool call" in g for g in summary["goals"])
    assert summary["next_steps"] == []


def test_a_carried_failure_is_settled_by_newer_messages():
    record = {"blockers": ["`pytest tests/test_a.py` failed: AssertionError: 1 != 2"],
              "key_facts": []}
    newer = "[Assistant called bash]: command=pytest tests/test_a.py\n[Tool Result (c)]: ok"
    assert settle_with(record, newer)["blockers"] == []
    assert settle_with(record, newer.replace("test_a", "test_b"))["blockers"] == \
        record["blockers"]


def test_what_an_agent_writes_in_its_text_is_read_as_steps():
    summary = summarize_transcript(
        "[User]: The totals are off by one; fix it.\n"
        "[Assistant]: [thinking] I can't see why yet, the loop is stuck.\n\nFixing the bound."
        "\n\nsrc/report.py\n```python\n<<<<<<< SEARCH\nrange(1, n)\n=======\nrange(n)\n"
        ">>>>>>> REPLACE\n```\n[User]: Applied edit to src/report.py\n"
        "[Assistant]: And the helper.\n\nsrc/helper.py\n<<<<<<< SEARCH\nx\n=======\ny\n"
        ">>>>>>> REPLACE\n[User]: The SEARCH block did not match src/helper.py\n"
        "[User]: $ pytest -q\nFAILED tests/test_report.py::test_totals - AssertionError\n"
        "1 failed, 2 passed\n[User]: Ran `pytest -q`:\n3 passed in 0.1s\n"
        "[Assistant called shell]: cmd=git commit -am fix\n[Tool Result (a)]: nothing to "
        "commit, working tree clean")
    changed = " ".join(p for p in summary["progress"] if p.startswith(carry.CHANGED_PREFIX))
    assert "src/report.py" in changed and "helper.py" not in changed
    assert "git commit" not in changed  # it changed nothing
    assert summary["blockers"] == [] and "`pytest -q` passed" in " ".join(summary["progress"])
    assert summary["goals"] == ["The totals are off by one; fix it."]


def test_the_counts_cover_every_window():
    first = summarize_transcript("[User]: go\n[Assistant called shell]: cmd=ls\n"
                                 "[Tool Result (a)]: x")
    context = ("## Conversation History Summary\n\n### Original Goals\n  - go\n\n"
               f"### Narrative Summary\n{first['summary']}\n")
    later = summarize_transcript("[Assistant called shell]: cmd=ls\n[Tool Result (b)]: y",
                                 context)
    assert "1 user message(s), 0 assistant message(s), 2 tool call(s)" in later["summary"]


@pytest.mark.parametrize("opening, goal", [
    # the project's instructions and environment first, in their tags: the task follows
    ("<system-reminder>\nNever edit files under migrations/. The cache was slow last year."
     "\n</system-reminder>\nAdd paging to the list endpoint.", "Add paging to the list"),
    ("Traceback (most recent call last):\n  File \"a.py\", line 1\nKeyError: 'x'\n"
     "Why does the importer crash here? Fix it.", "Why does the importer crash"),
    ("```\n$ make\nerror: missing header\n```\nThe build can't find it, make it build.",
     "The build can't find it"),
])
def test_the_goal_is_the_task_not_its_frame(opening, goal):
    summary = summarize_transcript(f"[User]: {opening}")
    assert summary["goals"][0].startswith(goal) or goal in summary["goals"][0][:60]
    assert summary["blockers"] == []  # the task itself is no blocker


@pytest.mark.parametrize("opening, constraints", [
    # a request in the user's own words: the project's instructions before it frame it
    ("{frame}\n[User]: Add paging to the list endpoint.", []),
    # a task a harness writes all in its tags: the rules it sets in its tags are the task's
    ("{frame}\n[User]: <pr_description>\nAdd paging to the list endpoint.\n</pr_description>",
     ["Never edit files under migrations/."]),
    ("[User]: <pr_description>\nAdd paging to the list endpoint.\n</pr_description>\n\n"
     "{block}", ["Never edit files under migrations/."]),
], ids=["the user's words", "a harness's tags", "a harness's tags, one message"])
def test_context_rules_hold_for_a_task_in_tags_and_statements_are_no_rules(opening,
                                                                             constraints):
    block = ("<instructions>\nNever edit files under migrations/. We never set a timeout "
             "there.\n</instructions>")
    summary = summarize_transcript(opening.format(frame=f"[User]: {block}", block=block))
    assert "Add paging to the list endpoint." in summary["goals"][0]
    assert summary["goals"][1:] == [carry.CONSTRAINT_PREFIX + c for c in constraints]


def test_a_shell_given_as_argv_is_read_as_its_script():
    argv = str(["bash", "-lc", "apply_patch <<'EOF'\n*** Begin Patch\n*** Update File: "
                                 "src/pager.py\n@@\n-a\n+b\n*** End Patch\nEOF"])[:100]
    summary = summarize_transcript(
        f"[User]: fix paging\n[Assistant called shell]: command={argv}..., workdir=/r\n"
        "[Tool Result (a)]: Exit code: 0\nOutput:\nSuccess. Updated the following files:\n"
        "M src/pager.py\n[Assistant called shell]: command=['bash', '-lc', 'git commit -am x']"
        "\n[Tool Result (b)]: Exit code: 1\nOutput:\nnothing to commit, working tree clean")
    assert any("src/pager.py" in p for p in summary["progress"])
    assert summary["blockers"] == []  # a commit with nothing to commit failed at nothing


def test_a_harness_that_applies_a_reply_names_what_it_changed():
    summary = summarize_transcript(
        "[User]: Document greet().\n"
        "[Assistant]: docs/greet.md\n```\n# greet\n```\n"
        "[User]: <console>\nApplied edit to docs/greet.md\n</console>\n"
        "[Assistant called local_shell]: type=exec, command=['pytest', '-q']\n"
        "[Tool Result (a)]: Exit code: 1\nFAILED tests/test_greet.py::test_doc\n1 failed")
    changed = " ".join(p for p in summary["progress"] if p.startswith(carry.CHANGED_PREFIX))
    assert "docs/greet.md" in changed
    assert summary["goals"] == ["Document greet()."]  # the console asks for nothing
    assert "`pytest -q` failed" in " ".join(summary["blockers"])


def test_an_explanation_of_code_is_no_blocker():
    said = ("The `parse_date` helper can't read two-digit years, so the import rejects them."
            " I'll widen the pattern.")
    assert summarize_transcript(f"[User]: fix dates\n[Assistant]: {said}")["blockers"] == []
    stuck = "I'm blocked: the staging database rejects our credentials."
    assert summarize_transcript(f"[User]: fix dates\n[Assistant]: {stuck}")["blockers"]
