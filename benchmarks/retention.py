"""Retention of planted facts when a growing agent conversation is kept within a budget.

    python -m benchmarks.retention [--sessions N] [--budgets 2000,4000,8000] [--seed S] [--out DIR]

Each seeded session (benchmarks/sessions.py) grows one turn at a time, and three ways of
keeping it within B tokens (by estimate_tokens) are compared:

  condenser    Condenser(ExtractiveClient(), max_tokens=B, keep_last=6), called after
               every turn with the state the call before returned;
  drop oldest  the leading system message and the newest messages that fit, an assistant
               message with tool calls dropped together with its results;
  one summary  the whole conversation summarized once at the end, and nothing else.

A planted fact is retained when its marker is in the final context the agent would see:
the contents of every message of the final list, or for "one summary" the summary's text.
Writes retention.md and retention.png to benchmarks/results/ (or --out DIR) and prints
the tables.
"""
from __future__ import annotations

import argparse
import asyncio
import dataclasses
import pathlib
import platform
import statistics
import sys
import time
from collections import Counter, defaultdict
from collections.abc import Mapping, Sequence
from typing import Any

from morvex.core.summarizer import ConversationSummarizer
from morvex_summarize import summarize
from morvex_summarize.session import evidence
from morvex_summarize.clients.extractive import ExtractiveClient
from morvex_summarize import carry
from morvex_summarize.condense import Condenser, estimate_tokens

from benchmarks.sessions import CATEGORIES, TOOL_FACT_KINDS, Session, make_session, marker_pattern

HERE = pathlib.Path(__file__).resolve().parent
KEEP_LAST = 6
METHODS = ("condenser", "drop oldest", "one summary")
CATEGORY_NAMES = {"goal": "goal", "constraint": "constraints", "decision": "decisions",
                  "tool_fact": "tool facts", "blocker": "blocker", "final_state": "final state"}


def context_text(messages: Sequence[Mapping[str, Any]]) -> str:
    return "\n".join(m.get("content") or "" for m in messages)


def drop_oldest(messages: Sequence[dict[str, Any]], budget: int) -> list[dict[str, Any]]:
    """The leading system message and the newest messages within `budget`; a tool result
    never outlives the assistant message that called it."""
    head = list(messages[:1]) if messages and messages[0].get("role") == "system" else []
    groups: list[list[dict[str, Any]]] = []
    for message in messages[len(head):]:
        if message.get("role") == "tool" and groups and groups[-1][0].get("tool_calls"):
            groups[-1].append(message)
        else:
            groups.append([message])
    sizes = [sum(estimate_tokens(m) for m in group) for group in groups]
    total = sum(estimate_tokens(m) for m in head) + sum(sizes)
    first = 0
    while total > budget and first < len(groups):
        total -= sizes[first]
        first += 1
    return head + [m for group in groups[first:] for m in group]


def _required_start(messages: Sequence[dict[str, Any]]) -> int:
    """Where the tail starts that the condenser must keep: the newest KEEP_LAST messages,
    and the assistant message whose calls the first of them answers."""
    start = max(len(messages) - KEEP_LAST, 1)
    while start > 1 and messages[start].get("role") == "tool":
        start -= 1
    return start


@dataclasses.dataclass
class Tally:
    retained: Counter = dataclasses.field(default_factory=Counter)  # by category and kind
    planted: Counter = dataclasses.field(default_factory=Counter)
    tokens: list[int] = dataclasses.field(default_factory=list)  # final context, per session

    def add(self, session: Session, text: str, tokens: int) -> None:
        for fact in session.facts:
            found = marker_pattern(fact.marker).search(text) is not None
            for key in {fact.category, fact.kind, "overall"}:
                self.planted[key] += 1
                self.retained[key] += found
        self.tokens.append(tokens)

    def share(self, key: str) -> float:
        return self.retained[key] / self.planted[key] if self.planted[key] else float("nan")


@dataclasses.dataclass
class Rounds:
    calls: int = 0
    condensed: int = 0
    over: int = 0  # returned over budget
    unavoidable: int = 0  # ... where the system message and the kept tail alone exceed it
    big_summary: int = 0  # ... where they fit, but not with this round's summary
    kept_whole: int = 0  # ... nor with its first goal, constraints and decisions alone
    times: list[float] = dataclasses.field(default_factory=list)
    condensing_times: list[float] = dataclasses.field(default_factory=list)
    captured: Counter = dataclasses.field(default_factory=Counter)  # by kind: in the summary
    handed: Counter = dataclasses.field(default_factory=Counter)  # ... that took its output
    goal: dict[int, list[int]] = dataclasses.field(
        default_factory=lambda: defaultdict(lambda: [0, 0]))  # round -> [kept, sessions]


def forget_outputs() -> None:
    """Empties the package's per-process caches of judged lines and outputs, so that each
    condensing run is timed as in a fresh process: the one summary of the same session, or
    another budget's run, must not have judged its outputs already."""
    for module in (evidence, carry):
        for value in vars(module).values():
            if callable(getattr(value, "cache_clear", None)):
                value.cache_clear()


async def run_condenser(session: Session, budget: int, rounds: Rounds) -> list[Any]:
    forget_outputs()
    condenser = Condenser(ExtractiveClient(), max_tokens=budget, keep_last=KEEP_LAST)
    goal = next(f for f in session.facts if f.category == "goal")
    goal_pattern = marker_pattern(goal.marker)
    full = [session.system]
    prefix = [0, estimate_tokens(session.system)]  # token sums of full[:i]
    messages: list[Any] = [session.system]
    state = None
    clock = time.perf_counter
    all_messages = session.messages
    for number, turn in enumerate(session.turns, 1):
        full += turn
        for message in turn:
            prefix.append(prefix[-1] + estimate_tokens(message))
        messages = [*messages, *turn]
        started = clock()
        messages, state = await condenser.condense(messages, state)
        took = clock() - started
        rounds.calls += 1
        rounds.times.append(took)
        if state.condensed:
            rounds.condensed += 1
            rounds.condensing_times.append(took)
            handed = {id(m) for m in state.summarized_messages}
            for fact in session.facts:
                if fact.category == "tool_fact" and id(all_messages[fact.message]) in handed:
                    rounds.handed[fact.kind] += 1
                    rounds.captured[fact.kind] += marker_pattern(fact.marker).search(
                        state.summary_text or "") is not None
        if not state.within_budget:
            rounds.over += 1
            required = prefix[1] + prefix[-1] - prefix[_required_start(full)]
            if required > budget:
                rounds.unavoidable += 1
            elif required + state.summary_tokens > budget:
                rounds.big_summary += 1
                rounds.kept_whole += required + _kept_whole_tokens(
                    condenser, state.summary) > budget
        if number > goal.turn:
            seen = rounds.goal[number]
            seen[0] += goal_pattern.search(context_text(messages)) is not None
            seen[1] += 1
    return messages


def _kept_whole_tokens(condenser: Condenser, summary: Mapping[str, Any] | None) -> int:
    """Tokens of the context message of what a summary never drops: its first goal, the
    user's constraints and the decisions."""
    goals = list((summary or {}).get("goals") or [])
    pinned = goals[:1] + [g for g in goals[1:] if str(g).startswith(carry.CONSTRAINT_PREFIX)]
    record = {"goals": pinned, "key_decisions": list((summary or {}).get("key_decisions") or [])}
    return condenser._render(record)[1]


def run_drop_oldest(session: Session, budget: int) -> list[dict[str, Any]]:
    messages: list[dict[str, Any]] = [session.system]
    for turn in session.turns:
        messages = drop_oldest([*messages, *turn], budget)
    return messages


async def run_one_summary(session: Session) -> str:
    """The context of one summary of the whole session, as `morvex_summarize.summarize`
    (and the command-line tool) makes it."""
    record = await summarize(session.messages)
    return ConversationSummarizer(ExtractiveClient()).format_summary_for_context(dict(record))


async def measure(sessions: Sequence[Session], budgets: Sequence[int]
                  ) -> tuple[dict[tuple[str, int | None], Tally], dict[int, Rounds]]:
    tallies: dict[tuple[str, int | None], Tally] = defaultdict(Tally)
    rounds = {budget: Rounds() for budget in budgets}
    for session in sessions:
        text = await run_one_summary(session)
        tallies["one summary", None].add(session, text,
                                         estimate_tokens({"role": "system", "content": text}))
        for budget in budgets:
            kept = await run_condenser(session, budget, rounds[budget])
            tallies["condenser", budget].add(session, context_text(kept),
                                             sum(map(estimate_tokens, kept)))
            kept = run_drop_oldest(session, budget)
            tallies["drop oldest", budget].add(session, context_text(kept),
                                               sum(map(estimate_tokens, kept)))
    return tallies, rounds


# -- report -------------------------------------------------------------------------------

def _columns(budgets: Sequence[int]) -> list[tuple[str, int | None]]:
    return ([("condenser", b) for b in budgets] + [("drop oldest", b) for b in budgets]
            + [("one summary", None)])


def _heading(column: tuple[str, int | None]) -> str:
    method, budget = column
    return f"{method} {budget}" if budget is not None else f"{method} (any B)"


def _pct(x: float) -> str:
    return f"{100 * x:.0f}%"


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f} ms"


def _p95(values: Sequence[float]) -> float:
    if len(values) < 2:
        return values[0] if values else float("nan")
    return statistics.quantiles(values, n=20, method="inclusive")[18]


def _table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    return (["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
            + ["| " + " | ".join(row) + " |" for row in rows])


def report(tallies: dict[tuple[str, int | None], Tally], rounds: dict[int, Rounds],
           budgets: Sequence[int], sessions: int, seed: int, seconds: float) -> str:
    columns = _columns(budgets)
    headings = [_heading(c) for c in columns]
    retention = [[CATEGORY_NAMES[cat]] + [_pct(tallies[c].share(cat)) for c in columns]
                 for cat in CATEGORIES]
    retention.append(["**overall**"] + [f"**{_pct(tallies[c].share('overall'))}**"
                                        for c in columns])
    retention.append(["context tokens (mean)"]
                     + [f"{statistics.fmean(tallies[c].tokens):.0f}" for c in columns])
    kinds = [[kind] + [f"{_pct(tallies[c].share(kind))} ({tallies[c].planted[kind]})"
                       for c in columns] for kind in TOOL_FACT_KINDS]
    over = [[str(b), str(r.calls), str(r.condensed), str(r.over), str(r.unavoidable),
             f"**{r.over - r.unavoidable}**", str(r.big_summary), str(r.kept_whole),
             str(r.over - r.unavoidable - r.big_summary)] for b, r in rounds.items()]
    times = [[str(b), _ms(statistics.median(r.times)), _ms(_p95(r.times)),
              _ms(statistics.median(r.condensing_times)) if r.condensing_times else "-",
              _ms(_p95(r.condensing_times)) if r.condensing_times else "-"]
             for b, r in rounds.items()]
    captured = [[kind] + [f"{_pct(r.captured[kind] / r.handed[kind]) if r.handed[kind] else '-'}"
                          f" ({r.handed[kind]})" for r in rounds.values()]
                for kind in TOOL_FACT_KINDS]
    marks = [n for n in (2, 4, 8, 16, 32, 64, 96, 119) if any(n in r.goal for r in rounds.values())]
    survival = [[str(b)] + [_pct(r.goal[n][0] / r.goal[n][1]) if r.goal[n][1] else "-"
                            for n in marks] for b, r in rounds.items()]
    lines = [
        "# Retention of planted facts under a token budget",
        "",
        f"{sessions} seeded coding-agent sessions (seed {seed}), 13 planted facts each; "
        f"budgets {', '.join(map(str, budgets))} tokens by `estimate_tokens`; condenser with "
        f"`ExtractiveClient` and keep_last={KEEP_LAST}, called after every turn. "
        f"Run: {seconds:.1f} s on {platform.python_implementation()} "
        f"{platform.python_version()}. Reproduce: `python -m benchmarks.retention "
        f"--sessions {sessions} --budgets {','.join(map(str, budgets))} --seed {seed}`.",
        "",
        "## Facts retained in the final context, by category",
        "",
        "A fact is retained when its marker is among the contents of the final message list "
        "(one summary: in the summary's text). \"one summary\" ignores the budget; its size "
        "is in the last row.",
        "",
        *_table(["category", *headings], retention),
        "",
        "## Tool facts by kind (planted count in brackets)",
        "",
        *_table(["kind", *headings], kinds),
        "",
        "## Tool facts captured by the summary that took their output",
        "",
        "Share of the planted tool facts whose output a condense round summarized that are "
        "in the summary that round made (their count in brackets).",
        "",
        *_table(["kind", *(f"condenser {b}" for b in rounds)], captured),
        "",
        "## Condense rounds (one per turn)",
        "",
        "Over budget: rounds whose result had `within_budget` false. Unavoidable: of those, "
        f"the rounds where the system message and the newest {KEEP_LAST} messages (with the "
        "call their first tool result answers) alone exceed the budget; the others could "
        "have been met. Of these, \"summary too big\": those kept messages fit, but not together "
        "with the round's context message (\"what is never dropped\": nor with the context "
        "message of its first goal, constraints and decisions alone, which a summary made "
        "smaller keeps whole); \"other\": it would have fit with that summary too.",
        "",
        *_table(["budget", "rounds", "summarized", "over budget", "unavoidable",
                 "could be met", "of which summary too big", "what is never dropped",
                 "of which other"], over),
        "",
        "## Time of one condense call",
        "",
        *_table(["budget", "median, all", "p95, all", "median, summarizing", "p95, summarizing"],
                times),
        "",
        "## Goal still in the context after round r (condenser)",
        "",
        "Share of the sessions that reached round r, from the round after the goal was stated.",
        "",
        *_table(["budget", *(f"r={n}" for n in marks)], survival),
        "",
        "![retention](retention.png)",
        "",
    ]
    return "\n".join(lines)


def plot(tallies: dict[tuple[str, int | None], Tally], rounds: dict[int, Rounds],
         budgets: Sequence[int], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.5))
    for method, style in (("condenser", "o-"), ("drop oldest", "s--")):
        left.plot(budgets, [100 * tallies[method, b].share("overall") for b in budgets],
                  style, label=method)
    one = 100 * tallies["one summary", None].share("overall")
    left.plot(budgets, [one] * len(budgets), "^:", label="one summary (no budget)")
    left.set_xscale("log", base=2)
    left.set_xticks(list(budgets), [str(b) for b in budgets])
    left.minorticks_off()
    left.set_ylim(0, 100)
    left.set_xlabel("budget (tokens)")
    left.set_ylabel("facts retained (%)")
    left.set_title("Overall retention")
    left.legend()
    for budget, r in rounds.items():
        xs = sorted(n for n in r.goal if r.goal[n][1])
        right.plot(xs, [100 * r.goal[n][0] / r.goal[n][1] for n in xs], label=f"B={budget}")
    right.set_ylim(-2, 102)
    right.set_xlabel("round (turns so far)")
    right.set_ylabel("sessions with the goal in the context (%)")
    right.set_title("Goal survival, condenser")
    right.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.retention",
                                     description=__doc__.split("\n")[0])
    parser.add_argument("--sessions", type=int, default=30, help="sessions per budget")
    parser.add_argument("--budgets", default="2000,4000,8000",
                        help="comma-separated token budgets")
    parser.add_argument("--seed", type=int, default=11, help="seed of the sessions")
    parser.add_argument("--out", default=str(HERE / "results"), help="output directory")
    args = parser.parse_args(argv)
    budgets = sorted({int(b) for b in args.budgets.split(",") if b.strip()})
    if args.sessions < 1 or not budgets or min(budgets) < 1:
        parser.error("need at least one session and positive budgets")

    started = time.perf_counter()
    sessions = [make_session(args.seed, i) for i in range(args.sessions)]
    tallies, rounds = asyncio.run(measure(sessions, budgets))
    seconds = time.perf_counter() - started

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    text = report(tallies, rounds, budgets, args.sessions, args.seed, seconds)
    (out / "retention.md").write_text(text, encoding="utf-8")
    plot(tallies, rounds, budgets, out / "retention.png")
    print(text)
    print(f"wrote {out / 'retention.md'} and {out / 'retention.png'}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
