"""Whether a summary tells the truth: the traps of benchmarks/traps.py, then (a second table)
those of benchmarks/step_traps.py on what each step did, counted per trap for one summary
of the whole session and for the context after condensing every turn.

    python -m benchmarks.truth [--sessions N] [--seed S] [--budget B] [--held-out] [--out DIR]

One summary: `morvex_summarize.summarize` of the whole session with the offline client,
rendered as the agent's context. Condensing: `Condenser(ExtractiveClient(), max_tokens=B,
keep_last=6)` after every turn with the state passed back; the context is the final list.

A trap is passed when:

  success     its marker is in no blocker and no next step;
  error       its marker (only in the failure's key line) is in the context;
  resolved    its marker is in no blocker and no next step, or the passing run is still
              among the kept messages (the summary was not handed it);
  fact        its marker is in the context;
  decision    its marker is in the context;
  patch       its marker is in the progress section (or in the kept messages);
  goal        the goal's marker is listed once among the goals and in no constraint, the
              constraint's marker once, and nothing is prefixed twice.

and a step trap when:

  quiet_rerun    its marker is in no blocker and no next step, or the rerun is still
                 among the kept messages;
  reproduced     its marker is in no blocker and no next step;
  patch_tool     its marker is in the progress section (or in the kept messages);
  viewed_only,   no progress line that holds its marker claims a change ("changed",
  failed_edit    "edited", "modified", "created", "wrote", "written", "updated", "patched");
  harness_nag    its marker is in no goal, no blocker and no next step;
  went_on        its marker (the agent's words that it cannot go on, before it changed a
                 file) is in no blocker and no next step;
  console_text   its marker is in no goal, no constraint, no blocker and no next step;
  no_tests       its marker is in a blocker: a check that found nothing to run did not pass;
  thinking_tag   its marker (in the model's thinking) is in no blocker and no next step;
  quoted_rule    the quoted rule's marker is in no constraint, the request's own
                 instruction's marker is among the goals;
  demonstration  the real task's marker is in the first goal, the demonstrated task's in
                 no goal.

`--held-out` builds the sessions from the held-out wordings (and another seed by default),
which development never looked at. Writes truth.md (truth-held-out.md) to --out.
"""
from __future__ import annotations

import argparse
import asyncio
import pathlib
import platform
import re
import sys
import time
from collections import Counter
from collections.abc import Mapping, Sequence
from typing import Any

from morvex.core.summarizer import ConversationSummarizer
from morvex_summarize import summarize
from morvex_summarize.native import parse_context
from morvex_summarize.clients.extractive import ExtractiveClient
from morvex_summarize.condense import Condenser

from benchmarks.sessions import marker_pattern, message_text
from benchmarks.step_traps import STEP_TRAPS, make_step_session
from benchmarks.traps import TRAPS, TrapSession, make_trap_session

HERE = pathlib.Path(__file__).resolve().parent
KEEP_LAST = 6
NAMES = {"success": "success not a blocker", "error": "error line kept",
         "resolved": "resolved failure not a blocker", "fact": "user fact kept",
         "decision": "decision kept", "patch": "patched file in progress",
         "goal": "goal not repeated",
         "quiet_rerun": "quiet rerun not a blocker", "patch_tool": "patch tool's file in progress",
         "viewed_only": "viewed file not claimed changed",
         "failed_edit": "failed edit not claimed done",
         "reproduced": "reproduced bug not a blocker once fixed",
         "harness_nag": "harness complaint not a goal or step",
         "went_on": "stop the agent went past not a blocker",
         "console_text": "console text not a goal or step",
         "no_tests": "check that ran no tests a blocker",
         "thinking_tag": "thinking not a blocker or step",
         "quoted_rule": "quoted rule not a constraint",
         "demonstration": "demonstrated task not a goal"}
CLAIM = re.compile(r"\b(?:changed|edited|modified|created|wrote|written|updated|patched)\b",
                   re.IGNORECASE)


def _has(marker: str, text: str) -> bool:
    return marker_pattern(marker).search(text) is not None


def _count(marker: str, text: str) -> int:
    return len(marker_pattern(marker).findall(text))


def judge(session: TrapSession, summary_text: str, rest: str = "") -> dict[str, bool]:
    """Per trap, whether the context (a summary's text, and the messages kept beside it)
    gets it right."""
    sections = parse_context(summary_text) if summary_text else {}
    context = summary_text + "\n" + rest

    def section(key: str) -> str:
        value = sections.get(key, [])
        return "\n".join(value) if isinstance(value, list) else str(value)

    stops = section("blockers") + "\n" + section("next_steps")
    goals: list[str] = sections.get("goals", [])
    constraints = [g for g in goals if g.lower().startswith("constraint")]
    verdict = {}
    for trap in session.traps:
        m = trap.marker
        if trap.kind in ("success", "reproduced", "went_on", "thinking_tag"):
            ok = not _has(m, stops)
        elif trap.kind in ("resolved", "quiet_rerun"):
            # the summary cannot know of a passing run it was not handed: when that run is
            # among the kept messages, the context shows it after the summary
            ok = not _has(m, stops) or _has(m, rest)
        elif trap.kind in ("error", "fact", "decision"):
            ok = _has(m, context)
        elif trap.kind in ("patch", "patch_tool"):
            ok = _has(m, section("progress")) or _has(m, rest)
        elif trap.kind in ("viewed_only", "failed_edit"):
            ok = not any(_has(m, line) and CLAIM.search(line)
                         for line in sections.get("progress", []))
        elif trap.kind == "no_tests":
            ok = _has(m, section("blockers"))
        elif trap.kind in ("harness_nag", "console_text"):
            ok = not _has(m, section("goals") + "\n" + stops)
        elif trap.kind == "quoted_rule":
            ok = not any(_has(m, c) for c in constraints) and _has(trap.other, section("goals"))
        elif trap.kind == "demonstration":
            ok = bool(goals) and _has(m, goals[0]) and not _has(trap.other, section("goals"))
        else:
            ok = (_count(m, "\n".join(goals)) == 1 and _count(trap.other, "\n".join(goals)) == 1
                  and not any(_has(m, c) for c in constraints)
                  and "constraint: constraint" not in context.lower())
        verdict[trap.kind] = ok
    return verdict


async def one_summary(session: TrapSession) -> str:
    record = await summarize(session.messages)
    return ConversationSummarizer(ExtractiveClient()).format_summary_for_context(dict(record))


async def condensed(session: TrapSession, budget: int, times: list[float]
                    ) -> tuple[str, str]:
    """(the summary's text, the other messages' text) after condensing every turn."""
    condenser = Condenser(ExtractiveClient(), max_tokens=budget, keep_last=KEEP_LAST)
    messages: list[Any] = [session.system]
    state = None
    for turn in session.turns:
        messages = [*messages, *turn]
        started = time.perf_counter()
        messages, state = await condenser.condense(messages, state)
        if state.condensed:
            times.append(time.perf_counter() - started)
    summary = state.summary_text if state is not None and state.summary_text else ""
    rest = "\n".join(message_text(m) for m in messages
                     if state is None or m is not state.context_message)
    return summary, rest


async def measure(sessions: Sequence[TrapSession], budget: int
                  ) -> tuple[dict[str, Counter[str]], Counter[str], list[float], list[str]]:
    """Per kind the traps planted and passed (for one summary, after condensing), per kind
    and wording family those one summary passed, the condensing rounds' times, the misses."""
    passed: dict[str, Counter[str]] = {"one summary": Counter(), "condensing": Counter(),
                                       "planted": Counter()}
    by_family: Counter[str] = Counter()
    times: list[float] = []
    misses: list[str] = []
    for session in sessions:
        text = await one_summary(session)
        for kind, ok in judge(session, text).items():
            passed["planted"][kind] += 1
            passed["one summary"][kind] += ok
            trap = next(t for t in session.traps if t.kind == kind)
            by_family[f"{kind}/{trap.family}/total"] += 1
            by_family[f"{kind}/{trap.family}/ok"] += ok
            if not ok:
                misses.append(f"one summary, session {session.index}: {kind} ({trap.family}, "
                              f"{trap.marker})")
        summary, rest = await condensed(session, budget, times)
        for kind, ok in judge(session, summary, rest).items():
            passed["condensing"][kind] += ok
            if not ok:
                trap = next(t for t in session.traps if t.kind == kind)
                misses.append(f"condensing, session {session.index}: {kind} ({trap.family}, "
                              f"{trap.marker})")
    return passed, by_family, times, misses


def _pct(part: int, whole: int) -> str:
    return f"{100 * part / whole:.0f}%" if whole else "n/a"


def _median_ms(times: list[float]) -> float:
    return sorted(times)[len(times) // 2] * 1000 if times else float("nan")


def _rows(kinds: Sequence[str], passed: Mapping[str, Counter[str]], planted: bool = False
          ) -> list[str]:
    """A table's rows: per kind (and, with `planted`, how many were planted) the share
    passed by one summary and after condensing."""
    rows = []
    for kind in kinds:
        total = passed["planted"][kind]
        rows.append(f"| {NAMES[kind]} |{f' {total} |' if planted else ''} "
                    f"{_pct(passed['one summary'][kind], total)} | "
                    f"{_pct(passed['condensing'][kind], total)} |")
    return rows


def _families(kinds: Sequence[str], by_family: Counter[str]) -> list[str]:
    lines = ["| trap | family | sessions | right |", "|---|---|---|---|"]
    for key in sorted({k.rsplit("/", 1)[0] for k in by_family}):
        kind, family = key.split("/")
        if kind in kinds:
            total, ok = by_family[f"{key}/total"], by_family[f"{key}/ok"]
            lines.append(f"| {NAMES[kind]} | {family} | {total} | {_pct(ok, total)} |")
    return lines


def report(passed: Mapping[str, Counter[str]], by_family: Counter[str], times: list[float],
           count: int, seed: int, budget: int, held_out: bool, seconds: float) -> str:
    which = "held-out wordings" if held_out else "development wordings"
    flag = " --held-out" if held_out else ""
    lines = [
        f"# Truth of the summary ({which})", "",
        f"{count} seeded sessions (seed {seed}, {which}); condensing with `ExtractiveClient`, "
        f"budget {budget} tokens, keep_last={KEEP_LAST}, after every turn. Run: {seconds:.1f} s "
        f"on CPython {platform.python_version()}. Reproduce: `python -m benchmarks.truth "
        f"--sessions {count} --seed {seed} --budget {budget}{flag}`.", "",
        "| trap | one summary | after condensing |", "|---|---|---|", *_rows(TRAPS, passed),
        "", f"Condensing rounds that summarized: {len(times)}, median {_median_ms(times):.2f} ms "
        "(wall clock, on a machine shared with other jobs).", "",
        "## One summary, by the wording's family", "",
        *_families(("success", "error", "resolved", "patch"), by_family)]
    return "\n".join(lines) + "\n"


def step_report(passed: Mapping[str, Counter[str]], by_family: Counter[str],
                times: list[float], count: int, seed: int, seconds: float) -> str:
    """The second table: the step traps of benchmarks/step_traps.py."""
    lines = [
        "## What each step did", "",
        f"{count} seeded sessions of benchmarks/step_traps.py (seed {seed}; wordings, "
        "budget and condensing as above): each plants the ten steps, and a quoted rule "
        f"(even sessions) or a demonstration (odd sessions). Run: {seconds:.1f} s. "
        f"Condensing rounds that summarized: {len(times)}, median {_median_ms(times):.2f} ms.",
        "", "| trap | sessions | one summary | after condensing |", "|---|---|---|---|",
        *_rows(STEP_TRAPS, passed, planted=True),
        "", "### One summary, by the step's tool or program", "",
              *_families(("quiet_rerun", "reproduced", "patch_tool", "viewed_only",
                          "failed_edit", "no_tests"), by_family)]
    return "\n".join(lines) + "\n"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.truth",
                                     description=__doc__.split("\n")[0])
    parser.add_argument("--sessions", type=int, default=60, help="sessions")
    parser.add_argument("--seed", type=int, default=None,
                        help="seed of the sessions (default 5; held out: 2027)")
    parser.add_argument("--budget", type=int, default=3000, help="condensing budget in tokens")
    parser.add_argument("--held-out", action="store_true", help="the held-out wordings")
    parser.add_argument("--out", default=str(HERE / "results"), help="output directory")
    parser.add_argument("--misses", action="store_true", help="list each trap missed")
    args = parser.parse_args(argv)
    seed = args.seed if args.seed is not None else (2027 if args.held_out else 5)
    if args.sessions < 1 or args.budget < 1:
        parser.error("need at least one session and a positive budget")
    started = time.perf_counter()
    sessions = [make_trap_session(seed, i, args.held_out) for i in range(args.sessions)]
    passed, by_family, times, misses = asyncio.run(measure(sessions, args.budget))
    seconds = time.perf_counter() - started
    text = report(passed, by_family, times, args.sessions, seed, args.budget, args.held_out,
                  seconds)
    started = time.perf_counter()
    sessions = [make_step_session(seed, i, args.held_out) for i in range(args.sessions)]
    passed, by_family, times, step_misses = asyncio.run(measure(sessions, args.budget))
    text += "\n" + step_report(passed, by_family, times, args.sessions, seed,
                               time.perf_counter() - started)
    misses += [f"steps, {miss}" for miss in step_misses]
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    name = "truth-held-out.md" if args.held_out else "truth.md"
    (out / name).write_text(text, encoding="utf-8")
    print(text)
    if args.misses:
        print("\n".join(misses))
    print(f"wrote {out / name}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
