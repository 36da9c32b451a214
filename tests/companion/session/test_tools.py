"""What a call of each agent's tools did, from hand-written calls in each agent's own
argument shapes; and the table's names agree across agents."""
import pytest
from morvex.core.summarizer import ConversationSummarizer

from morvex_summarize.carry import WENT_ON_PREFIX as WENT_ON
from morvex_summarize.clients.extractive import ExtractiveClient, summarize_transcript
from morvex_summarize.session import steps, tools

EDIT, READ, RUN, SUBMIT = steps.EDIT, steps.READ, steps.RUN, steps.SUBMIT


@pytest.mark.parametrize("name, brief, kind, edits", [
    # Claude Code
    ("Write", "file_path=/w/src/app.py, content=print(1)", EDIT, ("/w/src/app.py",)),
    ("Edit", "replace_all=False, file_path=/w/lib.rs, old_string=a, new_string=b", EDIT,
     ("/w/lib.rs",)),
    ("NotebookEdit", "notebook_path=/w/n.ipynb, new_source=x", EDIT, ("/w/n.ipynb",)),
    ("TodoWrite", "todos=[{'content': 'Write the parser', 'status': 'pending'}]", READ, ()),
    ("Task", "description=Explore, prompt=look at src", READ, ()),
    ("mcp__files__read_file", "path=/w/a.md", READ, ()),
    # Codex
    ("apply_patch", "input=*** Begin Patch\\n*** Add File: docs/new.md\\n+hi", EDIT,
     ("docs/new.md",)),
    ("update_plan", "plan=[{'step': 'edit config', 'status': 'pending'}]", READ, ()),
    # Cursor
    ("edit_file", "target_file=src/x.ts, instructions=add, code_edit=...", EDIT, ("src/x.ts",)),
    ("search_replace", "file_path=src/y.ts, old_string=a, new_string=b", EDIT, ("src/y.ts",)),
    ("todo_write", "merge=True, todos=[]", READ, ()),
    # Cline, Roo
    ("write_to_file", "path=src/z.py, content=x", EDIT, ("src/z.py",)),
    ("apply_diff", "path=src/q.py, diff=<<<<<<< SEARCH", EDIT, ("src/q.py",)),
    ("update_todo_list", "todos=[ ] write tests", READ, ()),
    ("attempt_completion", "result=Done", SUBMIT, ()),
    # OpenHands, Goose: one tool, read by its command wherever it stands
    ("str_replace_editor", "path=/repo/a.py, command=view", READ, ()),
    ("file_editor", "command=create, path=/repo/b.py, file_text=x", EDIT, ("/repo/b.py",)),
    ("developer__text_editor", "command=str_replace, path=/r/c.py, old_str=a", EDIT,
     ("/r/c.py",)),
    ("task_tracker", "command=plan, task_list=[]", READ, ()),
    ("finish", "message=done", SUBMIT, ()),
    # Gemini CLI
    ("replace", "file_path=/p/main.go, old_string=a, new_string=b", EDIT, ("/p/main.go",)),
    ("write_todos", "todos=[]", READ, ()),
    ("save_memory", "fact=the user likes tabs", READ, ()),
    # opencode, Copilot, Windsurf
    ("write", "filePath=/p/new.ts, content=x", EDIT, ("/p/new.ts",)),
    ("replace_string_in_file", "filePath=/p/a.ts, oldString=a", EDIT, ("/p/a.ts",)),
    ("memory", "command=create, path=/memories/notes.md, file_text=x", READ, ()),
    ("replace_file_content", "TargetFile=/p/b.py, Instruction=fix", EDIT, ("/p/b.py",)),
    # no agent has it: read from its arguments
    ("update_source", "path=src/f.c", EDIT, ("src/f.c",)),
])
def test_a_call_does_what_its_agents_table_says(name, brief, kind, edits):
    action = steps.tool_action(name, brief)
    assert (action.kind, action.edits) == (kind, edits)


def test_a_name_two_agents_share_means_one_kind():
    seen = {}
    for agent, table in tools.AGENTS.items():
        for name, tool in table.items():
            seen.setdefault(name, {})[agent] = tool.kind
    clashes = {name: kinds for name, kinds in seen.items() if len(set(kinds.values())) > 1}
    assert clashes == {}
    assert all(tools.TABLE[name].kind in set(kinds.values()) for name, kinds in seen.items())


@pytest.mark.parametrize("said, changed", [
    ("<write_to_file>\n<path>src/app.js</path>\n<content>x</content>\n</write_to_file>",
     "src/app.js"),
    ("# modification 1\n```python\n<file>pkg/mod.py</file>\n<original>a</original>\n"
     "<patched>b</patched>\n```", "pkg/mod.py"),
])
def test_an_edit_written_in_the_text_is_a_change_unless_refused(said, changed):
    def progress(answer):
        summary = summarize_transcript(f"[User]: fix it\n[Assistant]: {said}\n"
                                       f"[User]: {answer}")
        return " ".join(p for p in summary["progress"] if p.startswith("Changed: "))
    assert changed in progress("The content was saved.")
    assert changed not in progress("Your patch could not be applied to the program.")


@pytest.mark.parametrize("said, changed", [
    ("I'll add the test to the existing `src/git.test.ts` file.\n\n---\n\n```diff\n  a\n+ b\n```",
     ("src/git.test.ts",)),
    # the words name two files, or the name is in the code shown before: no file is known
    ("Both `a.py` and `b.py` change:\n```diff\n- x\n+ y\n```", ()),
    ("```python\nimport `a.py`\n```\n```diff\n- x\n+ y\n```", ()),
    # a diff that names its file is read by its header, whatever the words say
    ("Fixing `a.py`:\n```diff\n--- a/b.py\n+++ b/b.py\n@@ -1 +1 @@\n-x\n+y\n```", ("b.py",)),
])
def test_a_diff_without_a_file_name_changes_the_one_file_just_named(said, changed):
    assert steps.text_edits(said) == changed


def test_a_shell_called_in_xml_is_a_run():
    summary = summarize_transcript(
        "[User]: run the tests\n[Assistant]: <execute_command>\n<command>npm test</command>\n"
        "</execute_command>\n[User]: [execute_command for 'npm test'] Result:\n"
        "Command failed with exit code 1.\nOutput:\nFAIL src/app.test.js")
    assert any("npm test" in item for item in summary["blockers"])


@pytest.mark.parametrize("path, scratch", [
    ("/tmp/repro.py", True), ("/var/tmp/x.sh", True), ("/tmp/work/src/app.py", False),
    ("/repo/tmp/a.py", False),
])
def test_only_files_directly_in_a_temporary_folder_are_scratch(path, scratch):
    summary = summarize_transcript(f"[User]: go\n[Assistant called Write]: file_path={path}, "
                                   "content=x\n[Tool Result (t1)]: File created successfully")
    assert (path in " ".join(summary["progress"])) is not scratch


def test_a_complaint_the_run_went_past_is_no_blocker():
    complaint = "[User]: Stop hook feedback: cannot exit with unstaged changes."
    fixed = ("[Assistant called Bash]: command=git commit -am 'Add x'\n"
             "[Tool Result (t1)]: [main 1a2b3c4] Add x\n[Assistant]: Committed.")
    assert summarize_transcript(f"[User]: add x\n{complaint}")["blockers"]
    assert summarize_transcript(f"[User]: add x\n{complaint}\n{fixed}")["blockers"] == []


EDITED = ("[Assistant called Edit]: file_path=/w/src/a.py, old_string=x, new_string=y\n"
          "[Tool Result (t9)]: The file was updated.")


@pytest.mark.parametrize("said", [
    "[Assistant]: I'm blocked: the staging database rejects our credentials.",
    "[User]: heads up, the build cluster is down for maintenance until tomorrow.",
])
def test_what_stopped_the_work_stays_known_once_the_work_went_on(said):
    at_end = summarize_transcript(f"[User]: fix the importer\n{said}")
    assert at_end["blockers"] and not any(f.startswith(WENT_ON) for f in at_end["key_facts"])
    # the user's words stand until a later request is done
    went_on = (f"[User]: Please add a retry to the importer.\n{EDITED}"
               if said.startswith("[User]") else EDITED)
    later = summarize_transcript(f"[User]: fix the importer\n{said}\n{went_on}")
    assert later["blockers"] == []
    assert [f for f in later["key_facts"] if f.startswith(WENT_ON)] == [
        WENT_ON + at_end["blockers"][0]]
    # carried by an earlier summary, and settled by the part that follows it
    earlier = ConversationSummarizer(ExtractiveClient()).format_summary_for_context(at_end)
    carried = summarize_transcript(f"[User]: go on\n{EDITED}", earlier)
    assert carried["blockers"] == [] and WENT_ON + at_end["blockers"][0] in carried["key_facts"]


@pytest.mark.parametrize("output, outcome", [
    ("me@box app % npm test\nFAIL src/a.test.js\n  1 failed\nme@box app %", "failed"),
    ("me@box app % npm test\nTests: 4 passed, 4 total\nme@box app %", "passed"),
])
def test_a_run_a_message_shows_with_its_terminal_is_a_step(output, outcome):
    said = f"Running the tests:\n\n```bash\nnpm test\n```\n\n```\n{output}\n```\n\nDone."
    summary = summarize_transcript(f"[User]: fix the tests\n[Assistant]: {said}")
    listed = " ".join(summary["progress"] + summary["blockers"])
    assert "`npm test` " + ("failed" if outcome == "failed" else "passed") in listed
    assert "me@box" not in listed and "me@box" not in summary["current_state"]


def test_an_output_a_message_only_expects_is_no_run():
    said = "Run this:\n\n```bash\nnpm test\n```\n\n```\nTests: 4 passed\n```"
    summary = summarize_transcript(f"[User]: how do I test?\n[Assistant]: {said}")
    assert not any("npm test" in item for item in summary["progress"])


def test_a_lost_result_shifts_no_other_call():
    summary = summarize_transcript(
        "[User]: add a test\n"
        "[Assistant called Edit]: file_path=/w/src/a.py, old_string=x, new_string=y\n"
        "[Assistant called Edit]: file_path=/w/tests/t.py, old_string=x, new_string=y\n"
        "[Tool Result (b)]: The file /w/tests/t.py has been updated.\n"
        "[Assistant called Bash]: command=git commit -am 'Add a test'\n"
        "[Tool Result (c)]: [main 1a2b3c4] Add a test\n"
        "[Assistant called Read]: file_path=/w/README.md\n"
        "[Tool Result (d)]: Exit code 1 is what the tool prints on failure")
    listed = " ".join(summary["progress"])
    assert "tests/t.py" in listed and "Committed: " in listed and summary["blockers"] == []


@pytest.mark.parametrize("output, kept", [
    ("Listening on port 8443 with TLS", True),
    ("Tokens: 3.2k sent, 21 received. Cost: $0.0082 message", False),
    ("Wall time: 2.4 seconds", False),
    ("     12→DEFAULT_PORT = 8443", False),
    ("npm WARN deprecated inflight@1.0.6: leaks memory", False),
    ("def connect(host='db.internal', port=5432):", False),
])
def test_an_output_line_is_a_fact_only_when_a_person_would_keep_it(output, kept):
    summary = summarize_transcript("[User]: start it\n[Assistant called run]: command=./serve\n"
                                   f"[Tool Result (a)]: {output}")
    assert any(output.strip()[:20] in fact for fact in summary["key_facts"]) is kept


def test_a_check_that_could_not_start_did_not_fail():
    summary = summarize_transcript(
        "[User]: run the tests\n[Assistant called bash]: command=python -m pytest -q\n"
        "[Tool Result (a)]: /usr/bin/python: No module named pytest\nExit code: 1")
    assert summary["blockers"] == ["`python -m pytest -q` could not run: "
                                   "/usr/bin/python: No module named pytest"]


@pytest.mark.parametrize("output, quoted", [
    ("bun test v1.2\nThe following filters did not match any test files:\n  a.test.ts",
     "The following filters did not match any test files:"),
    ("collected 0 items\n\n==== no tests ran in 0.01s ====", "==== no tests ran in 0.01s ===="),
])
def test_a_check_that_found_no_tests_did_not_pass(output, quoted):
    summary = summarize_transcript("[User]: run the tests\n[Assistant called bash]: "
                                   f"command=npm test\n[Tool Result (a)]: {output}")
    assert summary["blockers"] == [f"`npm test` failed: {quoted}"]


@pytest.mark.parametrize("later, open_", [
    ("[Assistant called Bash]: command=git commit -m 'Add x' --no-verify\n"
     "[Tool Result (b)]: [main 1a2b3c4] Add x", False),
    ("[Assistant called Bash]: command=make docs\n[Tool Result (b)]: built", True),
])
def test_words_that_a_commit_cannot_be_made_last_until_one_is(later, open_):
    said = "[Assistant]: I'm blocked: the pre-commit hook won't let me commit."
    summary = summarize_transcript(f"[User]: add x\n{said}\n{later}")
    assert bool(summary["blockers"]) is open_


@pytest.mark.parametrize("output, code", [
    ("Exit code 2\nerror: no such file", 2),                           # Claude Code
    ("Exit code: 1\nWall time: 0.3 seconds\nOutput:\nboom", 1),         # Codex shell
    ("Chunk ID: 4\nProcess exited with code 0\nOutput:\nok", 0),        # Codex exec_command
    ("Command failed with exit code 1.\nOutput:\nboom", 1),             # Cline
    ("Command executed successfully (exit code 0).\nOutput:\nok", 0),   # Cline
    ("boom\n[Command finished with exit code 3]", 3),                  # OpenHands
    ("Output: boom\nExit Code: 1", 1),                                 # Gemini CLI
    ("<returncode>1</returncode>\n<output>boom</output>", 1),           # mini-swe-agent
])
def test_each_agents_exit_status_is_read(output, code):
    assert steps.status(output) == code


@pytest.mark.parametrize("said", [
    "Done. What the importer has now:\n- Error handling for rows that can't be parsed",
    "Report:\n1. If more schemas are required, they are missing.",
    "<think>\nThe user is stuck; I cannot proceed without the key.\n</think>\nAdded the cache.",
])
def test_a_list_a_supposition_or_thinking_is_no_blocker(said):
    summary = summarize_transcript(f"[User]: add a cache\n[Assistant]: {said}")
    assert summary["blockers"] == []


def test_what_the_user_said_stood_in_the_way_is_past_once_later_work_is_done():
    blocked = "[User]: add x\n[User]: The staging server can't be reached from here."
    later = ("[User]: Also, can you add y to src/y.py?\n[Assistant called Write]: "
             "file_path=src/y.py, content=y\n[Tool Result (t1)]: File created successfully")
    assert summarize_transcript(blocked)["blockers"]
    assert summarize_transcript(f"{blocked}\n{later}")["blockers"] == []


def test_every_file_one_tool_changed_is_named():
    calls = "\n".join(f"[Assistant called Edit]: file_path=src/module_{n}.py, old_string=a, "
                      f"new_string=b\n[Tool Result (t{n})]: The file was updated."
                      for n in range(16))
    progress = " ".join(summarize_transcript(f"[User]: go\n{calls}")["progress"])
    assert all(f"src/module_{n}.py" in progress for n in range(16))


@pytest.mark.parametrize("later, open_", [
    ("", True),
    ("\n[Assistant]: <file>a.py</file>\n<original>x = 1</original>\n<patched>x = 2</patched>"
     "\n[User]: The edit was applied.", False),
])
def test_the_last_edit_the_harness_refused_stays_open_until_one_goes_in(later, open_):
    refused = ("[User]: fix a.py\n[Assistant]: <file>a.py</file>\n<original>y</original>\n"
               "<patched>z</patched>\n[User]: Your edit could not be applied to the program. "
               "None of the edits can match the original program.")
    blockers = summarize_transcript(refused + later)["blockers"]
    assert any("could not be applied" in b for b in blockers) is open_


@pytest.mark.parametrize("later, open_", [
    ("", True),
    ("\n[Assistant called Edit]: file_path=src/net.py, old_string=a, new_string=b\n"
     "[Tool Result (t1)]: The file was updated.", False),
])
def test_what_the_agent_said_stopped_it_is_past_once_it_changed_the_work(later, open_):
    said = "[User]: add retries\n[Assistant]: I'm unable to reach the package index from here."
    assert bool(summarize_transcript(said + later)["blockers"]) is open_


def test_a_stop_an_earlier_summary_carries_is_past_once_the_work_changed():
    earlier = ("## Conversation History Summary\n### Original Goals\n  - add retries\n"
               "### Issues & Resolutions\n  - I'm unable to reach the package index.\n")
    later = ("[Assistant called Edit]: file_path=src/net.py, old_string=a, new_string=b\n"
             "[Tool Result (t1)]: The file was updated.")
    assert summarize_transcript("[Assistant]: Looking at the code.", earlier)["blockers"]
    assert summarize_transcript(later, earlier)["blockers"] == []


@pytest.mark.parametrize("output", [
    "?   \texample.com/app/util\t[no test files]",
    "collected 0 items\n\n==== no tests ran in 0.01s ====",
])
def test_a_check_that_tested_nothing_stays_open_past_an_unrelated_fix(output):
    ran = f"[Assistant called bash]: command=go test ./util\n[Tool Result (a)]: {output}"
    fix = ("[Assistant called Edit]: file_path=src/net.py, old_string=a, new_string=b\n"
           "[Tool Result (t1)]: The file was updated.\n[Assistant called bash]: "
           "command=python src/net.py\n[Tool Result (b)]: ok")
    assert summarize_transcript(f"[User]: test it\n{ran}\n{fix}")["blockers"]
