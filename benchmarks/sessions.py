"""Seeded coding-agent sessions with planted facts, for the retention benchmark.

    session = make_session(seed, index)
    session.turns     # what the agent appends one turn at a time
    session.facts     # the 13 planted facts, each with the marker that shows it survived

A session is 64 to 119 turns after a system message. A turn is one user message, one
assistant message, or one assistant message with tool calls followed by their results.
Planted: the goal (first or second user message), two constraints the user states early,
three decisions of the assistant, five facts seen only in tool results (always an error
line near the end of a long output, and four of: a path, a version, a port, a count, a
bug id or commit hash), one blocker, and the final state (the last assistant message
that says what was achieved). Around them: file reads, test runs, searches, small talk,
and distractors (rejected options, side remarks, other paths, versions and errors).

A marker is one token without whitespace: a made-up word, a path, a version, a port, a
count or an id. Markers are matched case-insensitively and only as a whole token (no
letter, digit or underscore on either side), so a sentence that was re-wrapped, re-cased
or cut with "..." after the marker still counts, and 4821 is not found inside 14821.
Every marker occurs once in the whole session: in the message where it was planted.
"""
from __future__ import annotations

import dataclasses
import functools
import json
import random
import re
from collections.abc import Callable, Iterator, Mapping
from typing import Any

CATEGORIES = ("goal", "constraint", "decision", "tool_fact", "blocker", "final_state")
TOOL_FACT_KINDS = ("error", "path", "version", "port", "count", "ref")
MIN_TURNS, MAX_TURNS = 64, 119

SYSTEM_PROMPT = (
    "You are a coding agent working in a Git checkout. Tools: read_file, write_file, "
    "run (a shell command), grep and list_dir. Explain briefly what you do, then do it.")


@dataclasses.dataclass(frozen=True)
class Fact:
    category: str  # one of CATEGORIES
    kind: str  # for tool facts one of TOOL_FACT_KINDS, else the category
    marker: str
    turn: int  # index into Session.turns
    message: int  # index into Session.messages


@dataclasses.dataclass(frozen=True)
class Session:
    index: int
    system: dict[str, Any]
    turns: tuple[tuple[dict[str, Any], ...], ...]
    facts: tuple[Fact, ...]

    @property
    def messages(self) -> list[dict[str, Any]]:
        return [self.system, *(m for turn in self.turns for m in turn)]


def marker_pattern(marker: str) -> re.Pattern[str]:
    return _pattern(marker)


@functools.lru_cache(maxsize=4096)
def _pattern(marker: str) -> re.Pattern[str]:
    return re.compile(r"(?<![0-9A-Za-z_])" + re.escape(marker) + r"(?![0-9A-Za-z_])",
                      re.IGNORECASE)


def message_text(message: Mapping[str, Any]) -> str:
    """Every text a message carries: content, call ids, tool names and arguments."""
    texts = [message.get("content") or "", message.get("tool_call_id") or ""]
    for call in message.get("tool_calls") or ():
        texts += [call["id"], call["function"]["name"], call["function"]["arguments"]]
    return "\n".join(texts)


# -- vocabulary of the filler ------------------------------------------------------------
# Real words only: the made-up words of markers and distractors come from SYLLABLES, so
# filler can never contain one. Filler numbers stay below 1000 or are in COMMON_NUMBERS,
# which no numeric marker takes.

NOUNS = ("parser", "writer", "config", "cache", "client", "session", "record", "batch",
         "queue", "worker", "report", "invoice", "account", "export", "upload", "token",
         "schema", "handler", "router", "metric", "event", "job", "request", "payload",
         "entry", "index", "buffer", "ledger", "profile", "webhook")
VERBS = ("load", "save", "parse", "render", "fetch", "send", "build", "check", "merge",
         "split", "flush", "retry", "resolve", "validate", "format", "encode", "decode",
         "sync", "apply", "collect")
PACKAGES = ("requests", "urllib3", "pydantic", "sqlalchemy", "click", "rich", "attrs",
            "httpx", "pytest", "ruff", "alembic", "celery", "redis", "boto3", "jinja2",
            "orjson", "structlog", "tenacity", "uvicorn", "fastapi")
COMMON_NUMBERS = frozenset({2023, 2024, 2025, 3000, 5000, 5432, 6379, 8000, 8080, 8443,
                            9000, 9090, 1024, 4096})
SYLLABLES = ("brin", "quor", "thal", "vex", "mir", "zan", "kel", "orr", "yth", "pell",
             "grav", "ost", "umb", "fen", "dral", "lox", "quil", "sarn", "tov", "wend",
             "rell", "baz", "nyth", "plim", "skov", "trel", "mur", "eld", "vos", "harn",
             "zet", "drim", "oke", "yss", "carn", "ulm")

STATEMENTS = (
    "value = {noun}.get(key)",
    "if not {noun}:\n        return None",
    "log.debug(\"{verb} %s\", {noun}.id)",
    "for item in {noun}s:\n        out.append({verb}_{noun2}(item))",
    "self._{noun} = {noun}",
    "raise ValueError(f\"bad {noun}: {{{noun}!r}}\")",
    "with open(path, encoding=\"utf-8\") as fh:\n        data = fh.read()",
    "result = {{k: v for k, v in {noun}.items() if v is not None}}",
    "try:\n        {noun} = {verb}_{noun2}({noun})\n    except KeyError:\n        {noun} = None",
    "timeout = settings.{noun}_timeout or {small}",
    "assert {noun}.status == \"ok\"",
    "await self._{noun2}.{verb}({noun})",
    "rows = session.query({Noun}).filter_by(active=True).all()",
    "return {verb}_{noun2}({noun}, strict=strict)",
)
PROGRESS = (
    "Reading {path} first to see how the {noun} is wired.",
    "Tests pass locally. Moving on to the {noun} handling.",
    "That output is noisy, but nothing relevant failed.",
    "Let me check how {verb}_{noun} is called from the CLI.",
    "The {noun} code is older than I thought; going through it step by step.",
    "OK, the fixture was the culprit, not the {noun}. Fixed it and re-running.",
    "Small cleanup while I'm here: the unused import in {path}.",
    "Now the tests for the {noun}.",
    "Looks like {verb}_{noun} swallows exceptions. Noting that, continuing.",
    "Checking the git history of {path} before changing it.",
    "The diff is getting big, so I'm running the whole suite now.",
    "Good, that matches what the logs said.",
    "Searching for other callers of {verb}_{noun}.",
    "Two tests were flaky before my change as well; they're unrelated.",
    "Updated the docstring of {verb}_{noun} to match the new behaviour.",
    "Running the linter before going further.",
    "Hmm, the {noun} module imports itself indirectly. Tracing it.",
    "Alright, that worked. Next, the error paths.",
    "I want to see the config loading before I touch the {noun}.",
    "The last run timed out once; retrying to see whether it's real.",
)
SMALL_TALK = (
    "thanks, keep going", "looks good", "ok", "nice!", "go ahead", "sounds right to me",
    "take your time", "cool, carry on", "great progress", "what's the status?",
    "did that work?", "sure", "yep", "ok thanks. continue", "makes sense",
    "Perfect, thank you.", "hmm ok", "sounds good, proceed", "👍", "fine by me",
    "lunch break, back in a bit. keep going meanwhile", "right, and then?",
)
SIDE_REQUESTS = (
    "also add a docstring to {verb}_{noun} while you're there",
    "can you run the full test suite once more?",
    "please keep the commits small",
    "show me the diff before you commit",
    "could you also check the {noun} tests? they were slow last week",
    "and rename {verb}_{noun} if you find a better name",
)
DISTRACTOR_USER = (
    "unrelated, but the {d} dashboard looks odd today. ignore it for now.",
    "don't worry about the docs, I'll write them myself.",
    "never mind my earlier question about the logs.",
    "only if it's quick: the typo in the README's install section.",
    "FYI I renamed the {d} job yesterday, nothing to do with this.",
    "someone asked whether we could use {d} here, I said maybe later.",
    "btw the old {d} branch can be ignored, it's dead.",
    "you don't have to keep {path} pretty, it's going away next quarter.",
)
DISTRACTOR_ASSISTANT = (
    "I looked at {d} as well, but it pulls in a large dependency tree, so no.",
    "We could try {d} later if this turns out slow; not now.",
    "There's also a {d} helper in the repo, but it's unused and half finished.",
    "One alternative would be {d}. I don't think it's worth it here.",
    "The {d} module has the same pattern, but it's out of scope.",
    "Note: {d} shows up in the logs too. It's a different service.",
)


class _Builder:
    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.used: set[str] = set()
        self.calls = 0

    # -- names and numbers --------------------------------------------------------------

    def word(self) -> str:
        """A made-up word, distinct within the session."""
        rng = self.rng
        while True:
            word = "".join(rng.choice(SYLLABLES) for _ in range(rng.choice((2, 3, 3))))
            if len(word) >= 7 and word not in self.used:
                self.used.add(word)
                return word

    def number(self, low: int, high: int) -> int:
        while True:
            n = self.rng.randint(low, high)
            if n not in COMMON_NUMBERS and str(n) not in self.used:
                self.used.add(str(n))
                return n

    def hexid(self, size: int) -> str:
        while True:
            h = "".join(self.rng.choice("0123456789abcdef") for _ in range(size))
            if re.search("[a-f]", h) and re.search("[0-9]", h) and h not in self.used:
                self.used.add(h)
                return h

    def small(self, low: int = 1, high: int = 999) -> int:
        return self.rng.randint(low, high)

    def fill(self, template: str, **extra: str) -> str:
        rng = self.rng
        noun = rng.choice(NOUNS)
        values = {"noun": noun, "Noun": noun.capitalize(), "noun2": rng.choice(NOUNS),
                  "verb": rng.choice(VERBS), "path": self.source_path(),
                  "small": str(self.small(2, 60)), "pkg": rng.choice(PACKAGES)}
        values.update(extra)
        for key, value in values.items():
            template = template.replace("{" + key + "}", value)
        return template.replace("{{", "{").replace("}}", "}")

    def source_path(self) -> str:
        rng = self.rng
        return rng.choice((f"src/app/{rng.choice(NOUNS)}.py",
                           f"src/app/{rng.choice(NOUNS)}/{rng.choice(VERBS)}.py",
                           f"tests/test_{rng.choice(NOUNS)}.py",
                           f"lib/{rng.choice(NOUNS)}/__init__.py"))

    def filler_version(self) -> str:
        return f"{self.small(0, 9)}.{self.small(0, 30)}.{self.small(0, 9)}"

    # -- long outputs -------------------------------------------------------------------

    def code(self, size: int) -> str:
        rng = self.rng
        noun = rng.choice(NOUNS)
        lines = [f'"""{noun.capitalize()} helpers."""', "import logging", "",
                 "log = logging.getLogger(__name__)", ""]
        length = sum(len(line) + 1 for line in lines)
        while length < size:
            block = [f"def {rng.choice(VERBS)}_{rng.choice(NOUNS)}({rng.choice(NOUNS)}, "
                     f"strict=False):"]
            block += ["    " + self.fill(rng.choice(STATEMENTS))
                      for _ in range(rng.randint(2, 6))]
            block += [f"    return {rng.choice(NOUNS)}", ""]
            lines += block
            length += sum(len(line) + 1 for line in block)
        return "\n".join(lines)

    def test_lines(self, size: int) -> list[str]:
        rng = self.rng
        lines, length, pct = [], 0, 0
        while length < size:
            pct = min(99, pct + rng.randint(1, 4))
            status = "PASSED" if rng.random() < 0.95 else rng.choice(("SKIPPED", "XFAIL"))
            line = (f"tests/test_{rng.choice(NOUNS)}.py::test_{rng.choice(VERBS)}_"
                    f"{rng.choice(NOUNS)} {status} [{pct:3d}%]")
            lines.append(line)
            length += len(line) + 1
        return lines

    def log_lines(self, size: int) -> list[str]:
        rng = self.rng
        lines, length = [], 0
        while length < size:
            level = rng.choice(("INFO", "INFO", "INFO", "DEBUG", "WARNING"))
            line = (f"2024-{self.small(1, 12):02d}-{self.small(1, 28):02d} "
                    f"{self.small(0, 23):02d}:{self.small(0, 59):02d}:{self.small(0, 59):02d}"
                    f",{self.small(0, 999):03d} {level} {rng.choice(NOUNS)}: "
                    + self.fill(rng.choice(("{verb} {noun} done in {small} ms",
                                            "retrying {noun} ({small}/60)",
                                            "cache miss for {noun}",
                                            "{noun} queue drained",
                                            "loaded {small} {noun}s"))))
            lines.append(line)
            length += len(line) + 1
        return lines

    def build_lines(self, size: int) -> list[str]:
        rng = self.rng
        lines, length, pct = [], 0, 0
        while length < size:
            pct = min(99, pct + rng.randint(1, 3))
            line = rng.choice((
                f"[{pct:3d}%] Building CXX object src/CMakeFiles/core.dir/{rng.choice(NOUNS)}.cpp.o",
                f"   Compiling {rng.choice(NOUNS)}-{rng.choice(VERBS)} {self.filler_version()}",
                f"  building '{rng.choice(NOUNS)}._speedups' extension",
                f"added manifest entry for {rng.choice(NOUNS)}/{rng.choice(VERBS)}.json"))
            lines.append(line)
            length += len(line) + 1
        return lines

    def lines_of(self, size: int) -> list[str]:
        return self.rng.choice((self.test_lines, self.log_lines, self.build_lines))(size)

    def output_size(self) -> int:
        r = self.rng.random()
        if r < 0.4:
            return self.small(150, 600)
        if r < 0.8:
            return self.small(600, 1800)
        return self.rng.randint(1800, 3500)

    # -- messages -----------------------------------------------------------------------

    def call(self, name: str, **args: Any) -> dict[str, Any]:
        self.calls += 1
        return {"id": f"call_{self.calls:03d}_{self.hexid(6)}", "type": "function",
                "function": {"name": name, "arguments": json.dumps(args)}}

    def filler_tool(self) -> tuple[dict[str, Any], str]:
        """One call of a filler tool and its result."""
        rng, size = self.rng, self.output_size()
        kind = rng.random()
        if kind < 0.3:
            path = self.source_path()
            return self.call("read_file", path=path), self.code(size)
        if kind < 0.55:
            command = rng.choice(("pytest -q", "pytest -x tests/", "make test",
                                  "python -m pytest -k " + rng.choice(NOUNS), "tox -e py312"))
            lines = self.test_lines(size)
            passed = len(lines) + self.small(0, 40)
            lines.append(f"==== {passed} passed, {self.small(0, 5)} skipped in "
                         f"{self.small(1, 90)}.{self.small(10, 99)}s ====")
            if rng.random() < 0.15:  # an earlier failure that is no planted fact
                lines.insert(rng.randrange(len(lines)), self.fill(
                    "ERROR tests/test_{noun}.py::test_{verb} - TimeoutError: {noun} lock"))
            return self.call("run", command=command), "\n".join(lines)
        if kind < 0.7:
            pattern = f"{rng.choice(VERBS)}_{rng.choice(NOUNS)}"
            lines = []
            while sum(len(line) + 1 for line in lines) < min(size, 1200):
                lines.append(f"{self.source_path()}:{self.small(1, 400)}:    "
                             + self.fill(rng.choice(STATEMENTS)).split("\n")[0])
            return self.call("grep", pattern=pattern, path="."), "\n".join(lines)
        if kind < 0.8:
            folder = rng.choice(("src/app", "tests", "lib", "scripts"))
            lines = [f"-rw-r--r--  1 dev dev {self.small(40, 999):5d} Mar {self.small(1, 28):2d} "
                     f"{self.small(0, 23):02d}:{self.small(0, 59):02d} {noun}.py"
                     for noun in rng.sample(NOUNS, rng.randint(4, 14))]
            return self.call("list_dir", path=folder), "\n".join(lines)
        if kind < 0.9:
            path = self.source_path()
            body = self.code(self.small(150, 700))
            return (self.call("write_file", path=path, content=body),
                    f"Wrote {path} ({body.count(chr(10)) + 1} lines)")
        command = rng.choice(("git status --short", "git log --oneline -8",
                              "pip list --format=freeze", "tail -n 40 logs/app.log",
                              "make build"))
        if command.startswith("git status"):
            out = "\n".join(f" M {self.source_path()}" for _ in range(rng.randint(1, 6)))
        elif command.startswith("git log"):
            out = "\n".join(f"{self.hexid(7)} " + self.fill(rng.choice((
                "Fix {noun} retry", "Add {verb}_{noun}", "Bump {pkg}",
                "Refactor {noun} handling", "Tests for {noun}")))
                for _ in range(8))
        elif command.startswith("pip"):
            out = "\n".join(f"{pkg}=={self.filler_version()}"
                            for pkg in sorted(rng.sample(PACKAGES, rng.randint(6, 16))))
        elif command.startswith("tail"):
            out = "\n".join(self.log_lines(size))
        else:
            out = "\n".join(self.build_lines(size))
        return self.call("run", command=command), out


# -- planted facts ------------------------------------------------------------------------
# Each maker gives (marker, text). Templates put {m} where the marker goes.

GOALS = (
    "I need you to migrate the {m} exporter from the old sync client to asyncio.",
    "Task for today: add retry with backoff to the {m} uploader. It keeps failing on flaky networks.",
    "can you refactor the {m} module so the parsing and the I/O are separate? it's impossible to test right now",
    "The {m} service leaks file handles under load. Please find the leak and fix it.",
    "I want {m} (the CLI) to support a --dry-run flag that prints what it would change without writing anything.",
    "Goal: get the {m} nightly job under ten minutes again, it crept up to forty.",
    "We're replacing the hand-rolled cache in {m} with a proper LRU. Can you take that on?",
    "Please port the {m} tests from unittest to pytest and make them pass on CI.",
    "So the {m} importer chokes on CSV files with a BOM. Fix that, and add a regression test.",
    "Clients time out on big accounts, so the /v2/{m} endpoint needs pagination.",
    "What I'd like: structured logging in {m}. JSON lines, with a request id on every record.",
    "The {m} worker processes some messages twice after a restart. Make it stop doing that.",
)
GOAL_PREFACES = (
    "hey, got a change for you in this repo",
    "Morning! Something for you today.",
    "hi. are you ready for a longer one?",
    "Hello, I've got a task in the backend repo.",
    "ok, new session. context first: this is the payments monorepo",
)
GOAL_REPLIES = (
    "Sure, what do you need?", "Ready. What's the task?", "Hi! Go ahead.",
    "Yes. What should I work on?", "Understood, I'm in the repo. What's the change?",
)
CONSTRAINTS = (
    "One thing: never touch anything under vendor/{m}/, it's generated.",
    "Do not modify config/{m}.yaml, another team owns it.",
    "Use only the {m} client for HTTP, nothing else is approved here.",
    "The public API of {m} must stay backwards compatible.",
    "Keep the {m} migrations untouched please.",
    "avoid adding dependencies. for parsing, {m} is already vendored and has to do.",
    "No changes to {m}.toml, whatever happens.",
    "please don't push to release/{m} directly, open a PR.",
    "Stick to {m} for the database layer. No raw SQL.",
    "Hard rule: the {m} schema stays as it is. NO new migrations.",
    "FYI the deploy scripts in ops/{m}/ are off limits.",
    "Whatever you do, leave {m}.lock alone.",
    "It has to keep working with the {m} plugin, so don't rename any hooks.",
    "remember the {m} feature flag: it stays OFF in every environment.",
)
DECISIONS = (
    "I'll replace the polling loop with {m}, the event-driven watcher we already ship.",
    "Plan: wrap the writes in a {m} transaction so a crash can't leave half a file.",
    "Going with {m} for the retries, it already handles jitter.",
    "The cleanest fix is a small adapter, `{m}`, between the parser and the writer.",
    "Decided to keep the old format readable and write the new one behind a --{m} flag.",
    "Let's put the cache behind a `{m}` interface so the tests can swap it.",
    "We should batch the inserts through {m} instead of one round trip per row.",
    "Switching to {m} for the fixtures; the hand-written ones keep drifting.",
    "Best option: move the config loading into {m}() and call it once at startup.",
    "After comparing the two, my choice is {m}: simpler, and it has no C extension.",
    "ok, approach: a {m} lock file per job, removed in a finally block.",
    "I'm going to split this into {m} (pure parsing) and a thin I/O shell around it.",
    "Rather than patching every caller, I'd route them all through `{m}`.",
    "decision: pin the serializer to {m} and drop the fallback path.",
)
BLOCKERS_ASSISTANT = (
    "I'm blocked: the staging database {m} rejects our credentials, so the integration tests can't run.",
    "Can't go further until someone grants write access to the {m} bucket.",
    "Stuck here. The {m} build image is missing from the registry and CI can't start.",
    "This won't work yet: {m} needs Python 3.13 and the runners are on 3.11.",
    "Heads up, the {m} API answers 503 to every request since this morning; that stops the end-to-end check.",
    "There's a blocker: the license check flags {m}, and the pipeline refuses anything that depends on it.",
    "Unable to reproduce locally, because the {m} fixtures aren't in the repo.",
    "The vendored {m} headers don't match the shared library, so the extension won't link. You need to pick which one wins.",
    "We're waiting on the {m} team to publish their schema; without it I can't generate the client.",
    "Problem: the {m} secret isn't set in this environment, so the signer fails before it starts.",
)
BLOCKERS_USER = (
    "oh btw, the {m} cluster is down for maintenance until tomorrow, so no deploys.",
    "bad news: legal hasn't cleared {m} yet. we can't ship anything that uses it.",
    "the {m} credentials expired and only ops can renew them. that'll take a day or two.",
    "Just so you know, CI is frozen while {m} gets migrated. Nothing merges today.",
)
FINALS = (
    "All green now. Pushed the branch {m} with the fix and the new tests.",
    "Done: the {m} release is tagged and the changelog updated.",
    "That's it. The benchmark job {m} finished in six minutes, well under the target.",
    "Finished the last step: {m} is deployed to staging and the smoke test passes.",
    "Where we are: the migration script {m}.py ran cleanly on the copy of prod.",
    "ok, merged into main as '{m}'. CI passed on all three Python versions.",
    "The refactor is complete; {m} now holds the parsing, and the old module just re-exports it.",
    "Last thing: I opened the pull request \"{m}\" with everything we discussed.",
    "Wrapped up. {m} builds reproducibly now and the artifact hashes match.",
    "Everything's in: the {m} dashboard shows the new metrics.",
)
CLOSINGS = ("great, thanks!", "perfect. that's all for today", "thank you, nice work",
            "ok cool, I'll review it tomorrow", "awesome, thanks a lot")


def _shape(b: _Builder, sentence: str, openers: tuple[str, ...], closers: tuple[str, ...],
           chance: float) -> str:
    """The planted sentence with chatter around it, and sometimes a different casing."""
    rng = b.rng
    before = [b.fill(rng.choice(openers))] if rng.random() < chance else []
    after = [b.fill(rng.choice(closers))] if rng.random() < chance else []
    text = " ".join(before + [sentence] + after)
    casing = rng.random()
    if casing < 0.15:
        text = text.lower()
    elif casing < 0.2:
        text = text.upper()
    return text


def _error_fact(b: _Builder) -> tuple[str, str, str]:
    """(marker, command, output): a long output whose error line is among its last."""
    rng, w = b.rng, b.word()
    shapes = (
        (f"{w.capitalize()}Error", f"E       {w.capitalize()}Error: cannot pickle '_thread.lock' object"),
        (f"{w}_audit", f'ERROR:  relation "{w}_audit" does not exist'),
        (w, f"npm ERR! 404  '{w}@^2.4.0' is not in this registry."),
        (w, f"fatal: unable to access remote '{w}': The requested URL returned error: 403"),
        (w, f"error[E0425]: cannot find value `{w}` in this scope"),
        (f"{w}.go", f"panic: assignment to entry in nil map [recovered] at {w}.go:88"),
        (w, f"KeyError: '{w}'"),
        (f"test_{w}", f"FAILED tests/test_sync.py::test_{w} - AssertionError: expected 3 rows, got 4"),
        (w, f"make[2]: *** [CMakeFiles/{w}.dir/build.make:76] Error 1"),
        (w, f"java.lang.IllegalStateException: connection pool '{w}' exhausted (max 10)"),
        (w, f"ModuleNotFoundError: No module named '{w}'"),
        (w, f"OSError: [Errno 28] No space left on device: '/tmp/{w}.lock'"),
    )
    marker, line = rng.choice(shapes)
    lines = b.lines_of(rng.randint(1200, 3400))
    trailer = rng.choice(([], [f"==== 1 failed, {b.small(20, 400)} passed in {b.small(2, 90)}.{b.small(10, 99)}s ===="],
                          ["Process exited with code 1"], ["", "Error: command failed"]))
    if rng.random() < 0.5 and not trailer:
        trailer = [b.fill("  at {verb}_{noun} ({path}:{small})")]
    command = rng.choice(("pytest -x tests/", "make build", "npm install", "cargo build",
                          "python manage.py migrate", "./scripts/deploy.sh staging",
                          "go test ./...", "tox -e py312"))
    return marker, command, "\n".join(lines + [line] + trailer)


def _embed(b: _Builder, line: str, size: int) -> str:
    """Filler lines with `line` at a random place among them."""
    lines = b.lines_of(size)
    lines.insert(b.rng.randint(0, len(lines)), line)
    return "\n".join(lines)


def _path_fact(b: _Builder) -> tuple[str, str, str]:
    rng, w = b.rng, b.word()
    path = rng.choice((f"/var/lib/{w}/state.db", f"/etc/{w}/agent.yaml",
                       f"src/{w}/handlers/upload.py", f"~/.cache/{w}/index.bin",
                       f"/opt/{w}/conf/settings.toml", f"deploy/{w}/values.yaml"))
    others = [b.source_path() for _ in range(rng.randint(3, 12))]
    shapes = (
        lambda: ("find . -name '*.yaml' -o -name '*.toml' -o -name '*.db'",
                 "\n".join(others[:rng.randint(0, len(others))] + [path] + others[len(others) // 2:])),
        lambda: ("python -c 'import app.settings as s; print(s.CONFIG_FILE)'", path),
        lambda: ("tail -n 30 logs/last_run.log", _embed(b, f"INFO loaded settings from {path}", b.small(300, 1500))),
        lambda: ("python -m app.sync --once",
                 "Traceback (most recent call last):\n"
                 f'  File "{b.source_path()}", line {b.small(10, 300)}, in main\n'
                 f'  File "{path}", line {b.small(10, 300)}, in _open\n'
                 "PermissionError: [Errno 13] Permission denied"),
        lambda: ("grep -rn cache_dir config/", f'config/base.toml:{b.small(3, 90)}:cache_dir = "{path}"'),
        lambda: ("docker inspect api --format '{{json .Mounts}}'",
                 json.dumps([{"Type": "bind", "Source": path, "Destination": "/data", "RW": True}])),
        lambda: ("du -sh data/* 2>/dev/null | sort -h | tail -n 5",
                 "\n".join([f"{b.small(1, 900)}K\tdata/{n}" for n in rng.sample(NOUNS, 4)] + [f"{b.small(1, 900)}M\t{path}"])),
        lambda: ("python -m app.doctor", f"python: 3.12\nconfig file: {path}\nplugins: {b.small(2, 9)} loaded\nstatus: ok"),
        lambda: ("readlink -f current/state", path),
    )
    command, output = rng.choice(shapes)()
    return path, command, output


def _version_fact(b: _Builder) -> tuple[str, str, str]:
    rng = b.rng
    version = f"{b.small(2, 9)}.{b.small(10, 39)}.{b.number(40, 99)}"
    pkg = rng.choice(PACKAGES)
    shapes = (
        lambda: (f"pip show {pkg}", f"Name: {pkg}\nVersion: {version}\nSummary: {pkg} for Python\nLocation: /usr/lib/python3/site-packages"),
        lambda: ("pip freeze", "\n".join(sorted([f"{p}=={b.filler_version()}" for p in rng.sample(PACKAGES, 8) if p != pkg] + [f"{pkg}=={version}"]))),
        lambda: ("openssl version", f"OpenSSL {version}  3 Sep 2024 (Library: OpenSSL {b.filler_version()})"),
        lambda: ("docker --version", f"Docker version {version}, build {b.hexid(7)}"),
        lambda: ("poetry install", _embed(b, f"  - Installing {pkg} ({version})", b.small(300, 1400))),
        lambda: ("npm ls --depth=0", f"app@{b.filler_version()} /srv/app\n+-- {pkg}@{version}\n`-- left-pad@{b.filler_version()}"),
        lambda: ("psql -c 'select version()'", f" PostgreSQL {version} on x86_64-pc-linux-gnu, compiled by gcc\n(1 row)"),
        lambda: ("uv sync", f"Resolved {b.small(20, 200)} packages\nUsing {pkg} {version} from the lock file\nAudited in {b.small(1, 9)}ms"),
        lambda: ("go version", f"go version: {version} linux/amd64"),
        lambda: ("kubectl get deploy api -o wide", f"NAME  READY  IMAGE\napi   3/3    registry.local/api:{version}"),
    )
    command, output = rng.choice(shapes)()
    return version, command, output


def _port_fact(b: _Builder) -> tuple[str, str, str]:
    rng = b.rng
    p = str(b.number(30000, 49999))
    shapes = (
        ("uvicorn app.main:app", f"INFO:     Started server process [{b.small()}]\nINFO:     Uvicorn running on http://127.0.0.1:{p} (Press CTRL+C to quit)"),
        ("docker ps", f"CONTAINER ID   IMAGE         PORTS\n{b.hexid(12)}   postgres:16   0.0.0.0:{p}->5432/tcp\n{b.hexid(12)}   redis:7       6379/tcp"),
        ("./bin/server", _embed(b, f"Listening on :{p}", b.small(200, 900))),
        ("env | grep -i port", f"DB_PORT=5432\nAPI_PORT={p}\nREDIS_PORT=6379"),
        ("ss -ltnp", f"State  Recv-Q Send-Q Local Address:Port\nLISTEN 0      128    127.0.0.1:{p}    users:((\"python\",pid={b.small()},fd=7))"),
        ("grep -n url config/local.ini", f"4:redis_url = redis://localhost:{p}/0"),
        ("npm run dev", f"  VITE ready in {b.small(100, 900)} ms\n\n  > Local:   http://localhost:{p}/\n  > Network: use --host to expose"),
        ("python -m app.grpc_server", _embed(b, f"[server] started grpc endpoint on port {p}", b.small(200, 1200))),
        ("kubectl port-forward svc/api 8080", f"Forwarding from 127.0.0.1:{p} -> 8080\nHandling connection for 8080"),
        ("python -m app.mock", f"Mock server ready at http://0.0.0.0:{p}"),
    )
    command, output = rng.choice(shapes)
    return p, command, output


def _count_fact(b: _Builder) -> tuple[str, str, str]:
    rng = b.rng
    n = str(b.number(1100, 9899))
    shapes = (
        ("psql -c \"update events set state='done' where state='stale'\"", f"UPDATE {n}"),
        ("rg -c TODO", f"Found {n} matches across {b.small(20, 400)} files"),
        ("psql -c 'select count(*) from invoices'", f" count\n-------\n {n}\n(1 row)"),
        ("wc -l data/export.csv", f"{n} data/export.csv"),
        ("python -m app.backfill", _embed(b, f"Processed {n} records, 0 failures", b.small(300, 1500))),
        ("python -m app.cache prune", f"Deleted {n} stale cache entries"),
        ("celery inspect stats", f"queue depth: {n}\nworkers: {b.small(2, 16)}"),
        ("ruff check .", _embed(b, f"Found {n} errors.", b.small(200, 800))),
        ("python scripts/count_users.py", f"active users: {n}"),
        ("git rev-list --count HEAD", n),
    )
    command, output = rng.choice(shapes)
    return n, command, output


def _ref_fact(b: _Builder) -> tuple[str, str, str]:
    rng = b.rng
    if rng.random() < 0.5:
        ref = b.hexid(10)
        others = [f"{b.hexid(10)} " + b.fill("Fix {noun} retry") for _ in range(rng.randint(3, 9))]
        shapes = (
            ("git log --oneline -12", "\n".join(others[:2] + [f"{ref} " + b.fill("Refactor {noun} handling")] + others[2:])),
            ("git commit -am 'Retry the upload once'", f"[main {ref}] Retry the upload once\n 2 files changed, {b.small(3, 90)} insertions(+)"),
            ("git rev-parse --short=10 HEAD", ref),
            ("git push origin HEAD", f"To git.internal:app.git\n   {b.hexid(10)}..{ref}  main -> main"),
            ("git stash list", f"stash@{{0}}: WIP on main: {ref} " + b.fill("Add {verb}_{noun}")),
        )
    else:
        prefix = b.word()[:4].upper()
        while prefix in b.used:
            prefix = b.word()[:4].upper()
        b.used.add(prefix)
        ref = f"{prefix}-{b.number(1100, 9899)}"
        shapes = (
            ("bugs new --title 'retries are not idempotent'", f"Created bug {ref}: retries are not idempotent"),
            ("bugs list --mine", f"{ref}  In Progress  Fix double processing on restart\n{prefix}-{b.small(10, 999)}  Done  Bump dependencies"),
            ("git show --stat HEAD", f"commit {b.hexid(10)}\n\n    Fix the flaky {rng.choice(NOUNS)} test\n\n    Refs: {ref}\n\n {b.source_path()} | {b.small(2, 40)} +-"),
            ("./scripts/deploy.sh staging", _embed(b, f"Deployment {ref} finished", b.small(300, 1200))),
            ("gh pr view --json body -q .body", f"Closes {ref}. Adds retries around the upload call."),
        )
    command, output = rng.choice(shapes)
    return ref, command, output


TOOL_FACT_MAKERS: Mapping[str, Callable[[_Builder], tuple[str, str, str]]] = {
    "error": _error_fact, "path": _path_fact, "version": _version_fact,
    "port": _port_fact, "count": _count_fact, "ref": _ref_fact}


# -- the session ---------------------------------------------------------------------------

@dataclasses.dataclass
class _Pending:
    category: str
    kind: str
    target: int  # the turn it should be planted at, or soon after


def _plan(rng: random.Random, turns: int, goal_turn: int) -> list[_Pending]:
    last = turns - 8  # everything but the final state lands before the closing turns
    plan = [_Pending("constraint", "constraint", goal_turn + rng.randint(1, 4)),
            _Pending("constraint", "constraint", goal_turn + rng.randint(5, 11))]
    third = (last - goal_turn) // 3
    for k in range(3):
        low = goal_turn + 2 + k * third
        plan.append(_Pending("decision", "decision", rng.randint(low, low + third - 1)))
    kinds = ["error"] + rng.sample(TOOL_FACT_KINDS[1:], 4)
    rng.shuffle(kinds)
    plan += [_Pending("tool_fact", kind, rng.randint(3, last)) for kind in kinds]
    blocker = "blocker_user" if rng.random() < 0.25 else "blocker"
    plan.append(_Pending("blocker", blocker, rng.randint(turns // 4, turns * 3 // 4)))
    plan.sort(key=lambda p: p.target)
    return plan


def make_session(seed: int, index: int) -> Session:
    rng = random.Random(seed * 1_000_003 + index)
    b = _Builder(rng)
    total = rng.randint(MIN_TURNS, MAX_TURNS)
    turns: list[tuple[dict[str, Any], ...]] = []
    planted: list[tuple[str, str, str, int, int]] = []  # category, kind, marker, turn, offset

    def add(turn: list[dict[str, Any]], fact: tuple[str, str, str, int] | None = None) -> None:
        if fact is not None:
            category, kind, marker, offset = fact
            planted.append((category, kind, marker, len(turns), offset))
        turns.append(tuple(turn))

    def user(text: str) -> dict[str, Any]:
        return {"role": "user", "content": text}

    # The goal, in the first user message or after a short exchange.
    goal_turn = 0 if rng.random() < 0.6 else 2
    if goal_turn:
        add([user(rng.choice(GOAL_PREFACES))])
        add([{"role": "assistant", "content": rng.choice(GOAL_REPLIES)}])
    marker = b.word()
    goal = _shape(b, rng.choice(GOALS).replace("{m}", marker),
                  ("ok so", "Quick one, hopefully.", "Morning."),
                  ("Thanks!", "Let me know if anything is unclear.", "The repo is checked out."),
                  0.5)
    add([user(goal)], ("goal", "goal", marker, 0))

    pending = _plan(rng, total, goal_turn)
    closing = total - (2 if rng.random() < 0.4 else 1)
    last_role = "user"
    decisions = rng.sample(DECISIONS, 3)
    constraints = rng.sample(CONSTRAINTS, 2)
    while len(turns) < closing:
        t = len(turns)
        left = closing - t
        due = [p for p in pending if p.target <= t or len(pending) >= left - 1]
        wants_user = any(p.kind in ("constraint", "blocker_user") for p in due)
        if wants_user and last_role != "user":
            role = "user"
        elif last_role == "user":
            role = "tools" if rng.random() < 0.7 else "text"
        elif last_role == "text":
            role = "user" if rng.random() < 0.45 else "tools"
        else:
            r = rng.random()
            role = "tools" if r < 0.55 else "text" if r < 0.85 else "user"
        if role == "text" and any(p.category == "tool_fact" for p in due[:1]):
            role = "tools"
        fact = next((p for p in due if (role == "user") == (p.kind in ("constraint", "blocker_user"))
                     and not (role == "text" and p.category == "tool_fact")), None)
        if fact is not None:
            pending.remove(fact)
        last_role = role
        if role == "user":
            if fact is not None:
                marker = b.word()
                template = constraints.pop() if fact.kind == "constraint" else rng.choice(BLOCKERS_USER)
                text = _shape(b, template.replace("{m}", marker),
                              ("also,", "one more thing:", "before I forget:", "looks good."),
                              ("thanks", "go on", "carry on."), 0.3)
                add([user(text)], (fact.category, fact.category, marker, 0))
            else:
                r = rng.random()
                pool = SMALL_TALK if r < 0.6 else SIDE_REQUESTS if r < 0.8 else DISTRACTOR_USER
                add([user(b.fill(rng.choice(pool), d=b.word()))])
            continue
        text = ""
        planted_fact = None
        if fact is not None and fact.category in ("decision", "blocker"):
            marker = b.word()
            template = decisions.pop() if fact.category == "decision" else rng.choice(BLOCKERS_ASSISTANT)
            text = _shape(b, template.replace("{m}", marker), PROGRESS, PROGRESS, 0.45)
            planted_fact = (fact.category, fact.category, marker, 0)
        elif role == "text" or rng.random() < 0.4:
            notes = PROGRESS if rng.random() < 0.85 else DISTRACTOR_ASSISTANT
            text = b.fill(rng.choice(notes), d=b.word())
            if role == "text" and rng.random() < 0.3:  # a longer explanation
                text += " " + " ".join(b.fill(rng.choice(PROGRESS)) for _ in range(rng.randint(2, 6)))
        if role == "text":
            add([{"role": "assistant", "content": text}], planted_fact)
            continue
        results = [b.filler_tool() for _ in range(1 if rng.random() < 0.75 else rng.randint(2, 3))]
        if fact is not None and fact.category == "tool_fact":
            marker, command, output = TOOL_FACT_MAKERS[fact.kind](b)
            at = rng.randrange(len(results) + 1)
            results.insert(at, (b.call("run", command=command), output))
            planted_fact = ("tool_fact", fact.kind, marker, at + 1)
        calls = [call for call, _ in results]
        messages = [{"role": "assistant", "content": text, "tool_calls": calls}]
        messages += [{"role": "tool", "tool_call_id": call["id"], "content": out}
                     for call, out in results]
        add(messages, planted_fact)
    if pending:
        raise AssertionError(f"facts left unplanted: {pending}")
    marker = b.word()
    final = _shape(b, rng.choice(FINALS).replace("{m}", marker),
                   ("The last test run was clean.", "OK."),
                   ("Anything else?", "Let me know if you want changes."), 0.4)
    add([{"role": "assistant", "content": final}], ("final_state", "final_state", marker, 0))
    if len(turns) < total:
        add([user(rng.choice(CLOSINGS))])

    starts = [1]
    for turn in turns:
        starts.append(starts[-1] + len(turn))
    facts = tuple(Fact(category, kind, marker, turn, starts[turn] + offset)
                  for category, kind, marker, turn, offset in planted)
    return Session(index, {"role": "system", "content": SYSTEM_PROMPT}, tuple(turns), facts)


def make_sessions(count: int, seed: int) -> Iterator[Session]:
    return (make_session(seed, i) for i in range(count))
