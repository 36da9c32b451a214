"""The offline client tells the truth: a success is no blocker, a failure is quoted by the
line a person would quote, a later pass settles a failure, the goal and the constraints
are kept apart, what the user states is kept, and progress is what changed the work.
One case of each trap in each tool family's wording."""

import asyncio

import pytest
from hypothesis import given, strategies as st

from morvex_summarize import summarize
from morvex_summarize.session import evidence
from morvex_summarize import carry
from morvex_summarize.clients.extractive import summarize_transcript


def run(command, output, said="Running it."):
    """A transcript of one shell call and its output."""
    return (f"[User]: fix the build\n[Assistant]: {said}\n"
            f"[Assistant called shell]: cmd={command}\n[Tool Result (c1)]: {output}")


# (family, command, output, what the blocker quotes)
FAILURES = [
    ("pytest", "pytest -x tests/test_importer.py",
     "tests/test_importer.py:41: \napp/importer.py:88: in run\n"
     "E   ValueError: column amount already exists\n\napp/importer.py:120: ValueError\n"
     "FAILED tests/test_importer.py::test_twice - ValueError: column amount already exists\n"
     "==== 1 failed, 13 passed in 0.91s ====",
     "ValueError: column amount already exists (at app/importer.py:120)"),
    ("python", "python -m app.migrate",
     'Traceback (most recent call last):\n  File "app/cli.py", line 12, in <module>\n'
     '    main()\n  File "app/migrate.py", line 88, in add_column\n'
     '    raise ValueError(name)\nValueError: column amount already exists',
     "ValueError: column amount already exists (at app/migrate.py:88, in add_column)"),
    ("unittest", "python -m unittest tests.test_ledger",
     "F\n======\nFAIL: test_totals (tests.test_ledger.LedgerTest)\n------\n"
     'Traceback (most recent call last):\n  File "tests/test_ledger.py", line 30, in '
     "test_totals\n    self.assertEqual(total, 120)\nAssertionError: 118 != 120\n\n"
     "Ran 4 tests in 0.015s\n\nFAILED (failures=1)",
     "AssertionError: 118 != 120 (at tests/test_ledger.py:30, in test_totals)"),
    ("cargo test", "cargo test",
     "test worker::retries ... FAILED\n\n---- worker::retries stdout ----\n"
     "thread 'main' panicked at src/worker.rs:88:14:\nqueue was empty\n\n"
     "test result: FAILED. 1 passed; 1 failed; 0 ignored",
     "panicked: queue was empty (at src/worker.rs:88:14)"),
    ("cargo build", "cargo build",
     "   Compiling ledger v0.1.0\nerror[E0425]: cannot find value `total` in this scope\n"
     " --> src/main.rs:4:5\n\nerror: could not compile `ledger`",
     "error[E0425]: cannot find value `total` in this scope (at src/main.rs:4:5)"),
    ("go test", "go test ./...",
     "--- FAIL: TestParse (0.00s)\n    parse_test.go:27: got 3 rows, want 4\nFAIL\n"
     "FAIL\tgithub.com/acme/app/parse\t0.004s",
     "--- FAIL: TestParse: parse_test.go:27: got 3 rows, want 4"),
    ("go panic", "go run ./cmd/server",
     "panic: assignment to entry in nil map\n\ngoroutine 1 [running]:\nmain.load(...)\n"
     "\t/app/cmd/server/main.go:41 +0x1d\nexit status 2",
     "panic: assignment to entry in nil map (at /app/cmd/server/main.go:41)"),
    ("jest", "npx jest",
     "FAIL src/sum.test.ts\n  ● sum › adds two numbers\n\n"
     "    expect(received).toBe(expected)\n\n    Expected: 4\n    Received: 5\n\n"
     "Tests:       1 failed, 3 passed, 4 total",
     "● sum › adds two numbers: expect(received).toBe(expected); Expected: 4; Received: 5"),
    ("vitest", "npx vitest run",
     " FAIL  src/parser.test.ts > parser > reads rows\n"
     "AssertionError: expected 'a' to be 'b'\n ❯ src/parser.test.ts:12:20\n\n"
     "      Tests  1 failed | 4 passed (5)",
     "AssertionError: expected 'a' to be 'b'"),
    ("mypy", "mypy src/",
     'src/billing.py:12: error: Name "total" is not defined  [name-defined]\n'
     "Found 1 error in 1 file (checked 31 source files)",
     'src/billing.py:12: error: Name "total" is not defined [name-defined]'),
    ("ruff", "ruff check .",
     "src/app.py:3:8: F401 [*] `os` imported but unused\nFound 1 error.",
     "src/app.py:3:8: F401 [*] `os` imported but unused"),
    ("eslint", "npx eslint src",
     "\n/app/src/cart.js\n  12:5  error  'total' is not defined  no-undef\n\n"
     "✖ 1 problem (1 error, 0 warnings)",
     "/app/src/cart.js:12:5 error 'total' is not defined no-undef"),
    ("tsc", "npx tsc --noEmit",
     "src/api.ts(12,5): error TS2304: Cannot find name 'total'.\n\nFound 1 error.",
     "src/api.ts(12,5): error TS2304: Cannot find name 'total'."),
    ("npm", "npm install",
     "npm ERR! code E404\nnpm ERR! 404 Not Found - GET https://registry.npmjs.org/lefpad\n",
     "npm ERR! 404 Not Found - GET https://registry.npmjs.org/lefpad"),
    ("make", "make",
     "cc -c src/ledger.c\nsrc/ledger.c:42:7: error: 'mode' undeclared\n"
     "make: *** [Makefile:12: ledger.o] Error 1",
     "src/ledger.c:42:7: error: 'mode' undeclared"),
    ("http", "curl -si -X POST http://localhost:8080/api/orders",
     "HTTP/1.1 500 Internal Server Error\ncontent-type: application/json\n\n"
     '{"error": "orders table is locked"}',
     'HTTP/1.1 500 Internal Server Error {"error": "orders table is locked"}'),
    ("shell", "ledgerctl --version", "bash: ledgerctl: command not found",
     "bash: ledgerctl: command not found"),
    ("make", "make tests", "make: *** No rule to make target 'tests'.  Stop.",
     "make: *** No rule to make target 'tests'. Stop."),
    ("http", "curl -s https://api.internal/health",
     "curl: (6) Could not resolve host: api.internal",
     "curl: (6) Could not resolve host: api.internal"),
    ("http", "curl -s http://localhost:8080/", "curl: (52) Empty reply from server",
     "curl: (52) Empty reply from server"),
]

# (family, command, output): passing runs whose wording names failure to report success
SUCCESSES = [
    ("pytest", "pytest -q", "........ [100%]\n8 passed, 0 failed, 0 errors in 0.42s"),
    ("unittest", "python -m unittest", "........\nRan 8 tests in 0.012s\n\nOK"),
    ("cargo", "cargo test", "test result: ok. 3 passed; 0 failed; 0 ignored; 0 measured"),
    ("go test", "go test ./...", "ok  \tgithub.com/acme/app/parse\t0.012s"),
    ("jest", "npx jest", "PASS src/sum.test.ts\nTests:       4 passed, 4 total"),
    ("vitest", "npx vitest run", " Test Files  1 passed (1)\n      Tests  5 passed (5)"),
    ("mypy", "mypy src/", "Success: no issues found in 12 source files"),
    ("ruff", "ruff check .", "All checks passed!"),
    ("eslint", "npx eslint src", "0 problems (0 errors, 0 warnings)"),
    ("eslint", "npx eslint src", "src/a.ts\n  3:1  warning  Unexpected console  no-console\n\n"
                                 "✖ 2 problems (0 errors, 2 warnings)"),
    ("tsc", "npx tsc --noEmit", "Found 0 errors."),
    ("npm audit", "npm audit", "audited 812 packages in 2s\n\nfound 0 vulnerabilities"),
    ("make", "make check", "All tests passed (42 assertions, failures=0)"),
    ("http", "curl -si http://localhost:8080/health", "HTTP/1.1 200 OK\n\n{\"errors\": 0}"),
    ("shell", "./scripts/check.sh; echo exit code $?", "checked 12 files, no errors\nexit code 0"),
]


@pytest.mark.parametrize("family,command,output,quoted", FAILURES, ids=[f[0] for f in FAILURES])
def test_a_failure_is_quoted_by_the_line_a_person_would_quote(family, command, output, quoted):
    summary = summarize_transcript(run(command, output))
    # a program that is not there never ran: it could not run, it did not fail
    verb = "could not run" if family == "shell" else "failed"
    assert summary["blockers"] == [f"`{command}` {verb}: {quoted}"]
    assert summary["next_steps"] == [f"Resolve the failure of `{command}`: {quoted}"]
    assert summary["current_state"].endswith(f"Latest result: `{command}` {verb}: {quoted}")


@pytest.mark.parametrize("family,command,output", SUCCESSES, ids=[s[0] for s in SUCCESSES])
def test_a_success_is_no_blocker(family, command, output):
    summary = summarize_transcript(run(command, output))
    assert summary["blockers"] == [] and summary["next_steps"] == []
    assert any(p.startswith(f"`{command}` passed") for p in summary["progress"])
    assert evidence.outcome(output) == evidence.PASSED


# (family, failing run, passing run of the same check)
SETTLED = [
    ("pytest", ("pytest tests/test_io.py", "FAILED tests/test_io.py::test_load - KeyError: 'x'\n"
                                          "1 failed, 4 passed in 0.2s"),
     ("pytest tests/test_io.py", "5 passed in 0.2s")),
    ("pytest, the whole suite", ("pytest tests/test_io.py::test_load",
                                 "E   KeyError: 'x'\n1 failed in 0.1s"),
     ("python -m pytest", "40 passed in 3.1s")),
    ("cargo", ("cargo test -p ledger", "test result: FAILED. 2 passed; 1 failed"),
     ("cargo test -p ledger", "test result: ok. 3 passed; 0 failed")),
    ("go", ("go test ./parse/...", "--- FAIL: TestRead (0.00s)\nFAIL"),
     ("go test ./parse/...", "ok  \tgithub.com/acme/app/parse\t0.003s")),
    ("jest", ("npx jest src/cart", "FAIL src/cart/a.test.ts\nTests:       1 failed, 1 total"),
     ("npx jest src/cart", "PASS src/cart/a.test.ts\nTests:       1 passed, 1 total")),
    ("mypy", ("mypy src/", "src/a.py:9: error: Missing return statement  [return]"),
     ("mypy src/", "Success: no issues found in 4 source files")),
    ("tsc", ("npx tsc --noEmit", "src/a.ts(3,1): error TS2554: Expected 2 arguments."),
     ("npx tsc --noEmit", "Found 0 errors.")),
    ("make", ("make -C ledger test", "make: *** [Makefile:20: test] Error 1"),
     ("make -C ledger test", "[  PASSED  ] 42 tests.")),
    ("http", ("curl -si http://localhost:8080/api", "HTTP/1.1 503 Service Unavailable"),
     ("curl -si http://localhost:8080/api", "HTTP/1.1 200 OK")),
]


@pytest.mark.parametrize("family,failing,passing", SETTLED, ids=[s[0] for s in SETTLED])
def test_a_later_pass_of_the_same_check_settles_a_failure(family, failing, passing):
    transcript = (run(*failing) + "\n[Assistant]: Fixing it.\n"
                  f"[Assistant called shell]: cmd={passing[0]}\n[Tool Result (c2)]: {passing[1]}")
    summary = summarize_transcript(transcript)
    assert summary["blockers"] == [] and summary["next_steps"] == []
    resolved = [f for f in summary["key_facts"] if f.startswith(carry.RESOLVED_PREFIX)]
    assert len(resolved) == 1 and resolved[0].startswith(
        f"{carry.RESOLVED_PREFIX}`{failing[0]}` failed: ")
    # and in a summary that builds on the one that still held the failure
    earlier = summarize_transcript(run(*failing))
    text = "\n".join(["### Original Goals", *(f"  - {g}" for g in earlier["goals"]),
                      "### Issues & Resolutions", *(f"  - {b}" for b in earlier["blockers"]),
                      "### Next Steps", *(f"  - {n}" for n in earlier["next_steps"])])
    later = summarize_transcript(
        f"[Assistant called shell]: cmd={passing[0]}\n[Tool Result (c2)]: {passing[1]}", text)
    assert later["blockers"] == [] and later["next_steps"] == []
    assert any(f.startswith(carry.RESOLVED_PREFIX) for f in later["key_facts"])


@pytest.mark.parametrize("failing,passing", [
    (("pytest tests/test_io.py", "1 failed, 4 passed"), ("pytest tests/test_db.py", "3 passed")),
    (("cargo test -p ledger", "test result: FAILED. 0 passed; 1 failed"),
     ("cargo test -p api", "test result: ok. 1 passed; 0 failed")),
    (("npx jest", "Tests: 1 failed, 1 total"), ("npx eslint src", "0 problems (0 errors)")),
], ids=["other test file", "other package", "other tool"])
def test_a_pass_of_another_check_settles_nothing(failing, passing):
    transcript = (run(*failing) + f"\n[Assistant called shell]: cmd={passing[0]}\n"
                  f"[Tool Result (c2)]: {passing[1]}")
    summary = summarize_transcript(transcript)
    assert [b.split(" failed: ")[0] for b in summary["blockers"]] == [f"`{failing[0]}`"]


def test_a_fix_of_the_file_a_failure_names_then_a_pass_settles_it():
    transcript = (run("ci logs payments --last",
                      "error: src/ledger.cpp:42: 'mode' was not declared in this scope")
                  + "\n[Assistant called edit_file]: path=src/ledger.cpp, line=42\n"
                  "[Tool Result (c2)]: ok\n[Assistant called shell]: cmd=make -C payments test\n"
                  "[Tool Result (c3)]: [  PASSED  ] 214 tests.")
    summary = summarize_transcript(transcript)
    assert summary["blockers"] == []
    assert "Changed: `edit_file` src/ledger.cpp" in summary["progress"]
    # a pass before the fix settles nothing
    early = summarize_transcript(
        run("ci logs payments --last", "error: src/ledger.cpp:42: 'mode' was not declared")
        + "\n[Assistant called shell]: cmd=make -C payments test\n"
        "[Tool Result (c3)]: [  PASSED  ] 214 tests.")
    assert len(early["blockers"]) == 1


@pytest.mark.parametrize("flagged", ["[error] request timed out", "[error] 0 failed"])
def test_the_results_own_error_flag_is_a_failure(flagged):
    assert evidence.outcome(flagged) == evidence.FAILED


def test_what_a_read_shows_is_not_the_reads_failure():
    log = "2024-05-01 INFO start\n2024-05-01 ERROR payment 41 failed: timeout\nINFO done"
    summary = summarize_transcript("[User]: look at the log\n[Assistant called read_file]: "
                                   f"path=logs/app.log\n[Tool Result (c1)]: {log}")
    assert summary["blockers"] == []
    missing = summarize_transcript("[User]: look\n[Assistant called read_file]: path=x.py\n"
                                   "[Tool Result (c1)]: cat: x.py: No such file or directory")
    assert missing["blockers"] == []  # a wrong path looked at is no failure of the work


# -- counts and statuses decide, whatever the tool's wording ------------------------------

COUNTED = [
    "{n} failed, {m} passed in 0.42s",
    "test result: {word}. {m} passed; {n} failed; 0 ignored",
    "Tests:       {n} failed, {m} passed, {t} total",
    "Found {n} errors in 2 files (checked 12 source files)",
    "{t} problems ({n} errors, 0 warnings)",
    "Found {n} errors.",
    "found {n} vulnerabilities",
    "Ran {t} tests in 0.1s\n\nFAILED (failures={n})",
    "Process exited with code {n}",
    "exit status {n}",
]


@given(st.sampled_from(COUNTED), st.integers(0, 500), st.integers(0, 500))
def test_a_count_of_failures_fails_only_above_zero(wording, n, m):
    output = wording.format(n=n, m=m, t=n + m, word="FAILED" if n else "ok")
    expected = evidence.FAILED if n else None
    if "FAILED (failures" in wording and n == 0:
        expected = evidence.FAILED  # FAILED in capitals says so itself
    assert (evidence.outcome(output) == evidence.FAILED) is (expected == evidence.FAILED)


@given(st.integers(100, 599), st.sampled_from(["HTTP/1.1 {c} Reason", "< HTTP/2 {c}",
                                               '{{"status": {c}, "data": []}}',
                                               "status code: {c}"]))
def test_an_http_status_fails_from_400(code, wording):
    failed = evidence.outcome(wording.format(c=code)) == evidence.FAILED
    assert failed is (code >= 400)


# -- what the user says -------------------------------------------------------------------

@pytest.mark.parametrize("said,kept", [
    ("Fact you should know: the staging cluster is called ledger-stg-eu3 and has 16 replicas",
     "ledger-stg-eu3"),
    ("FYI the database host is db7.internal", "db7.internal"),
    ("btw the registry credentials live in vault under secret/ci/registry", "secret/ci/registry"),
    ("the maintenance window is 02:00-03:00 UTC", "02:00-03:00"),
    ("use port 5433 for the replica", "5433"),
    ("the ticket for this is PAY-4411", "PAY-4411"),
], ids=["cluster", "host", "credentials", "window", "port", "ticket"])
def test_what_the_user_states_is_a_fact(said, kept):
    summary = summarize_transcript(f"[User]: Fix the importer.\n[Assistant]: On it.\n[User]: {said}")
    assert any(f.startswith(carry.USER_PREFIX) and kept in f for f in summary["key_facts"])


@pytest.mark.parametrize("asked,answer,kept", [
    ("Shall I book BA304 for the trip?", "yes", "BA304"),
    ("Which flight should I book?", "Yes, book BA304", "BA304"),
    ("I can tag it v2.4.1-rc3. Shall I?", "sure", "v2.4.1-rc3"),
], ids=["yes to a question", "an answer that names it", "a short question"])
def test_an_answer_keeps_what_it_answers(asked, answer, kept):
    summary = summarize_transcript(f"[User]: Plan my trip.\n[Assistant]: {asked}\n"
                                   f"[User]: {answer}")
    facts = [f for f in summary["key_facts"] if f.startswith(carry.ASKED_PREFIX)]
    assert len(facts) == 1 and kept in facts[0] and facts[0].endswith(f"User: {answer}")


@pytest.mark.parametrize("goal,rule", [
    ("Make the importer idempotent.", "Never drop the audit tables."),
    ("Goal: add retries to the uploader.", "Constraints: don't change the public API."),
    ("Please port the tests to pytest.", "Whatever you do, keep Python 3.9 working."),
], ids=["plain", "labelled", "whatever"])
def test_the_goal_and_its_constraint_are_listed_once_each(goal, rule):
    summary = summarize_transcript(f"[User]: {goal} {rule}")
    bare_goal = goal.removeprefix("Goal: ")
    bare_rule = rule.removeprefix("Constraints: ")
    assert summary["goals"] == [bare_goal, carry.CONSTRAINT_PREFIX + bare_rule]


# -- progress is what changed the work ----------------------------------------------------

@pytest.mark.parametrize("call,prefix,changed", [
    ("[Assistant called edit_file]: path=src/io.py, old=a, new=b", "Changed: ", "src/io.py"),
    ("[Assistant called write_file]: path=src/new.py, content=x = 1", "Changed: ",
     "src/new.py"),
    ("[Assistant called apply_patch]: patch=*** Begin Patch *** Update File: lib/w.go",
     "Changed: ", "lib/w.go"),
    ("[Assistant called str_replace_editor]: command=str_replace, path=/repo/app.ts",
     "Changed: ", "/repo/app.ts"),
    ("[Assistant called Edit]: replace_all=False, file_path=/w/src/a.rs, old_string=x",
     "Changed: ", "/w/src/a.rs"),
    ("[Assistant called shell]: cmd=sed -i 's/a/b/' config/app.toml", "Changed: ",
     "config/app.toml"),
    ("[Assistant called shell]: cmd=git commit -am 'Retry the upload'", "Committed: ",
     "git commit"),
    ("[Assistant called shell]: cmd=pip install httpx==0.27.0", "Installed: ",
     "httpx==0.27.0"),
], ids=["edit", "write", "apply_patch", "str_replace", "table", "sed", "commit", "install"])
def test_a_change_is_progress_and_reads_are_counted(call, prefix, changed):
    reads = "\n".join(f"[Assistant called read_file]: path=src/part{i}.py\n"
                      f"[Tool Result (r{i})]: x = {i}" for i in range(40))
    summary = summarize_transcript(f"[User]: go\n{reads}\n{call}\n[Tool Result (c1)]: ok")
    changes = [p for p in summary["progress"] if p.startswith(("Changed: ", "Committed: ",
                                                                "Installed: "))]
    assert len(changes) == 1 and changes[0].startswith(prefix) and changed in changes[0]
    assert f"{carry.LOOKED_PREFIX}read_file 40x (under src/)" in summary["progress"]
    assert len(summary["progress"]) == 2


def test_the_example_conversation_tells_the_truth(mod):
    import json

    from cli_support import SAMPLE

    record = asyncio.run(summarize(json.loads(SAMPLE.read_text(encoding="utf-8"))))
    assert record["blockers"] == []
    assert record["current_state"].endswith("`make -C payments test` passed: [==========] "
                                            "214 tests ran. [ PASSED ] 214 tests.")


# -- what frames the task is no part of it ------------------------------------------------

PROMPT = ("Make the cart total round to cents.", "Do not change tests/.")
INSTRUCTIONS = "Never push to main. Use pnpm, not npm. The staging host is stg7.internal."
# the shapes coding agents' CLIs open with: their context, the project's instructions file,
# the tools at hand, then the user's request, and the model's thinking
OPENINGS = [
    ("claude code",
     "[User]: <system-reminder>\nAs you answer the user's questions, you can use the following "
     "context:\n# claudeMd\nContents of /home/dev/shop/CLAUDE.md (project instructions, checked "
     f"into the codebase):\n\n# Shop\n{INSTRUCTIONS}\n</system-reminder>\n<system-reminder>\n"
     "The following skills are available for use with the Skill tool:\n- pdf-forms: Use this "
     "when you must fill a PDF form. Never use it for images.\n- release-notes: You should "
     "always write release notes after a version bump.\n</system-reminder>\n"
     f"{' '.join(PROMPT)}\n[Assistant]: [thinking] The user wants rounding. I'll go with "
     "Decimal instead of float.\n\nI can't see the ledger id LED-4411 yet; we should check it."
     "\nLet me look."),
    ("codex",
     "[User]: <environment_context>\n  <cwd>/home/dev/shop</cwd>\n  <approval_policy>never"
     "</approval_policy>\n</environment_context>\n[User]: <user_instructions>\n# AGENTS.md "
     f"instructions for /home/dev/shop\n\n{INSTRUCTIONS}\n</user_instructions>\n"
     f"[User]: {' '.join(PROMPT)}\n[Assistant]: [reasoning] **Choosing the type**\n\nI'll go "
     "with Decimal instead of float.\n\nI can't see the ledger id LED-4411 yet; we should "
     "check it."),
    ("codex, instructions file first",
     "[User]: # AGENTS.md instructions for /home/dev/shop\n\n<INSTRUCTIONS>\n"
     f"{INSTRUCTIONS}\n</INSTRUCTIONS>\n[User]: <environment_context>\n  <cwd>/home/dev/shop"
     f"</cwd>\n</environment_context>\n[User]: {' '.join(PROMPT)}\n[Assistant]: [reasoning] "
     "I'll go with Decimal instead of float.\n[Assistant]: [reasoning] I can't see the ledger "
     "id LED-4411 yet; we should check it."),
]
# the work that follows, with the notes the harness adds to a tool's output and to the
# user's messages
WORK = ("\n[Assistant called shell]: cmd=rg -n total src\n[Tool Result (c1)]: src/cart.ts:12: "
        "total\n\n<system-reminder>\nThe todo list at /home/dev/.todos/41.json has 3 items left."
        "\n</system-reminder>\n[Assistant]: I'll switch the total to integer cents.\n"
        "[User]: FYI the database host is db7.internal\n<system-reminder>\nThe user opened "
        "/home/dev/shop/src/cart.ts in the IDE.\n</system-reminder>\n[Assistant]: Noted.\n"
        "[User]: <system-reminder>\nToken usage: 41234/200000; 158766 remaining\n"
        "</system-reminder>")


@pytest.mark.parametrize("opening", [o for _, o in OPENINGS], ids=[n for n, _ in OPENINGS])
def test_the_agents_context_and_thinking_are_no_goal_rule_decision_or_fact(opening):
    summary = summarize_transcript(opening + WORK)
    assert summary["goals"] == [PROMPT[0], carry.CONSTRAINT_PREFIX + PROMPT[1]]
    assert summary["key_decisions"] == ["I'll switch the total to integer cents."]
    assert summary["key_facts"] == [carry.USER_PREFIX + "FYI the database host is db7.internal"]
    # a trailing reminder is no message to answer
    assert summary["blockers"] == [] and summary["next_steps"] == []
    told = f"{summary['current_state']} {summary['summary']}"
    assert not [w for w in ("pnpm", "stg7", "Decimal", "LED-4411", "Token", "reminder", "AGENTS",
                            "CLAUDE", "cwd") if w in told]
