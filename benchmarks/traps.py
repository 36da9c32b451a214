"""Seeded coding-agent sessions that hold the traps a summary must not fall into, for the
truth benchmark (benchmarks/truth.py).

    session = make_trap_session(seed, index, held_out=False)
    session.messages   # OpenAI chat messages, the system message first
    session.traps      # each trap with its marker

Each session plants, among filler turns (file reads, searches, passing lint runs, small
talk), one of each:

  success    a passing run of a check (its marker in the command and the output);
  error      a failing run whose marker is only in the line a person would quote (the
             exception, the panic message, the compiler or test error);
  resolved   a failing run, a patch, then a passing run of the same check;
  fact       something the user states, or a question of the agent the user answers;
  decision   a choice the agent states;
  patch      a change of a file whose path holds the marker;
  goal       the first request, with a constraint sentence in the same message.

A trap's wording is drawn from the families below (pytest, unittest, cargo, go test,
jest, vitest, mypy, ruff, eslint, tsc, npm, make, HTTP clients, shells). Every family has
development wordings and held-out wordings: `held_out=True` draws only from the latter,
so a summarizer tuned on the development sessions is measured on wordings it never saw.
Markers are made-up words (benchmarks/sessions.py), each once in the session, matched
case-insensitively as whole tokens.
"""
from __future__ import annotations

import dataclasses
import random
from collections.abc import Callable
from typing import Any

from benchmarks.sessions import SMALL_TALK, SYSTEM_PROMPT, _Builder, marker_pattern, message_text

TRAPS = ("success", "error", "resolved", "fact", "decision", "patch", "goal")

Wording = Callable[[_Builder, str], tuple[str, str]]  # (builder, marker) -> (command, output)


@dataclasses.dataclass(frozen=True)
class Trap:
    kind: str  # one of TRAPS
    family: str
    marker: str
    other: str = ""  # the goal's constraint marker


@dataclasses.dataclass(frozen=True)
class TrapSession:
    index: int
    held_out: bool
    turns: tuple[tuple[dict[str, Any], ...], ...]
    traps: tuple[Trap, ...]
    system: dict[str, Any] = dataclasses.field(
        default_factory=lambda: {"role": "system", "content": SYSTEM_PROMPT})

    @property
    def messages(self) -> list[dict[str, Any]]:
        return [self.system, *(m for turn in self.turns for m in turn)]


# -- passing runs: (command, output) with the marker in both ------------------------------

def _secs(b: _Builder) -> str:
    return f"{b.small(0, 9)}.{b.small(10, 99)}s"


PASSING: dict[str, tuple[list[Wording], list[Wording]]] = {
    "pytest": ([
        lambda b, m: (f"pytest tests/{m}/test_io.py -q",
                      f"{'.' * b.small(5, 30)} [100%]\n{b.small(5, 30)} passed in {_secs(b)}"),
        lambda b, m: (f"python -m pytest tests/{m}/test_io.py",
                      f"collected {b.small(3, 9)} items\n\ntests/{m}/test_io.py ....... [100%]\n\n"
                      f"==== {b.small(3, 9)} passed, 0 failed, 0 errors in {_secs(b)} ===="),
    ], [
        lambda b, m: (f"pytest -q -k {m}",
                      f"{b.small(2, 9)} passed, {b.small(20, 90)} deselected in {_secs(b)}"),
    ]),
    "unittest": ([
        lambda b, m: (f"python -m unittest tests.{m}.test_io",
                      f"{'.' * b.small(4, 20)}\n{'-' * 70}\nRan {b.small(4, 20)} tests in "
                      f"0.0{b.small(10, 99)}s\n\nOK"),
    ], [
        lambda b, m: (f"python -m unittest discover -s tests/{m}",
                      f"Ran {b.small(4, 20)} tests in 0.{b.small(100, 999)}s\n\n"
                      f"OK (skipped=1)\n<testsuite name=\"{m}\" tests=\"12\" failures=0 errors=0>"),
    ]),
    "cargo": ([
        lambda b, m: (f"cargo test -p {m}",
                      f"running 3 tests\ntest {m}::parses ... ok\ntest {m}::writes ... ok\n"
                      f"test {m}::retries ... ok\n\ntest result: ok. 3 passed; 0 failed; "
                      f"0 ignored; 0 measured; 0 filtered out; finished in 0.0{b.small(1, 9)}s"),
        lambda b, m: (f"cargo clippy -p {m}",
                      f"    Checking {m} v0.{b.small(1, 9)}.0 (/src/{m})\n    Finished dev "
                      f"[unoptimized + debuginfo] target(s) in {_secs(b)}"),
    ], [
        lambda b, m: (f"cargo build -p {m} --release",
                      f"   Compiling {m} v1.{b.small(0, 9)}.0 (/work/{m})\n    Finished release "
                      f"[optimized] target(s) in {_secs(b)}"),
    ]),
    "go": ([
        lambda b, m: (f"go test ./internal/{m}/...",
                      f"ok  \tgithub.com/acme/app/internal/{m}\t0.0{b.small(10, 99)}s"),
    ], [
        lambda b, m: (f"go test -v ./pkg/{m}",
                      f"=== RUN   TestParse\n--- PASS: TestParse (0.00s)\nPASS\n"
                      f"ok  \tgithub.com/acme/app/pkg/{m}\t0.0{b.small(10, 99)}s"),
    ]),
    "jest": ([
        lambda b, m: (f"npx jest src/{m}",
                      f"PASS src/{m}/sum.test.ts\n  ✓ adds (3 ms)\n  ✓ subtracts (1 ms)\n\n"
                      f"Tests:       2 passed, 2 total\nSnapshots:   0 total"),
    ], [
        lambda b, m: (f"npm test -- src/{m}",
                      f"PASS src/{m}/index.test.js\nTest Suites: 1 passed, 1 total\n"
                      f"Tests:       7 passed, 7 total\nTime:        1.2 s"),
    ]),
    "vitest": ([
        lambda b, m: (f"npx vitest run src/{m}",
                      f" ✓ src/{m}.test.ts (5 tests) 12ms\n\n Test Files  1 passed (1)\n"
                      f"      Tests  5 passed (5)"),
    ], [
        lambda b, m: (f"pnpm vitest run {m}",
                      f" RUN  v1.6.0 /app\n\n ✓ test/{m}.spec.ts (3)\n\n Test Files  1 passed (1)\n"
                      f"      Tests  3 passed (3)\n   Duration  840ms"),
    ]),
    "mypy": ([
        lambda b, m: (f"mypy src/{m}", f"Success: no issues found in {b.small(3, 40)} source files"),
    ], [
        lambda b, m: (f"python -m mypy --strict src/{m}",
                      f"Success: no issues found in {b.small(3, 40)} source files\n"),
    ]),
    "ruff": ([
        lambda b, m: (f"ruff check src/{m}", "All checks passed!"),
    ], [
        lambda b, m: (f"ruff check --fix src/{m}", "Found 0 errors.\nAll checks passed!"),
    ]),
    "eslint": ([
        lambda b, m: (f"npx eslint src/{m}", f"eslint: 0 problems (0 errors, 0 warnings) in src/{m}"),
    ], [
        lambda b, m: (f"npm run lint -- src/{m}",
                      f"> app@1.0.0 lint\n> eslint src/{m}\n\n✔ no problems found"),
    ]),
    "tsc": ([
        lambda b, m: (f"npx tsc --noEmit -p packages/{m}", "Found 0 errors."),
    ], [
        lambda b, m: (f"tsc -b packages/{m}",
                      f"[12:0{b.small(1, 9)}:11] Found 0 errors. Watching for file changes."),
    ]),
    "npm": ([
        lambda b, m: (f"npm audit --workspace {m}",
                      f"audited {b.small(200, 900)} packages in 2s\n\nfound 0 vulnerabilities"),
    ], [
        lambda b, m: (f"npm ci --workspace {m}",
                      f"added {b.small(200, 900)} packages, and audited {b.small(200, 900)} "
                      f"packages in 9s\n\nfound 0 vulnerabilities"),
    ]),
    "make": ([
        lambda b, m: (f"make -C {m} test",
                      f"[==========] {b.small(20, 300)} tests ran.\n[  PASSED  ] "
                      f"{b.small(20, 300)} tests."),
    ], [
        lambda b, m: (f"make -C {m} check",
                      f"cc -O2 -c {m}.c\ncc -o {m} {m}.o\n./{m}-test\nAll tests passed "
                      f"({b.small(10, 90)} assertions, failures=0)"),
    ]),
    "http": ([
        lambda b, m: (f"curl -si http://localhost:8080/api/{m}/health",
                      f"HTTP/1.1 200 OK\ncontent-type: application/json\n\n"
                      f"{{\"status\": \"ok\", \"service\": \"{m}\", \"errors\": 0}}"),
    ], [
        lambda b, m: (f"http POST :8080/api/{m} name=x",
                      f"HTTP/1.1 201 Created\nContent-Type: application/json\n\n"
                      f"{{\"id\": 41, \"name\": \"{m}\", \"error\": null}}"),
    ]),
    "shell": ([
        lambda b, m: (f"./scripts/check-{m}.sh && echo exit code $?",
                      f"checking {m}... no errors\nexit code 0"),
    ], [
        lambda b, m: (f"bash scripts/verify-{m}.sh",
                      f"verify {m}: failures=0\nDone."),
    ]),
}


# -- failing runs: (command, output) with the marker only in the line to quote ---------

def _pytest_long(b: _Builder, m: str) -> tuple[str, str]:
    test = f"test_{b.rng.choice(('import', 'export', 'sync'))}_twice"
    return ("pytest -x tests/test_importer.py",
            "collected 14 items\n\ntests/test_importer.py ....F\n\n"
            f"{'=' * 20} FAILURES {'=' * 20}\n{'_' * 10} {test} {'_' * 10}\n\n"
            f"    def {test}():\n>       importer.run(rows)\n\ntests/test_importer.py:41: \n"
            "app/importer.py:88: in run\n    self.add_column(name)\n"
            f"E   ValueError: column {m} already exists\n\napp/importer.py:120: ValueError\n"
            f"{'=' * 10} short test summary info {'=' * 10}\n"
            f"FAILED tests/test_importer.py::{test} - ValueError: column {m} already exists\n"
            f"{'=' * 10} 1 failed, 13 passed in 0.91s {'=' * 10}")


FAILING: dict[str, tuple[list[Wording], list[Wording]]] = {
    "pytest": ([_pytest_long], [
        lambda b, m: ("python -m pytest tests/test_api.py -q",
                      "..F.\n" + "\n".join(b.test_lines(600)) + "\n"
                      f"FAILED tests/test_api.py::test_totals - AssertionError: assert {m} == 'eur'\n"
                      "1 failed, 3 passed in 0.20s"),
    ]),
    "python": ([
        lambda b, m: ("python -m app.migrate --apply",
                      "Traceback (most recent call last):\n"
                      '  File "/srv/app/app/migrate.py", line 212, in <module>\n    main()\n'
                      '  File "/srv/app/app/migrate.py", line 88, in add_column\n'
                      '    raise ValueError(f"column {name} already exists")\n'
                      f"ValueError: column {m} already exists"),
    ], [
        lambda b, m: ("python scripts/backfill.py --since 2024-01-01",
                      "\n".join(b.log_lines(700)) + "\nTraceback (most recent call last):\n"
                      '  File "scripts/backfill.py", line 40, in <module>\n    run(args)\n'
                      '  File "scripts/backfill.py", line 31, in run\n    row = rows[key]\n'
                      f"KeyError: '{m}'"),
    ]),
    "unittest": ([
        lambda b, m: ("python -m unittest tests.test_ledger",
                      f"..F.\n{'=' * 70}\nFAIL: test_totals (tests.test_ledger.LedgerTest)\n"
                      f"{'-' * 70}\nTraceback (most recent call last):\n"
                      '  File "/src/tests/test_ledger.py", line 30, in test_totals\n'
                      "    self.assertEqual(total, 120)\n"
                      f"AssertionError: 118 != 120 : {m} total is off\n\n{'-' * 70}\n"
                      "Ran 4 tests in 0.015s\n\nFAILED (failures=1)"),
    ], [
        lambda b, m: ("python -m unittest discover tests",
                      f"E\n{'=' * 70}\nERROR: test_load (tests.test_cfg.ConfigTest)\n"
                      f"{'-' * 70}\nTraceback (most recent call last):\n"
                      '  File "/src/tests/test_cfg.py", line 12, in test_load\n'
                      "    cfg = load(path)\n"
                      f"FileNotFoundError: [Errno 2] No such file or directory: '{m}.toml'\n\n"
                      f"{'-' * 70}\nRan 9 tests in 0.004s\n\nFAILED (errors=1)"),
    ]),
    "cargo": ([
        lambda b, m: ("cargo test",
                      "running 2 tests\ntest worker::retries ... FAILED\ntest worker::opens ... ok"
                      "\n\nfailures:\n\n---- worker::retries stdout ----\n"
                      "thread 'worker::retries' panicked at src/worker.rs:88:14:\n"
                      f"{m} queue was empty\nnote: run with `RUST_BACKTRACE=1` environment "
                      "variable to display a backtrace\n\nfailures:\n    worker::retries\n\n"
                      "test result: FAILED. 1 passed; 1 failed; 0 ignored; 0 measured; "
                      "0 filtered out"),
        lambda b, m: ("cargo build",
                      "   Compiling ledger v0.1.0 (/src/ledger)\n"
                      f"error[E0425]: cannot find value `{m}` in this scope\n"
                      " --> src/main.rs:4:5\n  |\n4 |     total\n  |     ^^^^^ not found\n\n"
                      "error: could not compile `ledger` (bin \"ledger\") due to 1 previous error"),
    ], [
        lambda b, m: ("cargo run --bin worker",
                      "    Finished dev [unoptimized] target(s) in 0.11s\n"
                      "     Running `target/debug/worker`\n"
                      f"thread 'main' panicked at 'called `Option::unwrap()` on a `None` value: "
                      f"{m}', src/bin/worker.rs:17:30"),
        lambda b, m: ("cargo check --all-targets",
                      "    Checking api v0.3.0 (/src/api)\n"
                      f"error[E0308]: mismatched types: expected `u32`, found `{m}`\n"
                      "  --> src/routes.rs:52:18\n\n"
                      "error: could not compile `api` (lib) due to 1 previous error"),
    ]),
    "go": ([
        lambda b, m: ("go test ./...",
                      "--- FAIL: TestParse (0.00s)\n"
                      f"    parse_test.go:27: got 3 rows, want 4 for {m}\n"
                      "FAIL\nFAIL\tgithub.com/acme/app/parse\t0.004s\nFAIL"),
    ], [
        lambda b, m: ("go run ./cmd/server",
                      f"panic: assignment to entry in nil map: {m}\n\ngoroutine 1 [running]:\n"
                      "main.load(...)\n\t/app/cmd/server/main.go:41 +0x1d\nexit status 2"),
    ]),
    "jest": ([
        lambda b, m: ("npx jest",
                      "FAIL src/sum.test.ts\n  ● sum › adds two numbers\n\n"
                      "    expect(received).toBe(expected) // Object.is equality\n\n"
                      f"    Expected: \"{m}\"\n    Received: \"eur\"\n\n"
                      "      at Object.<anonymous> (src/sum.test.ts:4:15)\n\n"
                      "Tests:       1 failed, 3 passed, 4 total"),
    ], [
        lambda b, m: ("npm test",
                      "> app@1.0.0 test\n> jest\n\nFAIL src/cart.test.js\n"
                      "  ● cart › applies the discount\n\n"
                      f"    TypeError: Cannot read properties of undefined (reading '{m}')\n\n"
                      "      at applyDiscount (src/cart.js:22:19)\n\n"
                      "Test Suites: 1 failed, 2 passed, 3 total\nTests:       1 failed, 11 passed, 12 total"),
    ]),
    "vitest": ([
        lambda b, m: ("npx vitest run",
                      " FAIL  src/parser.test.ts > parser > reads rows\n"
                      f"AssertionError: expected '{m}' to be 'rows'\n ❯ src/parser.test.ts:12:20\n\n"
                      " Test Files  1 failed (1)\n      Tests  1 failed | 4 passed (5)"),
    ], [
        lambda b, m: ("pnpm vitest run",
                      " ❯ test/api.spec.ts (4)\n   × handles timeouts\n\n"
                      " FAIL  test/api.spec.ts > handles timeouts\n"
                      f"Error: Test timed out in 5000ms waiting for {m}\n\n"
                      " Test Files  1 failed (1)\n      Tests  1 failed | 3 passed (4)"),
    ]),
    "mypy": ([
        lambda b, m: ("mypy src/",
                      f"src/billing/invoice.py:12: error: Name \"{m}\" is not defined  [name-defined]\n"
                      "Found 1 error in 1 file (checked 31 source files)"),
    ], [
        lambda b, m: ("python -m mypy --strict app",
                      f"app/models.py:88: error: Incompatible return value type (got \"{m}\", "
                      "expected \"int\")  [return-value]\nFound 1 error in 1 file (checked 12 source files)"),
    ]),
    "ruff": ([
        lambda b, m: ("ruff check .",
                      f"src/app.py:3:8: F401 [*] `{m}` imported but unused\nFound 1 error.\n"
                      "[*] 1 fixable with the `--fix` option."),
    ], [
        lambda b, m: ("ruff check src tests",
                      f"tests/test_io.py:14:5: F841 Local variable `{m}` is assigned to but never used\n"
                      "Found 1 error."),
    ]),
    "eslint": ([
        lambda b, m: ("npx eslint src",
                      f"\n/app/src/cart.js\n  12:5  error  '{m}' is not defined  no-undef\n\n"
                      "✖ 1 problem (1 error, 0 warnings)"),
    ], [
        lambda b, m: ("npm run lint",
                      "> app@1.0.0 lint\n> eslint .\n\n/app/lib/util.js\n"
                      f"  7:10  error  '{m}' is assigned a value but never used  no-unused-vars\n\n"
                      "✖ 1 problem (1 error, 0 warnings)"),
    ]),
    "tsc": ([
        lambda b, m: ("npx tsc --noEmit",
                      f"src/api.ts(12,5): error TS2304: Cannot find name '{m}'.\n\nFound 1 error in src/api.ts:12"),
    ], [
        lambda b, m: ("tsc -b",
                      f"src/store.ts:41:7 - error TS2322: Type '{m}' is not assignable to type 'number'.\n\n"
                      "41   let n: number = value;\n         ~\n\nFound 1 error."),
    ]),
    "npm": ([
        lambda b, m: ("npm install",
                      f"npm ERR! code E404\nnpm ERR! 404 Not Found - GET https://registry.npmjs.org/{m} - Not found\n"
                      "npm ERR! A complete log of this run can be found in: /root/.npm/_logs/debug-0.log"),
    ], [
        lambda b, m: ("npm run build",
                      "> app@1.0.0 build\n> vite build\n\n"
                      f"error during build:\nError: Could not resolve './{m}' from src/main.ts\n"
                      "npm ERR! Lifecycle script `build` failed with error:\nnpm ERR! code 1"),
    ]),
    "make": ([
        lambda b, m: ("make",
                      "cc -O2 -c src/ledger.c\n"
                      f"src/ledger.c:42:7: error: '{m}' undeclared (first use in this function)\n"
                      "make: *** [Makefile:12: ledger.o] Error 1"),
    ], [
        lambda b, m: ("make -j4 all",
                      "\n".join(b.build_lines(500)) + "\n"
                      f"ld: error: undefined symbol: {m}::init\n>>> referenced by main.o\n"
                      "make[1]: *** [Makefile:30: app] Error 1\nmake: *** [Makefile:8: all] Error 2"),
    ]),
    "http": ([
        lambda b, m: ("curl -si -X POST http://localhost:8080/api/orders",
                      "HTTP/1.1 500 Internal Server Error\ncontent-type: application/json\n\n"
                      f"{{\"error\": \"{m} table is locked\"}}"),
    ], [
        lambda b, m: ("http POST :8080/api/users name=ana",
                      "HTTP/1.1 422 Unprocessable Entity\nContent-Type: application/json\n\n"
                      f"{{\"detail\": \"field {m} is required\"}}"),
    ]),
    "shell": ([
        lambda b, m: (f"{m} --version", f"bash: {m}: command not found"),
    ], [
        lambda b, m: ("cp deploy/conf.yaml /srv/app/",
                      f"cp: cannot stat 'deploy/{m}.yaml': No such file or directory"),
    ]),
}

# A failing run that a later passing run of the same check settles: (failing wording, the
# passing output of the same command). The marker is in both, in the check's target.
RESOLVED: dict[str, tuple[list[Callable[[_Builder, str], tuple[str, str, str]]],
                          list[Callable[[_Builder, str], tuple[str, str, str]]]]] = {
    "pytest": ([
        lambda b, m: (f"pytest tests/{m}/test_io.py",
                      f"FAILED tests/{m}/test_io.py::test_roundtrip - AssertionError: 3 != 4\n"
                      f"1 failed, 8 passed in 0.40s",
                      f"tests/{m}/test_io.py ......... [100%]\n9 passed in 0.38s"),
    ], [
        lambda b, m: (f"python -m pytest tests/{m}/test_io.py -x",
                      f"E   KeyError: 'currency'\nFAILED tests/{m}/test_io.py::test_load - KeyError\n"
                      f"==== 1 failed, 4 passed in 0.2s ====",
                      f"==== 5 passed in 0.2s ===="),
    ]),
    "cargo": ([
        lambda b, m: (f"cargo test -p {m}",
                      f"test {m}::parses ... FAILED\n\nthread '{m}::parses' panicked at src/lib.rs:9:5:\n"
                      "assertion failed: rows.is_empty()\n\ntest result: FAILED. 2 passed; 1 failed; 0 ignored",
                      f"test {m}::parses ... ok\n\ntest result: ok. 3 passed; 0 failed; 0 ignored"),
    ], [
        lambda b, m: (f"cargo build -p {m}",
                      f"error[E0599]: no method named `flush` found for struct `Writer`\n --> {m}/src/io.rs:7:9\n"
                      f"error: could not compile `{m}` due to 1 previous error",
                      f"   Compiling {m} v0.2.0\n    Finished dev [unoptimized] target(s) in 3.1s"),
    ]),
    "go": ([
        lambda b, m: (f"go test ./internal/{m}/...",
                      f"--- FAIL: TestWrite (0.00s)\n    write_test.go:19: short write\nFAIL\n"
                      f"FAIL\tgithub.com/acme/app/internal/{m}\t0.003s",
                      f"ok  \tgithub.com/acme/app/internal/{m}\t0.003s"),
    ], [
        lambda b, m: (f"go vet ./pkg/{m}/...",
                      f"# github.com/acme/app/pkg/{m}\npkg/{m}/conn.go:22:2: unreachable code\nexit status 1",
                      ""),
    ]),
    "jest": ([
        lambda b, m: (f"npx jest src/{m}",
                      f"FAIL src/{m}/a.test.ts\n  ● a › works\n\n    expect(received).toEqual(expected)\n\n"
                      "Tests:       1 failed, 1 passed, 2 total",
                      f"PASS src/{m}/a.test.ts\nTests:       2 passed, 2 total"),
    ], [
        lambda b, m: (f"yarn test src/{m}",
                      f"FAIL src/{m}/b.test.js\n  ● b › rounds\n\n    RangeError: precision out of range\n\n"
                      "Tests:       1 failed, 5 passed, 6 total",
                      f"PASS src/{m}/b.test.js\nTests:       6 passed, 6 total\nDone in 2.31s."),
    ]),
    "mypy": ([
        lambda b, m: (f"mypy src/{m}",
                      f"src/{m}/core.py:9: error: Missing return statement  [return]\nFound 1 error in 1 file",
                      f"Success: no issues found in 4 source files"),
    ], [
        lambda b, m: (f"python -m mypy src/{m}",
                      f"src/{m}/io.py:31: error: Argument 1 has incompatible type \"str\"  [arg-type]\n"
                      "Found 1 error in 1 file (checked 6 source files)",
                      "Success: no issues found in 6 source files"),
    ]),
    "tsc": ([
        lambda b, m: (f"npx tsc --noEmit -p packages/{m}",
                      f"packages/{m}/src/a.ts(3,1): error TS2554: Expected 2 arguments, but got 1.\nFound 1 error.",
                      "Found 0 errors."),
    ], [
        lambda b, m: (f"tsc -p packages/{m}",
                      f"packages/{m}/index.ts:8:3 - error TS2339: Property 'id' does not exist.\n\nFound 1 error.",
                      ""),
    ]),
    "make": ([
        lambda b, m: (f"make -C {m} test",
                      f"{m}-test.c:31: FAIL: expected 4, got 3\nmake: *** [Makefile:20: test] Error 1",
                      f"[==========] 42 tests ran.\n[  PASSED  ] 42 tests."),
    ], [
        lambda b, m: (f"make -C {m} check",
                      f"FAIL: roundtrip-{m}\n1 of 12 tests failed\nmake: *** [check] Error 2",
                      "All 12 tests passed"),
    ]),
    "ruff": ([
        lambda b, m: (f"ruff check src/{m}",
                      f"src/{m}/x.py:1:1: E402 Module level import not at top of file\nFound 1 error.",
                      "All checks passed!"),
    ], [
        lambda b, m: (f"ruff check src/{m} --statistics",
                      f"src/{m}/y.py:4:1: F811 Redefinition of unused `load`\nFound 1 error.",
                      "Found 0 errors."),
    ]),
}

# A change of a file whose path holds the marker: (tool name, arguments, output).
PATCHES: tuple[list[Callable[[_Builder, str], tuple[str, dict[str, Any], str]]],
               list[Callable[[_Builder, str], tuple[str, dict[str, Any], str]]]] = ([
    lambda b, m: ("edit_file", {"path": f"src/{m}/importer.py", "old": "insert(", "new": "upsert("},
                  "ok"),
    lambda b, m: ("write_file", {"path": f"src/{m}.py", "content": b.code(300)},
                  f"Wrote src/{m}.py"),
    lambda b, m: ("run", {"command": f"sed -i 's/timeout=5/timeout=30/' config/{m}.toml"}, ""),
], [
    lambda b, m: ("apply_patch", {"patch": f"*** Begin Patch\n*** Update File: lib/{m}/writer.go\n"
                                           "@@\n-\treturn nil\n+\treturn w.Flush()\n*** End Patch"},
                  "Done!"),
    lambda b, m: ("str_replace_editor", {"command": "str_replace", "path": f"/repo/app/{m}/service.ts",
                                         "old_str": "retries: 1", "new_str": "retries: 3"},
                  f"The file /repo/app/{m}/service.ts has been edited."),
    lambda b, m: ("shell", {"cmd": f"git apply patches/{m}.diff && git status --short"},
                  " M src/loader.py"),
])

# What the user states, and the agent's questions the user answers.
FACTS: tuple[list[Callable[[_Builder, str], list[dict[str, Any]]]],
             list[Callable[[_Builder, str], list[dict[str, Any]]]]] = ([
    lambda b, m: [{"role": "user", "content": f"Fact you should know: the staging cluster is "
                                              f"called {m} and has {b.small(3, 30)} replicas"}],
    lambda b, m: [{"role": "user", "content": f"FYI the database host is {m}.internal, "
                                              "read-only replica on the same host."}],
    lambda b, m: [{"role": "assistant", "content": "Before I load the data: should I use the "
                                                   "eu or the us bucket?"},
                  {"role": "user", "content": f"eu. the bucket is called {m}"}],
    lambda b, m: [{"role": "assistant", "content": f"I can book the load-test slot {m.upper()} "
                                                   "for tonight. Shall I?"},
                  {"role": "user", "content": "yes"}],
], [
    lambda b, m: [{"role": "user", "content": f"btw the registry credentials live in vault "
                                              f"under secret/{m}/registry"}],
    lambda b, m: [{"role": "user", "content": f"heads up: the maintenance window is 02:00-03:00 "
                                              f"UTC and the on-call engineer is {m}"}],
    lambda b, m: [{"role": "assistant", "content": "Which ticket should the commits reference?"},
                  {"role": "user", "content": f"Use {m.upper()}-{b.small(100, 999)}, "
                                              "it's the migration epic"}],
    lambda b, m: [{"role": "assistant", "content": f"Do you want the release tagged as "
                                                   f"{m}-rc1?"},
                  {"role": "user", "content": "Yes, tag it that way."}],
])

DECISIONS = ([
    "I'll switch the {m} exporter to batched writes.",
    "Decided to keep {m} behind a feature flag until the backfill is done.",
    "Plan: move the retry logic into {m} so both clients share it.",
], [
    "Going with a write-ahead log for {m} rather than locking the table.",
    "The safest option is to pin {m} to the old schema for now.",
    "We'll use {m} as the queue name for the new consumer.",
])

# The goal, with a constraint in the same message: (goal with {m}, constraint with {c}).
GOALS = ([
    ("Make the {m} importer idempotent.", "Never drop the {c} tables."),
    ("Goal: add retries with backoff to the {m} uploader.",
     "Constraints: don't change the public API of {c}."),
    ("Please fix the flaky {m} export job.", "Do not touch the {c} schema."),
], [
    ("Port the {m} tests from nose to pytest.", "Whatever you do, keep {c} working on Python 3.9."),
    ("We need pagination on the /v2/{m} endpoint.",
     "Rule: the {c} endpoint must stay as it is."),
    ("Speed up the {m} nightly report.", "You must not add new dependencies to {c}."),
])


def _calls(b: _Builder, name: str, args: dict[str, Any], output: str) -> list[dict[str, Any]]:
    call = b.call(name, **args)
    return [{"role": "assistant", "content": None, "tool_calls": [call]},
            {"role": "tool", "tool_call_id": call["id"], "content": output}]


def _run(b: _Builder, command: str, output: str, say: str | None = None,
         tool: str = "run") -> list[dict[str, Any]]:
    messages = _calls(b, tool, {"command": command}, output)
    messages[0]["content"] = say
    return messages


def _filler(b: _Builder) -> list[dict[str, Any]]:
    rng = b.rng
    r = rng.random()
    if r < 0.15:
        return [{"role": "user", "content": rng.choice(SMALL_TALK)}]
    if r < 0.3:
        return [{"role": "assistant", "content": b.fill(rng.choice((
            "Reading {path} to see how the {noun} is wired.",
            "Checking the callers of {verb}_{noun}.",
            "The {noun} handling looks fine; moving on.")))}]
    if r < 0.45:  # the same lint again, passing
        return _run(b, "cargo clippy --all-targets",
                    f"    Checking app v0.1.0\n    Finished dev [unoptimized] target(s) in {_secs(b)}")
    call, output = b.filler_tool()
    messages = [{"role": "assistant", "content": None, "tool_calls": [call]},
                {"role": "tool", "tool_call_id": call["id"], "content": output}]
    return messages


def make_trap_session(seed: int, index: int, held_out: bool = False) -> TrapSession:
    rng = random.Random((seed * 1_000_003 + index) * 2 + held_out)
    b = _Builder(rng)
    pick = 1 if held_out else 0
    traps: list[Trap] = []
    episodes: list[list[list[dict[str, Any]]]] = []  # each a list of turns

    families = list(FAILING)
    error_family = rng.choice(families)
    # A passing run of the failing check would settle it: the success is of another family.
    success_family = rng.choice([f for f in PASSING if f not in (error_family, "python")])
    resolved_family = rng.choice([f for f in RESOLVED if f not in (error_family,)])

    m = b.word()
    command, output = rng.choice(PASSING[success_family][pick])(b, m)
    traps.append(Trap("success", success_family, m))
    episodes.append([_run(b, command, output, rng.choice((None, "Running the checks.")))])

    m = b.word()
    command, output = rng.choice(FAILING[error_family][pick])(b, m)
    traps.append(Trap("error", error_family, m))
    episodes.append([_run(b, command, output, rng.choice((None, "Let's see if it works now.")))])

    m = b.word()
    command, failing, passing = rng.choice(RESOLVED[resolved_family][pick])(b, m)
    traps.append(Trap("resolved", resolved_family, m))
    fix = b.source_path()
    episodes.append([
        _run(b, command, failing),
        [{"role": "assistant", "content": b.fill("That fails in the {noun} code; fixing it.")}],
        _calls(b, "edit_file", {"path": fix, "old": "a", "new": "b"}, "ok"),
        _run(b, command, passing or "ok", "Re-running."),
    ])

    m = b.word()
    turn = rng.choice(FACTS[pick])(b, m)
    traps.append(Trap("fact", "answer" if len(turn) > 1 else "user", m))
    episodes.append([[message] for message in turn])

    m = b.word()
    traps.append(Trap("decision", "assistant", m))
    episodes.append([[{"role": "assistant",
                       "content": rng.choice(DECISIONS[pick]).replace("{m}", m)}]])

    m = b.word()
    name, args, output = rng.choice(PATCHES[pick])(b, m)
    traps.append(Trap("patch", name, m))
    episodes.append([_calls(b, name, args, output)])

    goal_m, constraint_m = b.word(), b.word()
    goal, constraint = rng.choice(GOALS[pick])
    goal_text = goal.replace("{m}", goal_m) + rng.choice((" ", "\n")) + \
        constraint.replace("{c}", constraint_m)
    traps.append(Trap("goal", "user", goal_m, constraint_m))

    rng.shuffle(episodes)
    planted = "\n".join(message_text(m) for episode in episodes for turn in episode for m in turn)
    for trap in traps[:-1]:  # each marker can be found where it was planted
        assert marker_pattern(trap.marker).search(planted), trap
    turns: list[list[dict[str, Any]]] = [[{"role": "user", "content": goal_text}],
                                         [{"role": "assistant", "content": "On it."}]]
    for episode in episodes:
        for _ in range(rng.randint(2, 6)):
            turns.append(_filler(b))
        turns.extend(episode)
    for _ in range(rng.randint(10, 16)):  # the traps are behind the kept tail
        turns.append(_filler(b))
    turns.append([{"role": "assistant", "content": "That's where things stand."}])
    return TrapSession(index, held_out, tuple(tuple(t) for t in turns), tuple(traps))
