"""Which condensing strategy to use when: each strategy at each budget, on the synthetic
sessions of the retention and truth benchmarks and on recorded agent runs.

    python -m benchmarks.strategies --runs DIR [--budgets 2000,4000,8000] [--sessions N]
                                    [--traps N] [--seed S] [--out DIR]

Every conversation is grown one model request at a time, as an agent grows it: before each
assistant message (the reply to a request) the condensed list so far, plus the messages
that came since, is condensed, and what that returns is the request's prompt; the reply
is appended to it and the loop goes on. After the last message it is condensed once more:
that is the conversation the agent would hand over. The state each call returns is passed
to the next. Tokens are the condenser's own count (4 characters a token, plus 4 a message).

Synthetic (benchmarks/sessions.py, traps.py, step_traps.py; keep_last=6 as those
benchmarks): the planted facts still found in the final conversation, in three shapes of
the same sessions (``tools``: as generated, a coding agent's tool calls and long outputs;
``chat``: every call written in the assistant's text and its output in a user message,
no tool calls, as a chat or a text-format agent has them; ``thinking``: Anthropic messages
whose assistant turns each open with a thinking block); the truth benchmark's traps
passed (tools shape); the requests whose prompt was over the budget; the tokens sent.

Recorded runs (``--runs DIR``: chat-JSON runs with labels, and the judge.py that scores
them; nothing of them is copied): the condenser of ``morvex-summarize condense --budget B``
(keep_last=4), the judge's figures on the final conversation, the model calls, the tokens
sent upstream (every request's prompt, and every summary request), and the time, twice:
with the offline summarizer in process, and with a chat-completions server on loopback
that answers each summary request as the offline summarizer would and counts what it was
sent. The summaries are the same both ways; the second way pays for the wire.

Writes strategies.md to --out (default benchmarks/results/) and prints it.
"""
from __future__ import annotations

import argparse
import asyncio
import dataclasses
import importlib.util
import json
import math
import pathlib
import platform
import random
import sys
import threading
import time
from collections import Counter
from collections.abc import Awaitable, Callable, Iterator, Mapping, Sequence
from http.server import BaseHTTPRequestHandler, HTTPServer
from typing import Any

from morvex_summarize.clients.extractive import ExtractiveClient
from morvex_summarize.clients.openai_client import OpenAIClient
from morvex_summarize.condense import Condenser, estimate_tokens
from morvex_summarize.condense.strategies import STRATEGIES, Strategy
from morvex_summarize.summarizing import close_client, windowed

from benchmarks import sessions as synthetic
from benchmarks.retention import forget_outputs
from benchmarks.sessions import Fact, Session, make_session, marker_pattern, message_text
from benchmarks.step_traps import make_step_session
from benchmarks.traps import TrapSession, make_trap_session
from benchmarks.truth import judge as judge_traps

HERE = pathlib.Path(__file__).resolve().parent
SYNTHETIC_KEEP_LAST = 6
SHAPES = ("tools", "chat", "thinking")
NO_CONDENSING = "none"  # the reference: every request sends the whole conversation
COMPARED: tuple[Strategy, ...] = tuple(STRATEGIES.values())
GOAL_TRAPS = frozenset({"goal", "quoted_rule", "demonstration"})
"""The traps that read the summary's goals: a conversation that was never summarized
holds no goals to read, and its request is there word for word."""

Condense = Callable[[list[Any], Any], Awaitable[tuple[list[Any], Any]]]


# -- growing a conversation request by request -----------------------------------------------

@dataclasses.dataclass
class Grown:
    """A conversation grown request by request: what it ended as, each request's prompt
    tokens, and the seconds its condense calls took."""

    final: list[Any]
    state: Any
    prompts: list[int]
    seconds: float

    def over(self, budget: int) -> int:
        return sum(size > budget for size in self.prompts)


def is_reply(message: Any) -> bool:
    """The message is a model's reply: a request was made for it."""
    return isinstance(message, Mapping) and message.get("role") == "assistant"


async def grow(messages: Sequence[Any], condense: Condense,
               count: Callable[[list[Any]], int]) -> Grown:
    """Grows ``messages`` as an agent does: before each reply the list so far (the last
    condensed list and the messages since) is condensed and becomes the prompt, counted
    by ``count``; after the last message it is condensed once more."""
    doc: list[Any] = []
    pending: list[Any] = []
    state = None
    prompts: list[int] = []
    seconds = 0.0
    for message in messages:
        if is_reply(message) and (doc or pending):
            started = time.perf_counter()
            doc, state = await condense(doc + pending, state)
            seconds += time.perf_counter() - started
            pending = []
            prompts.append(count(doc))
        pending.append(message)
    started = time.perf_counter()
    doc, state = await condense(doc + pending, state)
    seconds += time.perf_counter() - started
    return Grown(doc, state, prompts, seconds)


def condenser_call(condenser: Condenser) -> Condense:
    async def condense(doc: list[Any], state: Any) -> tuple[list[Any], Any]:
        result, state = await condenser.condense(doc, state)
        return result, state
    return condense


async def unchanged(doc: list[Any], state: Any) -> tuple[list[Any], Any]:
    return doc, state


# -- counting what the summarizer sends --------------------------------------------------

def request_tokens(messages: Sequence[Mapping[str, Any]]) -> int:
    """A chat request's prompt tokens, by the condenser's estimate of each message."""
    return sum(estimate_tokens(m) for m in messages)


@dataclasses.dataclass
class Sent:
    calls: int = 0
    tokens: int = 0

    def add(self, messages: Sequence[Mapping[str, Any]]) -> None:
        self.calls += 1
        self.tokens += request_tokens(messages)


class CountingClient:
    """The offline client, counting the requests it is handed as a model server would."""

    name = "extractive"

    def __init__(self) -> None:
        self.sent = Sent()
        self._client = ExtractiveClient()

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Any:
        self.sent.add(messages)
        return await self._client.complete(messages, max_tokens)


class Loopback:
    """A chat-completions server on 127.0.0.1 that answers each request with what the
    offline summarizer makes of its messages, and counts the requests and their prompt
    tokens (`request_tokens`)."""

    def __init__(self) -> None:
        self.sent = Sent()
        self._lock = threading.Lock()
        owner = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self) -> None:  # noqa: N802 (the http.server name)
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                messages = body["messages"]
                with owner._lock:
                    owner.sent.add(messages)
                reply = asyncio.run(ExtractiveClient().complete(
                    messages, int(body.get("max_tokens") or 2048))).content
                tokens = request_tokens(messages)
                data = json.dumps({
                    "id": "chatcmpl-loopback", "object": "chat.completion", "created": 0,
                    "model": body.get("model", "loopback"),
                    "choices": [{"index": 0, "finish_reason": "stop",
                                 "message": {"role": "assistant", "content": reply}}],
                    "usage": {"prompt_tokens": tokens, "completion_tokens": 0,
                              "total_tokens": tokens}}).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args: Any) -> None:
                pass

        self._httpd = HTTPServer(("127.0.0.1", 0), Handler)
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.05,),
                                        daemon=True)

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._httpd.server_address[1]}/v1"

    def take(self) -> Sent:
        """What was sent since the last call."""
        with self._lock:
            sent, self.sent = self.sent, Sent()
        return sent

    def __enter__(self) -> Loopback:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()


# -- the synthetic sessions in three shapes --------------------------------------------------

THOUGHTS = (
    "The {noun} goes through {verb}_{noun2} before anything checks it, so the order matters.",
    "If I change the {noun} first, the {noun2} tests will tell me whether the rest holds.",
    "Maybe the {noun2} is cached somewhere; the last run would have shown it otherwise.",
    "I should not touch the {noun} handling yet, the user asked for something narrower.",
    "Reading the output again: nothing there points at the {noun2}, so the cause is elsewhere.",
    "Next I want to see who calls {verb}_{noun}, then decide where the fix goes.",
    "The simplest change is in the {noun} module; a wider one would need the {noun2} too.",
    "That matches what I expected from the {noun}, good, one less thing to check.",
    "Let me think about the error paths: {verb}_{noun2} can raise, and nobody catches it.",
    "Before running everything again, a quick look at the {noun} config is cheaper.",
)


def thought(rng: random.Random) -> str:
    """A turn's reasoning: real words only, so it holds no marker."""
    words = []
    for _ in range(rng.randint(4, 28)):
        template = rng.choice(THOUGHTS)
        words.append(template.format(noun=rng.choice(synthetic.NOUNS),
                                     noun2=rng.choice(synthetic.NOUNS),
                                     verb=rng.choice(synthetic.VERBS)))
    return " ".join(words)


def _call_line(call: Mapping[str, Any]) -> str:
    return f"[{call['function']['name']}] {call['function']['arguments']}"


def chat_turn(turn: Sequence[Mapping[str, Any]]) -> list[dict[str, Any]]:
    """A turn without tool calls: each call written in the assistant's text, the outputs
    in one user message after it."""
    out: list[dict[str, Any]] = []
    outputs: list[str] = []
    for message in turn:
        if message["role"] == "tool":
            outputs.append(message["content"])
        elif message["role"] == "assistant" and message.get("tool_calls"):
            lines = [message["content"]] if message.get("content") else []
            lines += [_call_line(call) for call in message["tool_calls"]]
            out.append({"role": "assistant", "content": "\n".join(lines)})
        else:
            out.append(dict(message))
    if outputs:
        out.append({"role": "user", "content": "\n\n".join(outputs)})
    return out


def thinking_turn(turn: Sequence[Mapping[str, Any]], rng: random.Random
                  ) -> list[dict[str, Any]]:
    """A turn as Anthropic messages, each assistant message opening with a thinking block;
    the tool results in one user message."""
    out: list[dict[str, Any]] = []
    results: list[dict[str, Any]] = []
    for message in turn:
        role = message["role"]
        if role == "tool":
            results.append({"type": "tool_result", "tool_use_id": message["tool_call_id"],
                            "content": message["content"]})
        elif role == "assistant":
            blocks: list[dict[str, Any]] = [
                {"type": "thinking", "thinking": thought(rng), "signature": "sig"}]
            if message.get("content"):
                blocks.append({"type": "text", "text": message["content"]})
            for call in message.get("tool_calls") or ():
                blocks.append({"type": "tool_use", "id": call["id"],
                               "name": call["function"]["name"],
                               "input": json.loads(call["function"]["arguments"])})
            out.append({"role": "assistant", "content": blocks})
        else:
            out.append({"role": "user", "content": message["content"]})
    if results:
        out.append({"role": "user", "content": results})
    return out


def shaped(session: Session, shape: str) -> list[Any]:
    """The session's messages in a shape (the thinking shape has no system message: its
    text is the first user message's opening)."""
    if shape == "tools":
        return session.messages
    if shape == "chat":
        return [dict(session.system), *(m for turn in session.turns for m in chat_turn(turn))]
    rng = random.Random(session.index)
    messages = [m for turn in session.turns for m in thinking_turn(turn, rng)]
    first = messages[0]
    messages[0] = {**first, "content": f"{session.system['content']}\n\n{first['content']}"}
    return messages


def texts(value: Any) -> Iterator[str]:
    """Every string in a JSON value."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, Mapping):
        for item in value.values():
            yield from texts(item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            yield from texts(item)


def retained(session: Session, conversation: list[Any]) -> list[Fact]:
    """The session's planted facts whose marker is somewhere in the conversation."""
    text = "\n".join(texts(conversation))
    return [fact for fact in session.facts if marker_pattern(fact.marker).search(text)]


# -- measuring ------------------------------------------------------------------------------

@dataclasses.dataclass
class Figures:
    """One strategy at one budget on one set of conversations."""

    conversations: int = 0
    found: int = 0  # facts or traps right
    planted: int = 0
    tool_found: int = 0  # of those, facts only a tool's output held
    tool_planted: int = 0
    missed: Counter[str] = dataclasses.field(default_factory=Counter)  # traps, by kind
    requests: int = 0
    over: int = 0  # requests whose prompt was over the budget
    prompt_tokens: int = 0
    summary: Sent = dataclasses.field(default_factory=Sent)
    seconds: float = 0.0
    judged: dict[str, Any] = dataclasses.field(default_factory=dict)

    def add(self, grown: Grown, budget: int) -> None:
        self.conversations += 1
        self.requests += len(grown.prompts)
        self.over += grown.over(budget)
        self.prompt_tokens += sum(grown.prompts)
        self.seconds += grown.seconds

    @property
    def upstream(self) -> int:
        return self.prompt_tokens + self.summary.tokens


def make_condenser(client: Any, budget: int, strategy: str | Strategy, **options: Any
                   ) -> Condenser:
    return Condenser(windowed(client), max_tokens=budget, strategy=strategy, **options)


async def _grown(messages: Sequence[Any], strategy: str | Strategy, budget: int, client: Any,
                 **options: Any) -> Grown:
    forget_outputs()
    if strategy == NO_CONDENSING:
        reference = Condenser(None, max_tokens=budget, strategy="clear-thinking")
        return await grow(messages, unchanged, reference.count_tokens)
    condenser = make_condenser(client, budget, strategy, **options)
    return await grow(messages, condenser_call(condenser), condenser.count_tokens)


async def measure_retention(sessions: Sequence[Session], shape: str, strategy: Strategy,
                            budget: int) -> Figures:
    figures = Figures()
    for session in sessions:
        client = CountingClient()
        grown = await _grown(shaped(session, shape), strategy, budget, client,
                             keep_last=SYNTHETIC_KEEP_LAST)
        figures.add(grown, budget)
        figures.summary.calls += client.sent.calls
        figures.summary.tokens += client.sent.tokens
        found = retained(session, grown.final)
        figures.found += len(found)
        figures.planted += len(session.facts)
        figures.tool_found += sum(fact.category == "tool_fact" for fact in found)
        figures.tool_planted += sum(fact.category == "tool_fact" for fact in session.facts)
    return figures


async def measure_truth(sessions: Sequence[TrapSession], strategy: Strategy, budget: int
                        ) -> Figures:
    """The traps passed, and counted (`GOAL_TRAPS` only where there is a summary)."""
    figures = Figures()
    for session in sessions:
        client = CountingClient()
        grown = await _grown(session.messages, strategy, budget, client,
                             keep_last=SYNTHETIC_KEEP_LAST)
        figures.add(grown, budget)
        state = grown.state
        context = getattr(state, "context_message", None)
        summary = getattr(state, "summary_text", None) or ""
        rest = "\n".join(message_text(m) for m in grown.final if m is not context)
        verdict = {kind: ok for kind, ok in judge_traps(session, summary, rest).items()
                   if summary or kind not in GOAL_TRAPS}
        figures.found += sum(verdict.values())
        figures.planted += len(verdict)
        figures.missed.update(kind for kind, ok in verdict.items() if not ok)
    return figures


def load_judge(runs: pathlib.Path) -> Any:
    """The runs' own judge, imported from its file."""
    located = importlib.util.spec_from_file_location("_runs_judge", runs / "judge.py")
    if located is None or located.loader is None or not (runs / "judge.py").is_file():
        raise SystemExit(f"no judge.py in {runs}")
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


def load_runs(runs: pathlib.Path, judge: Any) -> list[tuple[list[Any], dict[str, Any]]]:
    """Each labelled run's messages and labels, in name order."""
    found = []
    for labels in sorted(runs.glob("*.labels.json")):
        messages = json.loads(labels.with_name(
            labels.name[:-len(".labels.json")] + ".json").read_text(encoding="utf-8"))
        found.append((messages, judge.load_labels(labels)))
    return found


async def measure_runs(runs: Sequence[tuple[list[Any], dict[str, Any]]], judge: Any,
                       strategy: Strategy | str, budget: int, loopback: Loopback | None
                       ) -> Figures:
    """The recorded runs grown with the offline summarizer in process (``loopback`` None)
    or through the loopback server; the judge's totals over their final conversations."""
    figures = Figures()
    scores = []
    for messages, labels in runs:
        if loopback is None:
            client: Any = CountingClient()
        else:
            client = OpenAIClient("loopback", base_url=loopback.url, api_key="loopback")
        try:
            grown = await _grown(messages, strategy, budget, client)
        finally:
            if loopback is not None:
                await close_client(client)
        figures.add(grown, budget)
        sent = loopback.take() if loopback is not None else client.sent
        figures.summary.calls += sent.calls
        figures.summary.tokens += sent.tokens
        scores.append(judge.score(judge.view_from_condensed(grown.final), labels))
    figures.judged = judge.totals(scores, len(runs))
    return figures


# -- report ---------------------------------------------------------------------------------

def _pct(part: int, whole: int) -> str:
    return f"{100 * part / whole:.0f}%" if whole else "-"


def _thousands(tokens: int) -> str:
    return f"{tokens / 1000:,.0f}k" if tokens >= 10_000 else f"{tokens:,}"


def _missed(missed: Counter[str]) -> str:
    return ", ".join(f"{kind} {n}" for kind, n in sorted(missed.items())) or "-"


def _name(strategy: str) -> str:
    if strategy == NO_CONDENSING:
        return "no condensing"
    return f"`{strategy}`"


def _table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    return (["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
            + ["| " + " | ".join(row) + " |" for row in rows])


@dataclasses.dataclass
class Results:
    budgets: list[int]
    sessions: int
    traps: int
    seed: int
    retention: dict[tuple[str, str, int], Figures]  # (shape, strategy's name, budget)
    truth: dict[tuple[str, int], Figures]
    offline: dict[tuple[str, int], Figures]  # recorded runs, in process
    wire: dict[tuple[str, int], Figures]  # recorded runs, through the loopback server
    runs: int
    seconds: float


def synthetic_rows(results: Results) -> list[list[str]]:
    rows = []
    for strategy in COMPARED:
        for budget in results.budgets:
            shapes = [results.retention[shape, strategy.name, budget] for shape in SHAPES]
            truth = results.truth[strategy.name, budget]
            rows.append([_name(strategy.name), str(budget)]
                        + [_pct(f.found, f.planted) for f in shapes]
                        + [_pct(shapes[0].tool_found, shapes[0].tool_planted),
                           _pct(truth.found, truth.planted), _missed(truth.missed)]
                        + [_pct(f.over, f.requests) for f in shapes]
                        + [_thousands(f.upstream) for f in shapes]
                        + [str(f.summary.calls) for f in shapes])
    return rows


def run_rows(results: Results) -> list[list[str]]:
    rows = []
    for name in (*(s.name for s in COMPARED), NO_CONDENSING):
        for budget in results.budgets:
            offline, wire = results.offline[name, budget], results.wire[name, budget]
            t = offline.judged
            rows.append([
                _name(name), str(budget), str(t["false_blockers"]),
                f"{t['end_ok']}/{t['end_judged']}", f"{t['changed_recall']:.0f}%",
                f"{t['goal']}/{t['sessions']}",
                f"{wire.requests + wire.summary.calls} ({wire.summary.calls})",
                _pct(wire.over, wire.requests), _thousands(wire.prompt_tokens),
                _thousands(wire.summary.tokens), f"**{_thousands(wire.upstream)}**",
                f"{offline.seconds:.1f}", f"{wire.seconds:.1f}"])
    return rows


def _against(which: Sequence[str], names: Mapping[str, str], one: Mapping[str, Any],
             other: Mapping[str, Any]) -> str:
    return ", ".join(f"{names[k]} ({one[k]} against {other[k]})" for k in which)


def claim(results: Results) -> list[str]:
    """Per budget: hybrid against summarize over the recorded runs."""
    lines = []
    keys = {"false_blockers": "false blockers", "end_ok": "end status right",
            "changed_recall": "changed recall", "goal": "goal"}
    for budget in results.budgets:
        s, h = results.wire["summarize", budget], results.wire["hybrid", budget]
        js, jh = results.offline["summarize", budget].judged, \
            results.offline["hybrid", budget].judged
        worse = [k for k in keys if (jh[k] > js[k] if k == "false_blockers" else jh[k] < js[k])]
        better = [k for k in keys if k not in worse and jh[k] != js[k]]
        change = (h.upstream - s.upstream) / s.upstream if s.upstream else math.nan
        lines.append(
            f"- budget {budget}: hybrid sends {_thousands(h.upstream)} tokens against "
            f"summarize's {_thousands(s.upstream)} ({change:+.0%}), with "
            f"{h.summary.calls} summary calls against {s.summary.calls}; the judge's "
            + (f"figures are worse on {_against(worse, keys, jh, js)}" if worse else
               "figures are no worse")
            + (f", better on {_against(better, keys, jh, js)}" if better else "") + ".")
    return lines


def report(results: Results) -> str:
    budgets = ",".join(map(str, results.budgets))
    command = (f"python -m benchmarks.strategies --runs DIR --budgets {budgets} "
               f"--sessions {results.sessions} --traps {results.traps} --seed {results.seed}")
    lines = [
        "# Condensing strategies: which to use when", "",
        f"Each strategy at budgets {', '.join(map(str, results.budgets))} tokens. Every "
        "conversation is grown one model request at a time: before each assistant message "
        "the list so far is condensed and becomes that request's prompt, the state passed "
        "back each time; after the last message it is condensed once more, and that final "
        "conversation is scored. Tokens are the condenser's estimate (4 characters a token, "
        f"4 a message). Run: {results.seconds:.0f} s on CPython {platform.python_version()}, "
        f"2 shared cores. Reproduce: `{command}`.", "",
        "## Recorded runs", "",
        f"{results.runs} recorded coding-agent runs (a development set kept outside the "
        "project, with labels and a judge), condensed as `morvex-summarize condense "
        "--budget B` condenses (keep_last 4). Judge figures (on the final conversation: its "
        "summary and the messages kept after it): false blockers, end status right, changed "
        "files named, goal right. Model calls: the agent's requests plus the summary "
        "requests (in brackets). Tokens sent upstream: every request's prompt, and every "
        "summary request as the loopback server counted it. Over budget: the requests whose "
        "prompt was over the budget. Time: the condense calls of all runs, with the offline "
        "summarizer in process, and through the loopback server (HTTP, the same summaries; "
        "wall clock, on a machine shared with other jobs). "
        "\"No condensing\" sends the whole conversation every time. Where no summary was "
        "made, the judge reads the messages as they are: the goal in the first user "
        "message, no blockers.", "",
        *_table(["strategy", "budget", "false blockers", "end status right",
                 "changed recall", "goal", "model calls (summary)", "over budget",
                 "agent prompts", "summary prompts", "tokens upstream", "time offline (s)",
                 "time loopback (s)"], run_rows(results)), "",
        "### Hybrid against summarize", "", *claim(results), "",
        "## Synthetic sessions", "",
        f"{results.sessions} seeded sessions of the retention benchmark (seed "
        f"{results.seed}, 13 planted facts each) in three shapes: `tools` as generated (a "
        "coding agent's tool calls with long outputs), `chat` (each call written in the "
        "assistant's text, its output in a user message: no tool calls), `thinking` "
        "(Anthropic messages, each assistant turn opening with a thinking block of 50 to "
        "700 tokens). Retained: the planted facts whose marker is anywhere in the final "
        "conversation; tool facts: those of them only a tool's output held (an error "
        "line, a path, a version, a port, a count, an id), in the tools shape. "
        f"Truth: the traps of the truth benchmark ({results.traps} trap "
        "sessions and as many step-trap sessions, tools shape) passed; the three that read "
        "the summary's goals (goal not repeated, quoted rule, demonstration) count only "
        "where a summary was made, since a conversation never summarized still holds the "
        f"request word for word; traps missed: by kind, of the {2 * results.traps} sessions. "
        "Over budget: the "
        "requests whose prompt was over the budget. Tokens: sent upstream (prompts and "
        "summary requests); summary calls: the summarizer's requests (offline here, counted "
        "as a server would). keep_last 6, as the retention and truth benchmarks.", "",
        *_table(["strategy", "budget", *(f"retained, {s}" for s in SHAPES),
                 "tool facts, tools", "truth", "traps missed",
                 *(f"over budget, {s}" for s in SHAPES), *(f"tokens, {s}" for s in SHAPES),
                 *(f"summary calls, {s}" for s in SHAPES)], synthetic_rows(results)), "",
    ]
    return "\n".join(lines)


async def measure(args: argparse.Namespace, budgets: list[int]) -> Results:
    started = time.perf_counter()
    sessions = [make_session(args.seed, i) for i in range(args.sessions)]
    traps = [make_trap_session(args.seed, i) for i in range(args.traps)] + \
        [make_step_session(args.seed, i) for i in range(args.traps)]
    retention, truth = {}, {}
    for strategy in COMPARED:
        for budget in budgets:
            for shape in SHAPES:
                retention[shape, strategy.name, budget] = await measure_retention(
                    sessions, shape, strategy, budget)
            truth[strategy.name, budget] = await measure_truth(traps, strategy, budget)
            print(f"synthetic: {strategy.name} {budget} done", file=sys.stderr)
    runs_dir = pathlib.Path(args.runs)
    judge = load_judge(runs_dir)
    runs = load_runs(runs_dir, judge)
    offline, wire = {}, {}
    with Loopback() as loopback:
        chosen: tuple[Strategy | str, ...] = (*COMPARED, NO_CONDENSING)
        for way in chosen:
            name = way if isinstance(way, str) else way.name
            for budget in budgets:
                offline[name, budget] = await measure_runs(runs, judge, way, budget, None)
                wire[name, budget] = await measure_runs(runs, judge, way, budget, loopback)
                print(f"runs: {name} {budget} done", file=sys.stderr)
    return Results(budgets, args.sessions, args.traps, args.seed, retention, truth, offline,
                   wire, len(runs), time.perf_counter() - started)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.strategies",
                                     description=__doc__.split("\n")[0])
    parser.add_argument("--runs", required=True,
                        help="folder of recorded runs (NAME.json, NAME.labels.json, judge.py)")
    parser.add_argument("--budgets", default="2000,4000,8000",
                        help="comma-separated token budgets")
    parser.add_argument("--sessions", type=int, default=20, help="retention sessions")
    parser.add_argument("--traps", type=int, default=20,
                        help="trap sessions (and as many step-trap sessions)")
    parser.add_argument("--seed", type=int, default=11, help="seed of the synthetic sessions")
    parser.add_argument("--out", default=str(HERE / "results"), help="output directory")
    args = parser.parse_args(argv)
    budgets = sorted({int(b) for b in args.budgets.split(",") if b.strip()})
    if args.sessions < 1 or args.traps < 1 or not budgets or min(budgets) < 1:
        parser.error("need sessions, trap sessions and positive budgets")
    results = asyncio.run(measure(args, budgets))
    text = report(results)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "strategies.md").write_text(text, encoding="utf-8")
    print(text)
    print(f"wrote {out / 'strategies.md'}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
