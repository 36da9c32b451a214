"""Seeded coding-agent sessions that plant what each of the agent's steps did, for the
second table of the truth benchmark (benchmarks/truth.py).

    session = make_step_session(seed, index, held_out=False)
    session.messages   # OpenAI chat messages, the system message first
    session.traps      # each step trap with its marker (and `other`, the second marker)

Every session opens with one of two first requests, by the parity of its index:

  quoted_rule    (even) the request quotes a bug report (a tagged or fenced block, or the
                 text after "Here is the bug report:") whose rule-like sentence holds the
                 marker, and gives one instruction of its own holding `other`;
  demonstration  (odd) the first user message demonstrates another task (holding
                 `other`), the second gives the real task (holding the marker);

then plants, among filler turns, one of each:

  reproduced     a reproduction script fails with the bug's exception, a source file is
                 edited, the script runs clean; before any other change of the session;
  quiet_rerun    a check fails, a source file is edited, and the same command runs again
                 and prints neither a failure nor a word of passing (or nothing at all);
  patch_tool     a file whose path holds the marker is changed through a patch tool, an
                 editor tool, a heredoc or `sed -i`;
  viewed_only    a file whose path holds the marker is only looked at (an editor's view,
                 cat, sed -n, grep, a read tool), and another file is changed right after;
  failed_edit    a change of a file whose path holds the marker is refused (the patch does
                 not apply, the text to replace is not there); nothing else changes it;
  harness_nag    the harness's templated complaint in the user role, two or three times,
                 the agent going on with tool calls after each;
  went_on        the agent says in its own words that it cannot go on (a sentence holding
                 the marker), then changes a file, the edit's result a success;
  console_text   an interactive tool's own console text in the user's turn (its session
                 banner, its token counter, a yes/no question) holding the marker, the
                 agent going on with a tool call;
  no_tests       a test command whose output says it found nothing to run, the marker in
                 its path or filter or in that line; no later run of that check passes;
  thinking_tag   an assistant message whose thinking, in its own tags, holds a blocker-like
                 sentence with the marker, ordinary text after it.

As in benchmarks/traps.py, every wording has a development and a held-out list, and
`held_out=True` draws only from the latter. Markers are made-up words of
benchmarks/sessions.py, each planted only where its trap is.
"""
from __future__ import annotations

import random
import re
from collections.abc import Callable
from typing import Any

from benchmarks.sessions import _Builder, marker_pattern, message_text
from benchmarks.traps import Trap, TrapSession, _calls, _filler, _run

OPENINGS = ("quoted_rule", "demonstration")
STEPS = ("quiet_rerun", "patch_tool", "viewed_only", "failed_edit", "reproduced", "harness_nag",
         "went_on", "console_text", "no_tests", "thinking_tag")
STEP_TRAPS = (*STEPS, *OPENINGS)
SHELLS = ("bash", "run", "execute_bash", "shell")

Rerun = Callable[[_Builder, str], tuple[str, str, str]]  # (command, failing output, after the fix)
Step = Callable[[_Builder, str], tuple[str, dict[str, Any], str]]  # (tool, arguments, output)
Nag = Callable[[int, str], str]  # (steps left, marker) -> the complaint
Said = Callable[[_Builder, str], str]  # (builder, marker) -> a message's text
Run = Callable[[_Builder, str], tuple[str, str]]  # (builder, marker) -> (command, output)
Quoted = Callable[[_Builder, str, str], str]  # (builder, quoted marker, own marker) -> request
Demo = Callable[[_Builder, str, str], tuple[str, str]]  # (b, shown, real) -> (demo, task)


def _numbered(b: _Builder, size: int) -> str:
    return "\n".join(f"{n:6d}\t{line}" for n, line in enumerate(b.code(size).split("\n"), 1))


# -- a check that fails, then after a fix prints nothing that says passed or failed ----

QUIET_RERUNS: tuple[list[Rerun], list[Rerun]] = ([
    lambda b, m: (f"python {m}-check.py",
                  "Traceback (most recent call last):\n"
                  f'  File "/repo/{m}-check.py", line {b.small(5, 40)}, in <module>\n'
                  "    assert totals == expected, totals\nAssertionError: {'eur': 118}",
                  "ready"),
    lambda b, m: (f"go vet ./internal/{m}/...",
                  f"# github.com/acme/app/internal/{m}\n"
                  f"internal/{m}/conn.go:{b.small(10, 90)}:2: unreachable code\nexit status 1",
                  "<returncode>0</returncode>\n<output>\n</output>"),
    lambda b, m: (f"node scripts/{m}-check.mjs",
                  "file:///repo/src/totals.mjs:9\n  return rows.reduce((a, r) => a + r.amount);\n"
                  "TypeError: Cannot read properties of undefined (reading 'reduce')\n"
                  "    at total (file:///repo/src/totals.mjs:9:15)",
                  str(b.small(10, 99))),
    lambda b, m: (f"make -s check-{m}",
                  "src/ledger.c:57:12: error: 'balance' undeclared (first use in this function)\n"
                  f"make: *** [Makefile:{b.small(10, 60)}: check-{m}] Error 1",
                  ""),
], [
    lambda b, m: (f"python scripts/check.py {m} --sample 3",
                  "Traceback (most recent call last):\n"
                  f'  File "scripts/check.py", line {b.small(5, 40)}, in main\n'
                  "    price = row['unit_price']\nKeyError: 'unit_price'",
                  "done: 3 rows"),
    lambda b, m: (f"sh scripts/smoke-{m}.sh",
                  "Exit code: 1\nOutput:\n"
                  f"scripts/smoke-{m}.sh: line {b.small(3, 30)}: jq: parse error: "
                  "Invalid numeric literal at line 1, column 10",
                  "Exit code: 0\nOutput:\n"),
    lambda b, m: (f"go run ./cmd/{m}-probe",
                  "panic: runtime error: index out of range [3] with length 3\n\n"
                  "goroutine 1 [running]:\nmain.main()\n\t/app/cmd/probe/main.go:22 +0x1d\n"
                  "exit status 2",
                  f"rows={b.small(3, 9)} skipped=0"),
    lambda b, m: (f"python -c 'import {m}.cli'",
                  "Traceback (most recent call last):\n  File \"<string>\", line 1, in <module>\n"
                  "ImportError: cannot import name 'parse_args' from 'cli.options' "
                  "(/repo/cli/options.py)",
                  "<returncode>0</returncode>"),
])

# -- a reproduction script: the bug's exception, then after the fix a clean run ---------

REPRODUCTIONS: tuple[list[Rerun], list[Rerun]] = ([
    lambda b, m: (f"python repro-{m}.py",
                  "Traceback (most recent call last):\n"
                  f'  File "/repo/repro-{m}.py", line {b.small(3, 12)}, in <module>\n'
                  "    print(parse_amounts(['1,5', '2']))\n"
                  "ValueError: could not convert string to float: '1,5'",
                  "[1.5, 2.0]"),
    lambda b, m: ("python reproduce.py",
                  "Traceback (most recent call last):\n"
                  '  File "/repo/reproduce.py", line 6, in <module>\n'
                  "    registry.lookup(name)\n"
                  f"KeyError: '{m}'",
                  f"{m} -> <Handler json>"),
    lambda b, m: (f"node repro-{m}.js",
                  "RangeError: Maximum call stack size exceeded\n"
                  "    at walk (/repo/lib/tree.js:14:10)\n    at walk (/repo/lib/tree.js:18:12)",
                  f"{{ depth: {b.small(5, 20)}, nodes: {b.small(20, 90)} }}"),
], [
    lambda b, m: ("python reproduce_bug.py",
                  "Traceback (most recent call last):\n"
                  '  File "/testbed/reproduce_bug.py", line 9, in <module>\n'
                  "    print(settings.limits)\n"
                  f"AttributeError: 'NoneType' object has no attribute '{m}'",
                  f"Limits({m}={b.small(2, 9)})"),
    lambda b, m: (f"python /tmp/{m}.py",
                  "Traceback (most recent call last):\n"
                  f'  File "/tmp/{m}.py", line 4, in <module>\n'
                  "    total = sum_fields(record)\n"
                  "TypeError: unsupported operand type(s) for +: 'int' and 'str'",
                  f"total: {b.small(10, 99)}"),
    lambda b, m: (f"go run ./hack/repro/{m}",
                  "panic: sync: negative WaitGroup counter\n\ngoroutine 7 [running]:\n"
                  "sync.(*WaitGroup).Add(...)\nexit status 2",
                  f"finished {b.small(3, 40)} jobs in 12ms"),
])

# -- a change of a file whose path holds the marker -------------------------------------

PATCH_TOOLS: tuple[list[Step], list[Step]] = ([
    lambda b, m: ("apply_patch",
                  {"input": f"*** Begin Patch\n*** Update File: src/{m}/reader.py\n"
                            "@@ def read_rows(path):\n-    return rows\n"
                            "+    return [row for row in rows if row]\n*** End Patch"},
                  "Applied 1 hunk."),
    lambda b, m: ("str_replace_based_edit_tool",
                  {"command": "str_replace", "path": f"/repo/src/{m}/settings.py",
                   "old_str": "RETRIES = 1", "new_str": "RETRIES = 3"},
                  f"Edited /repo/src/{m}/settings.py (1 occurrence replaced)."),
    lambda b, m: ("bash", {"command": f"cat > src/{m}.py <<'EOF'\n{b.code(250)}\nEOF"}, ""),
    lambda b, m: ("bash", {"command": f"sed -i 's/timeout=5/timeout=30/' src/{m}/client.py"},
                  ""),
], [
    lambda b, m: ("apply_patch",
                  {"patch": f"*** Begin Patch\n*** Add File: lib/{m}/cache.py\n"
                            "+CACHE_SIZE = 128\n+TTL_SECONDS = 600\n*** End Patch"},
                  "OK"),
    lambda b, m: ("str_replace_editor",
                  {"command": "insert", "path": f"/workspace/app/{m}.py",
                   "insert_line": b.small(5, 60), "new_str": "    if not rows:\n        return []"},
                  "Inserted 2 lines."),
    lambda b, m: ("str_replace_editor",
                  {"command": "create", "path": f"/workspace/tests/{m}/test_defaults.py",
                   "file_text": b.code(200)},
                  "Saved."),
    lambda b, m: ("execute_bash",
                  {"command": f"tee pkg/{m}/defaults.py >/dev/null <<'PY'\nLIMIT = 50\nPY"},
                  "<returncode>0</returncode>"),
    lambda b, m: ("shell", {"cmd": f"sed -i -e '/^import pdb/d' scripts/{m}.py && git diff --stat"},
                  f" scripts/{m}.py | 1 -\n 1 file changed, 1 deletion(-)"),
])

# -- a file whose path holds the marker, only looked at ---------------------------------

VIEWS: tuple[list[Step], list[Step]] = ([
    lambda b, m: ("str_replace_based_edit_tool",
                  {"command": "view", "path": f"/repo/src/{m}/loader.py"},
                  _numbered(b, b.small(300, 900))),
    lambda b, m: ("bash", {"command": f"cat src/{m}/models.py"}, b.code(b.small(300, 900))),
    lambda b, m: ("bash", {"command": f"sed -n '1,80p' src/{m}.py"}, b.code(b.small(300, 900))),
    lambda b, m: ("read_file", {"path": f"lib/{m}/__init__.py"}, b.code(b.small(300, 900))),
], [
    lambda b, m: ("execute_bash", {"command": f"nl -ba app/{m}/views.py | head -n 60"},
                  _numbered(b, b.small(300, 900))),
    lambda b, m: ("bash", {"command": f"grep -n 'def ' src/{m}/api.py"},
                  "\n".join(f"{b.small(1, 400)}:" + line for line in b.code(600).split("\n")
                            if line.startswith("def "))),
    lambda b, m: ("str_replace_editor",
                  {"command": "view", "path": f"/workspace/{m}/handlers.py", "view_range": [1, 60]},
                  _numbered(b, b.small(300, 900))),
    lambda b, m: ("open_file", {"path": f"pkg/{m}/store.py", "line": b.small(1, 200)},
                  b.code(b.small(300, 900))),
])

# -- a change of a file whose path holds the marker, refused ----------------------------

FAILED_EDITS: tuple[list[Step], list[Step]] = ([
    lambda b, m: ("bash", {"command": "git apply fix.patch"},
                  f"error: patch failed: src/{m}.py:{b.small(5, 90)}\n"
                  f"error: src/{m}.py: patch does not apply\nexit status 1"),
    lambda b, m: ("str_replace_based_edit_tool",
                  {"command": "str_replace", "path": f"/repo/src/{m}/parser.py",
                   "old_str": "return tokens[:-1]", "new_str": "return tokens"},
                  "No replacement was performed: old_str `return tokens[:-1]` was not found "
                  f"in /repo/src/{m}/parser.py."),
    lambda b, m: ("apply_patch",
                  {"input": f"*** Begin Patch\n*** Update File: src/{m}/jobs.py\n@@\n"
                            "-    retry=1\n+    retry=3\n*** End Patch"},
                  f"Error: could not find the lines to replace in src/{m}/jobs.py"),
], [
    lambda b, m: ("execute_bash", {"command": "git apply --3way patches/retry.diff"},
                  f"error: patch failed: lib/{m}/retry.py:{b.small(5, 90)}\n"
                  f"error: lib/{m}/retry.py: does not match index\n<returncode>128</returncode>"),
    lambda b, m: ("str_replace_editor",
                  {"command": "str_replace", "path": f"/workspace/{m}/models.py",
                   "old_str": "max_length=20", "new_str": "max_length=64"},
                  f"ERROR: the text `max_length=20` did not appear verbatim in "
                  f"/workspace/{m}/models.py."),
    lambda b, m: ("shell", {"cmd": "patch -p1 < /tmp/fix.diff"},
                  f"patching file pkg/{m}/conn.go\nHunk #1 FAILED at {b.small(10, 200)}.\n"
                  f"1 out of 1 hunk FAILED -- saving rejects to file pkg/{m}/conn.go.rej\n"
                  "exit status 1"),
])

# -- the harness's templated complaint ---------------------------------------------------

NAGS: tuple[list[Nag], list[Nag]] = ([
    lambda n, m: "No tool call found in your reply. Each reply must call exactly one tool. "
                 f"(harness {m})",
    lambda n, m: f"Steps remaining: {n} {m}",
    lambda n, m: f"Your reply could not be parsed by {m}: expected one ```bash block. "
                 "Answer with exactly one command.",
], [
    lambda n, m: f"[{m}] You did not call a function. Use one of the available tools in "
                 "every message.",
    lambda n, m: f"{n} turns left in budget {m}. Remember to finish with the submit tool.",
    lambda n, m: f"FORMAT ERROR ({m}): a reply must hold exactly one action. Try again.",
])

# -- the agent says it cannot go on, then changes a file all the same --------------------

STOPPED: tuple[list[Said], list[Said]] = ([
    lambda b, m: f"I can't reach the {m} mirror from here, so that download is out for now.",
    lambda b, m: f"I'm unable to run the {m} migration in this sandbox: there is no database.",
    lambda b, m: f"I cannot continue with the {m} export until someone shares the API token.",
], [
    lambda b, m: f"Unfortunately I am not able to open the {m} dashboard from this environment.",
    lambda b, m: f"There is no way for me to log in to {m} with these credentials, so I have "
                 "to stop on that route.",
    lambda b, m: f"I won't be able to get the {m} service up locally; its container needs a "
                 "GPU.",
])

# -- an interactive tool's own console text in the user's turn ---------------------------

CONSOLES: tuple[list[Said], list[Said]] = ([
    lambda b, m: f"# quillchat chat started at 2025-03-04 10:{b.small(10, 59)}:00 in /repo/{m}",
    lambda b, m: f"Tokens: {b.small(1, 9)}.{b.small(1, 9)}k sent, {b.small(10, 99)} received. "
                 f"Cost: $0.01 message, $0.{b.small(10, 99)} session ({m} plan).",
    lambda b, m: f"Add src/{m}/views.py to the chat? (Y)es/(N)o [Yes]: y",
], [
    lambda b, m: f"## pairwick session opened 2025-06-{b.small(10, 28)} 14:{b.small(10, 59)}:07 "
                 f"on branch {m}",
    lambda b, m: f"[pairwick] usage: {b.small(100, 999)} in / {b.small(10, 99)} out tokens, "
                 f"${b.small(1, 9)}.{b.small(10, 99)} total, model {m}-mini",
    lambda b, m: f"Run shell command `make {m}`? (Y)es/(N)o/(A)ll [No]: n",
])

# -- a test command that found nothing to run --------------------------------------------

NO_TESTS: tuple[list[Run], list[Run]] = ([
    lambda b, m: (f"pytest -q tests/{m}/test_rows.py",
                  f"\nno tests ran in 0.{b.small(10, 99)}s\nexit status 5"),
    lambda b, m: (f"npm test -- {m}",
                  f"> app@1.0.0 test\n> jest {m}\n\nNo tests found, exiting with code 1\n"
                  "Run with `--passWithNoTests` to exit with code 0\nIn /repo\n"
                  f"  {b.small(40, 300)} files checked.\n  testRegex: \\.test\\.js$ - "
                  f"{b.small(5, 30)} matches\nPattern: {m} - 0 matches"),
    lambda b, m: (f"go test ./internal/{m}/...",
                  f"?   \tgithub.com/acme/app/internal/{m}\t[no test files]"),
], [
    lambda b, m: (f"bun test {m}",
                  f"bun test v1.1.{b.small(2, 30)}\n\nThe following filters did not match any "
                  f"test files in --cwd=\"/repo\":\n {m}\n{b.small(20, 300)} files were searched "
                  f"[{b.small(3, 40)}.00ms]"),
    lambda b, m: (f"npx vitest run src/{m}",
                  f"No test files found, exiting with code 1\n\nfilter: src/{m}\n"
                  "include: **/*.{test,spec}.?(c|m)[jt]s?(x)"),
    lambda b, m: (f"python -m pytest tests/unit/{m}.py -q",
                  f"ERROR: file or directory not found: tests/unit/{m}.py\n\n"
                  f"no tests ran in 0.0{b.small(1, 9)}s\n<returncode>4</returncode>"),
])

# -- the model's thinking in its own tags, then ordinary text ----------------------------

THOUGHTS: tuple[list[Said], list[Said]] = ([
    lambda b, m: (f"<think>\nI cannot proceed until the {m} key is set.\nMaybe the tests "
                  "mock the client anyway.\n</think>\n\nChecking how the tests build the client."),
    lambda b, m: (f"<thinking>\nThe {m} endpoint is blocked for me, so I can't check the totals "
                  "against it. Perhaps the fixtures have them.\n</thinking>\n"
                  "Reading the fixtures next."),
], [
    lambda b, m: (lambda tag: f"<thinking-{tag}>\nWe're stuck: {m} refuses the connection and "
                  "nothing works without it. Or is it only the retry path?\n"
                  f"</thinking-{tag}>\nLooking at the retry path first.")(b.hexid(6)),
    lambda b, m: (f"<think>Unable to continue, the {m} fixture is missing. Unless conftest "
                  "builds it.</think>Let me see what conftest.py sets up."),
    lambda b, m: (f"<think>\nBlocked on {m}: it has to be running before anything here "
                  "works.\nWait, the unit tests stub it.\n</think>\n"
                  "The unit tests stub that dependency, so I'll go on with them."),
])

# -- a first request quoting a report with a rule in it, and one instruction of its own --

QUOTED: tuple[list[Quoted], list[Quoted]] = ([
    lambda b, q, r: (
        "Please fix the bug described below in this repository.\n\n<pr_description>\n"
        "Since the last release the tokenizer loses the last token of a line that ends with "
        f"a backslash. The parser must never drop {q} tokens, but this one disappears.\n"
        "To see it, run `python -m tok sample.txt` and compare the counts.\n"
        f"</pr_description>\n\nDo not modify the files under tests/{r}; they already cover it."),
    lambda b, q, r: (
        "Can you resolve this bug report for me?\n\n```\nEmpty rows crash the exporter\n"
        f"Exporting a sheet with an empty row raises IndexError in {b.source_path()}. Note "
        f"that we don't validate {q} yet, so the row reaches the writer as it is.\n```\n\n"
        f"Keep changes minimal and leave {r}.cfg exactly as it is."),
    lambda b, q, r: (
        f"Make the change this report asks for. Don't touch the {r} fixtures.\n\n"
        "Here is the bug report:\nDates before 1970 come out as 1970-01-01 in the CSV. "
        f"Timestamps should always be written in UTC, and {q} fields must stay strings. "
        "Seen on 2.4 and on main."),
], [
    lambda b, q, r: (
        "Resolve the following report in the repository at /testbed.\n<issue>\n"
        "Uploading a file larger than 2 GB hangs forever. Each chunk is required to carry "
        f"a {q} header, and the client should never retry more than three times.\n"
        f"</issue>\nYou must not edit anything in docs/{r}."),
    lambda b, q, r: (
        "I'd like you to address this report from a user:\n\"\"\"\nThe CLI prints its help "
        f"text twice. It is mandatory that {q} flags stay hidden from the help, yet now they "
        f"show up as well.\n\"\"\"\nOnly change code inside src/{r}/, nothing else."),
    lambda b, q, r: (
        "Fix what this user reports, please.\n<bug_report>\n"
        f"Sorting by name puts lowercase entries last. Names with a {q} prefix shouldn't "
        "ever be reordered, our README says so.\n</bug_report>\n"
        f"Please avoid renaming {r} or anything it exports."),
])

# -- a demonstration of another task, then the real one --------------------------------

DEMOS: tuple[list[Demo], list[Demo]] = ([
    lambda b, a, t: (
        "Here is a demonstration of how to do a task like this.\n\n"
        f"TASK: the {a} report prints every total twice.\n\n"
        f"$ grep -n 'print(total' src/{a}/report.py\n41:    print(total)\n57:    print(total)\n"
        "Line 57 prints it again after the loop, so I remove it and run the tests.\n"
        "$ pytest -q\n12 passed\nDone, submitting.\n\n(end of demonstration)",
        f"Now your task: make the {t} importer skip blank lines instead of failing on them."),
    lambda b, a, t: (
        "Below is a worked example of a similar task. Read it, then wait for the real one.\n"
        f"--- EXAMPLE ---\nUser: Add a --verbose flag to the {a} command.\n"
        f"Agent: Opened cli/{a}.py, added the option to the parser, passed it on to run() "
        "and added a test.\n--- END OF EXAMPLE ---",
        f"The real task: the {t} service should retry a failed webhook twice before giving up."),
], [
    lambda b, a, t: (
        "You will first see a solved trajectory, for reference only.\n<demo>\n"
        f"Problem: importing {a}.csv crashes on a trailing comma.\n"
        "Thought: the splitter keeps an empty last field.\n"
        "Action: edit csvsplit.py to strip it.\nObservation: the tests pass.\n</demo>",
        f"Here is the problem you need to solve: the {t} cache never expires entries older "
        "than a day."),
    lambda b, a, t: (
        f"For reference, this is how an earlier session handled the {a} ticket:\n"
        "1. reproduced the crash with a small script\n2. fixed the off-by-one in the pager\n"
        "3. reran the script, then the tests\nFollow the same pattern on the next task.",
        f"Your assignment: add a health endpoint to {t} that returns the build version."),
])

MUSINGS = ("I think {verb}_{noun} is where it goes wrong.",
           "The {noun} needs a guard for empty input; adding it next.",
           "Let me think about where the {noun} gets created.")


def _family(tool: str, args: dict[str, Any]) -> str:
    """A step's tool, or for a shell its program."""
    if tool in SHELLS:
        return str(args.get("command") or args.get("cmd")).split()[0]
    return tool


def _fix(b: _Builder) -> list[dict[str, Any]]:
    """A change of a source file that holds no marker."""
    path = b.source_path()
    return b.rng.choice((
        lambda: _calls(b, "edit_file", {"path": path, "old": "rows[1:]", "new": "rows"}, "ok"),
        lambda: _calls(b, "str_replace_based_edit_tool",
                       {"command": "str_replace", "path": path, "old_str": "if rows:",
                        "new_str": "if rows is not None:"}, f"Edited {path}."),
        lambda: _calls(b, "apply_patch", {"input": f"*** Begin Patch\n*** Update File: {path}\n"
                                                   "@@\n-    return None\n+    return []\n"
                                                   "*** End Patch"}, "Applied 1 hunk."),
    ))()


def _unchanging_filler(b: _Builder) -> list[dict[str, Any]]:
    """A filler turn that writes no file (before the reproduction, nothing is fixed yet)."""
    while True:
        turn = _filler(b)
        if not any(call["function"]["name"] == "write_file"
                   for m in turn for call in m.get("tool_calls") or ()):
            return turn


TEST_RUNS = re.compile(r"\b(?:pytest|tox|make test)\b")  # the filler's test runs


def _filler_without(b: _Builder, runner: str) -> list[dict[str, Any]]:
    """A filler turn that runs no tests (after a test command found nothing to run, no
    later run of it, nor of the whole suite, may pass)."""
    tests = re.compile(rf"{TEST_RUNS.pattern}|\b{re.escape(runner)}\b")
    while True:
        turn = _filler(b)
        if not any(tests.search(call["function"]["arguments"])
                   for m in turn for call in m.get("tool_calls") or ()):
            return turn


def _untested_tool(b: _Builder) -> tuple[dict[str, Any], str]:
    """A filler tool's call and result that runs no tests: an episode's own filler, which
    may come after the test command that found nothing to run."""
    while True:
        call, output = b.filler_tool()
        if not TEST_RUNS.search(call["function"]["arguments"]):
            return call, output


def _rerun(b: _Builder, command: str, failing: str, after: str, say: str
           ) -> list[list[dict[str, Any]]]:
    return [_run(b, command, failing, b.rng.choice((None, say))),
            [{"role": "assistant", "content": b.fill("That fails in the {noun} code; fixing it.")}],
            _fix(b),
            _run(b, command, after, b.rng.choice((None, "Running it again.")))]


def _nagged(b: _Builder, m: str, nag: Nag) -> list[list[dict[str, Any]]]:
    turns: list[list[dict[str, Any]]] = []
    left = b.small(8, 40)
    for _ in range(b.rng.randint(2, 3)):
        call, output = _untested_tool(b)
        turns += [[{"role": "assistant", "content": b.fill(b.rng.choice(MUSINGS))}],
                  [{"role": "user", "content": nag(left, m)}],
                  [{"role": "assistant", "content": None, "tool_calls": [call]},
                   {"role": "tool", "tool_call_id": call["id"], "content": output}]]
        left -= 2
    return turns


def make_step_session(seed: int, index: int, held_out: bool = False) -> TrapSession:
    rng = random.Random(f"step-traps:{seed}:{index}:{int(held_out)}")
    b = _Builder(rng)
    pick = 1 if held_out else 0
    traps: list[Trap] = []
    episodes: list[list[list[dict[str, Any]]]] = []  # each a list of turns

    m = b.word()
    command, failing, after = rng.choice(QUIET_RERUNS[pick])(b, m)
    traps.append(Trap("quiet_rerun", command.split()[0], m))
    episodes.append(_rerun(b, command, failing, after, "Running the check."))

    m = b.word()
    tool, args, output = rng.choice(PATCH_TOOLS[pick])(b, m)
    traps.append(Trap("patch_tool", _family(tool, args), m))
    episodes.append([_calls(b, tool, args, output)])

    m = b.word()
    tool, args, output = rng.choice(VIEWS[pick])(b, m)
    traps.append(Trap("viewed_only", _family(tool, args), m))
    episodes.append([_calls(b, tool, args, output), _fix(b)])

    m = b.word()
    tool, args, output = rng.choice(FAILED_EDITS[pick])(b, m)
    traps.append(Trap("failed_edit", _family(tool, args), m))
    episodes.append([_calls(b, tool, args, output),
                     [{"role": "assistant", "content": "That did not apply; moving on."}]])

    m = b.word()
    traps.append(Trap("harness_nag", "user", m))
    episodes.append(_nagged(b, m, rng.choice(NAGS[pick])))

    m = b.word()
    edit = _fix(b)
    traps.append(Trap("went_on", edit[0]["tool_calls"][0]["function"]["name"], m))
    stop = rng.choice(STOPPED[pick])(b, m)
    episodes.append([[{"role": "assistant", "content": stop}],
                     *([_filler_without(b, "pytest")] if rng.random() < 0.5 else []),
                     edit])

    m = b.word()
    traps.append(Trap("console_text", "user", m))
    call, output = _untested_tool(b)
    episodes.append([[{"role": "user", "content": rng.choice(CONSOLES[pick])(b, m)}],
                     [{"role": "assistant", "content": None, "tool_calls": [call]},
                      {"role": "tool", "tool_call_id": call["id"], "content": output}]])

    m = b.word()
    command, output = rng.choice(NO_TESTS[pick])(b, m)
    traps.append(Trap("no_tests", command.split()[0], m))
    no_tests = [_run(b, command, output, rng.choice((None, "Running the tests.")),
                     tool=rng.choice(SHELLS))]
    episodes.append(no_tests)
    runner = "pytest" if "pytest" in command else command.split()[0]

    m = b.word()
    thought = rng.choice(THOUGHTS[pick])(b, m)
    traps.append(Trap("thinking_tag", thought[1:thought.index(">")].split("-")[0], m))
    call, output = _untested_tool(b)
    episodes.append([[{"role": "assistant", "content": thought, "tool_calls": [call]},
                      {"role": "tool", "tool_call_id": call["id"], "content": output}]])
    rng.shuffle(episodes)

    m = b.word()
    command, failing, after = rng.choice(REPRODUCTIONS[pick])(b, m)
    traps.append(Trap("reproduced", command.split()[0], m))
    reproduction = _rerun(b, command, failing, after, "Reproducing it first.")

    m, other = b.word(), b.word()
    if index % 2 == 0:
        traps.append(Trap("quoted_rule", "user", m, other))
        opening = [[{"role": "user", "content": rng.choice(QUOTED[pick])(b, m, other)}]]
    else:
        traps.append(Trap("demonstration", "user", m, other))
        demo, task = rng.choice(DEMOS[pick])(b, other, m)
        opening = [[{"role": "user", "content": demo}],
                   *([[{"role": "assistant", "content": "Understood."}]] if rng.random() < 0.5
                     else []),
                   [{"role": "user", "content": task}]]

    planted = "\n".join(message_text(message) for piece in (opening, reproduction, *episodes)
                        for turn in piece for message in turn)
    for trap in traps:  # each marker can be found where it was planted
        assert all(marker_pattern(w).search(planted) for w in (trap.marker, trap.other) if w), trap

    turns = [*opening, [{"role": "assistant", "content": "On it."}]]
    turns += [_unchanging_filler(b) for _ in range(rng.randint(1, 4))]
    turns += reproduction
    filler = _filler
    for episode in episodes:
        turns += [filler(b) for _ in range(rng.randint(2, 6))]
        turns += episode
        if episode is no_tests:  # from here on no test run passes
            filler = lambda b: _filler_without(b, runner)  # noqa: E731
    turns += [filler(b) for _ in range(rng.randint(10, 16))]  # behind the kept tail
    turns.append([{"role": "assistant", "content": "That's where things stand."}])
    return TrapSession(index, held_out, tuple(tuple(t) for t in turns), tuple(traps))
