"""What condensing remembers: the goal and the user's constraints through every round, the
salient lines of tool outputs, decisions however they are worded, and a summary made to fit
the budget."""
import asyncio
import json

import pytest

from morvex_summarize import carry
from morvex_summarize.clients.extractive import ExtractiveClient, summarize_transcript
from morvex_summarize.condense import Condenser, estimate_tokens
from morvex_summarize.native import parse_context

GOAL = "Migrate the billing service from MySQL to PostgreSQL 16."
RULE = "Never touch the invoices table, it is shared with finance."


def turns(n):
    """n rounds of an agent at work: a call, a long output that fails at its end on every
    fifth round, a remark, and now and then a request to go on."""
    out = [{"role": "system", "content": "You are a coding agent."},
           {"role": "user", "content": f"{GOAL} {RULE}"}]
    for i in range(n):
        output = "\n".join(f"step {i}.{k}: compiled module_{k}.o" for k in range(60))
        if i % 5 == 4:
            output += f"\nerror: migration {i} failed: relation \"ledger_{i}\" does not exist"
        out += [{"role": "assistant", "content": f"Running step {i}.", "tool_calls": [
                    {"id": f"c{i}", "type": "function",
                     "function": {"name": "shell", "arguments": json.dumps({"cmd": f"make {i}"})}}]},
                {"role": "tool", "tool_call_id": f"c{i}", "content": output},
                {"role": "assistant", "content": f"Step {i} done."}]
        if i % 4 == 3:
            out.append({"role": "user", "content": "thanks, keep going"})
    return out


class Forgetful:
    """A model that sees only the messages it is given: each summary names the newest goal
    it was told of, and drops the earlier ones."""

    def __init__(self):
        self.calls = 0

    async def complete(self, messages, max_tokens):
        self.calls += 1
        goals = [f"{GOAL} {RULE}"] if self.calls == 1 else [f"Finish step {self.calls}"]

        class Reply:
            content = json.dumps({"goals": goals, "summary": "n"})
        return Reply()


@pytest.mark.parametrize("client", [ExtractiveClient, Forgetful],
                         ids=["offline", "forgetful-model"])
@pytest.mark.parametrize("budget", [1200, 3000])
def test_goal_and_constraint_survive_every_round(client, budget):
    conversation = turns(40)
    condenser = Condenser(client(), max_tokens=budget, keep_last=4)

    async def grow():
        current, state, rounds = [], None, 0
        for message in conversation:
            current, state = await condenser.condense(current + [message], state)
            if state.summary is not None:
                rounds += state.condensed
                text = state.summary_text
                assert GOAL in text and RULE in text, f"lost after {rounds} rounds"
                if client is Forgetful and rounds > 1:  # and the newest goal it was told of
                    assert f"Finish step {rounds}" in text
            assert state.within_budget or state.budget_note, state
            if state.condensed:
                assert state.tokens_after <= budget or state.budget_note
        return rounds, state

    rounds, state = asyncio.run(grow())
    assert rounds >= 5


def test_a_failure_at_the_end_of_a_long_output_reaches_the_summary():
    conversation = turns(5)
    condenser = Condenser(ExtractiveClient(), max_tokens=300, keep_last=1)
    _, state = asyncio.run(condenser.condense(conversation))
    assert 'error: migration 4 failed: relation "ledger_4" does not exist' in state.summary_text
    # the caller's records are not changed by the skim the summarizer is handed
    assert conversation[-2]["content"].startswith("step 4.0: compiled")


@pytest.mark.parametrize("said", [
    "I'll switch the pool to pgbouncer.", "Plan: run the migration in two phases.",
    "Going with logical replication for the cut-over.",
    "The cleanest fix is to rename the column first.",
    "We decided to keep the old schema read-only.",
    "Rather than patching the ORM, we'll use raw SQL here.",
    "Decision: keep the v1 endpoint for the mobile clients.",
    "Having read both, my choice is the streaming parser, which holds less in memory.",
])
def test_decisions_however_they_are_worded(said):
    summary = summarize_transcript(f"[User]: go\n[Assistant]: Looking around. {said}")
    assert said in summary["key_decisions"]


@pytest.mark.parametrize("item, worth", [
    ("Plan: run the migration in two phases.", 2),
    ("Decision: keep the v1 endpoint for the mobile clients.", 2),
    ("My choice is the streaming parser.", 2),
    ("Approach: one lock file per job.", 2),
    ("Reading the handler next.", 1),
    ("The plan was discussed.", 1),
])
def test_a_choice_made_outranks_a_plain_item(item, worth):
    # what a summary made smaller keeps longer
    assert carry.importance(item) == worth


@pytest.mark.parametrize("output, fact", [
    ("Connecting...\nserver listening on port 5433\ndone", "server listening on port 5433"),
    ("reading config\nloaded /etc/billing/app.yaml\nok", "loaded /etc/billing/app.yaml"),
    ("resolving\ninstalled psycopg 3.1.18\nok", "installed psycopg 3.1.18"),
    ("collecting\n412 tests passed\n", "412 tests passed"),
    ("HEAD is now at 9f2c1e7 Fix rounding", "HEAD is now at 9f2c1e7 Fix rounding"),
])
def test_facts_are_the_salient_lines_of_an_output(output, fact):
    summary = summarize_transcript(f"[User]: go\n[Tool Result (c1)]: {output}")
    assert summary["key_facts"] == [fact]


@pytest.mark.parametrize("remark", ["thanks, keep going", "ok", "Great, continue please!",
                                    "sounds good"])
def test_a_request_to_go_on_is_not_a_goal(remark):
    summary = summarize_transcript(f"[User]: {remark}\n[User]: Fix the login page.\n"
                                   f"[User]: {remark}")
    assert summary["goals"] == ["Fix the login page."]


def test_a_summary_made_smaller_to_fit_keeps_its_goals():
    record = {"goals": [GOAL, carry.CONSTRAINT_PREFIX + RULE],
              "progress": [f"Called shell (step {i})" for i in range(30)],
              "key_facts": [f"fact {i}" for i in range(20)] + ["port 5433 is open"],
              "key_decisions": [], "blockers": [], "next_steps": [], "current_state": "x",
              "summary": "y" * 50}

    def cost(r):
        return sum(len(str(v)) for v in r.values()) // 4

    fitted, fits = carry.shrink_to_fit(record, cost, 60)
    assert fits and cost(fitted) <= 60 and fitted["goals"] == record["goals"]
    assert fitted["progress"] == [] and 0 < len(fitted["key_facts"]) < 21
    assert "port 5433 is open" in fitted["key_facts"]  # the salient fact goes last
    smallest, fits = carry.shrink_to_fit(record, cost, 10)
    assert not fits and smallest["goals"] == record["goals"]


def test_reading_a_rendered_summary_back(mod):
    record = {"goals": [GOAL, "Constraint: x\ny"], "progress": ["a"], "current_state": "s\nt",
              "key_decisions": ["d"], "key_facts": ["f"], "blockers": ["b"],
              "next_steps": ["n"], "summary": "narrative", "created_at": 0.0}
    text = mod.ConversationSummarizer(ExtractiveClient()).format_summary_for_context(record)
    back = parse_context(text)
    assert back == {**{k: v for k, v in record.items() if k != "created_at"},
                    "goals": [GOAL, "Constraint: x y"]}
    assert estimate_tokens({"role": "system", "content": text}) > 0


@pytest.mark.parametrize("said, decisions, blockers", [
    # a choice whose purpose names what it prevents is not what stops the work
    ("Plan: wrap the writes in a transaction so a crash can't leave half a file.",
     ["Plan: wrap the writes in a transaction so a crash can't leave half a file."], []),
    ("Going with tenacity instead of our loop. The registry rejects our token though.",
     ["Going with tenacity instead of our loop."], ["The registry rejects our token though."]),
    # a next step beside what stops the work leaves the blocker where it is
    ("We're blocked on the API key; I'll retry then.",
     ["I'll retry then."], ["We're blocked on the API key; I'll retry then."]),
])
def test_a_sentence_is_a_choice_or_a_blocker_as_its_words_say(said, decisions, blockers):
    summary = summarize_transcript(f"[User]: Fix the login page.\n[Assistant]: {said}")
    assert (summary["key_decisions"], summary["blockers"]) == (decisions, blockers)


@pytest.mark.parametrize("said, constraint", [
    ("never mind my earlier question about the logs.", False),
    ("never push to main directly.", True),
])
def test_never_mind_sets_no_rule(said, constraint):
    summary = summarize_transcript(f"[User]: Fix the login page.\n[User]: {said}")
    assert (carry.CONSTRAINT_PREFIX + said in summary["goals"]) == constraint


def test_what_stops_the_work_is_a_blocker_whoever_says_it():
    summary = summarize_transcript(
        "[User]: Fix the login page.\n"
        "[User]: bad news: the staging cluster is down until tomorrow.\n"
        "[Assistant]: I'm blocked: the registry rejects our token.")
    assert summary["blockers"] == ["bad news: the staging cluster is down until tomorrow.",
                                   "I'm blocked: the registry rejects our token."]


def test_building_on_a_summary_its_goal_stays_the_goal(mod):
    earlier = {"goals": ["Fix the login page.", carry.CONSTRAINT_PREFIX + RULE],
               "key_facts": ["port 5433 is open"], "summary": "n"}
    previous = mod.ConversationSummarizer(ExtractiveClient()).format_summary_for_context(earlier)
    summary = summarize_transcript("[User]: great progress so far, nice work\n"
                                   "[User]: can you also add a test?", previous)
    assert summary["goals"] == ["Fix the login page.", carry.CONSTRAINT_PREFIX + RULE,
                                "can you also add a test?"]
    assert summary["key_facts"] == ["port 5433 is open"]


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from morvex_summarize.condense.fit import fit  # noqa: E402

items = st.lists(st.text(alphabet="abc xyz:/.0123456789", min_size=1, max_size=40), max_size=8)


@settings(max_examples=120, deadline=None)
@given(kept=st.integers(0, 400), budget=st.integers(1, 400), goals=items, facts=items,
       progress=items, narrative=st.text(alphabet="abc .", max_size=200))
def test_a_fitted_summary_and_its_verdict(mod, kept, budget, goals, facts, progress, narrative):
    """The budget note is there exactly when the kept messages and the fitted summary
    exceed the budget, blames the kept messages exactly when they alone fill it, and
    the first goal and the constraints survive any fitting."""
    summarizer = mod.ConversationSummarizer(ExtractiveClient())

    def render(record):
        text = summarizer.format_summary_for_context(dict(record))
        return text, estimate_tokens({"role": "system", "content": text})

    pinned = [GOAL, *(carry.CONSTRAINT_PREFIX + g for g in goals[:2])]
    record = {"goals": [*pinned, *goals[2:]], "key_facts": facts, "progress": progress,
              "key_decisions": goals[:1], "blockers": progress[:2], "next_steps": [],
              "current_state": narrative[:80], "summary": narrative}
    fitted = fit(record, kept, budget, render)
    assert (fitted.text, fitted.tokens) == render(fitted.record)
    assert (fitted.note is None) == (kept + fitted.tokens <= budget)
    if fitted.note is not None:
        assert fitted.note.startswith("the kept messages alone") == (kept >= budget)
    assert fitted.record["goals"][:len(pinned)] == pinned
    assert fitted.record["key_decisions"] == record["key_decisions"]
    assert fitted.tokens <= render(record)[1]


@settings(max_examples=200, deadline=None)
@given(record=st.fixed_dictionaries(
           {key: items for key in ("goals", "progress", "key_facts", "key_decisions",
                                   "blockers", "next_steps")}),
       state=st.text(alphabet="abc .", max_size=300), budget=st.integers(0, 300))
def test_a_summary_made_smaller_leaves_out_only_what_does_not_fit(record, state, budget):
    """With a cost that adds up its texts: the lists keep their order, the first goal, the
    constraints and the choices made stay, and no item left out would still fit."""
    record = {**record, "goals": [GOAL, carry.CONSTRAINT_PREFIX + RULE, *record["goals"]],
              "current_state": state, "summary": state}

    def cost(r):
        return sum(len(i) + 1 for k in carry.LIST_KEYS if isinstance(r.get(k), list)
                   for i in r[k]) + len(r["current_state"]) + len(r["summary"])

    fitted, fits = carry.shrink_to_fit(record, cost, budget)
    assert fits == (cost(fitted) <= budget)
    assert fitted["key_decisions"] == record["key_decisions"]
    gone = []
    for key in carry.SHRINK_ORDER:
        rest = iter(record[key])
        assert all(item in rest for item in fitted[key])  # in their order
        gone += [item for item in record[key] if item not in fitted[key]]
    if fits:
        assert fitted["goals"][:2] == record["goals"][:2]
        assert all(len(item) + 1 > budget - cost(fitted) for item in gone)
    else:
        assert fitted["goals"] == record["goals"][:2] and fitted["current_state"] == ""
        assert not any(
            fitted[key] for key in ("progress", "key_facts", "blockers", "next_steps"))


def test_what_another_list_says_again_leaves_first():
    failure = "`make` failed: error: boom"
    record = {"goals": [GOAL], "progress": [failure, "Changed: `write_file` a.py"],
              "key_facts": ["port 5432 is open"], "blockers": [failure],
              "key_decisions": ["Going with asyncpg."], "next_steps": [],
              "current_state": "", "summary": ""}

    def cost(r):
        return sum(len(i) for k in carry.LIST_KEYS for i in r.get(k) or ())

    fitted, fits = carry.shrink_to_fit(record, cost, cost(record) - 1)
    assert fits and fitted == {**record, "progress": ["Changed: `write_file` a.py"]}


@pytest.mark.parametrize("items, merged", [
    # changes under one folder are named from it, each file once, the newest last
    (["Changed: `Edit` /w/p/src/a.py", "Read a.py", "Changed: `Write` in /w/p/src/: b.py, a.py"],
     ["Changed: `Edit`, `Write` in /w/p/src/: b.py, a.py", "Read a.py"]),
    # a change made by a command names no files of its own: it stays as it is
    (["Changed: `sed -i s/a/b/ x.py`: ok", "Changed: `Edit` x.py", "Changed: `Edit` y.py and 2 more"],
     ["Changed: `sed -i s/a/b/ x.py`: ok", "Changed: `Edit` x.py, y.py and 2 more"]),
    # a bare name with no extension is shown from its folder, wherever it is listed
    (["Changed: `Edit` src/a.py, Makefile", "Changed: `Write` .gitignore, ./Makefile"],
     ["Changed: `Edit`, `Write` src/a.py, ./.gitignore, ./Makefile"]),
    # one change alone is left whole
    (["Changed: `Edit` /w/a.py", "Looked around: Read 3x"],
     ["Changed: `Edit` /w/a.py", "Looked around: Read 3x"]),
])
def test_changes_of_files_fold_into_one_item(items, merged):
    assert carry.merged_changes(items) == merged
    assert carry.merged_changes(merged) == merged  # folding again changes nothing


def test_a_summary_made_smaller_keeps_the_changed_files_longer_than_the_facts():
    changes = [f"Changed: `Edit` /home/me/project/src/module_{i}.py" for i in range(12)]
    facts = [f"`curl -s http://localhost:{8000 + i}/`: service {i} is up" for i in range(12)]
    record = {"goals": [GOAL], "progress": ["Looked around: Read 9x", *changes],
              "key_facts": facts, "key_decisions": [], "blockers": [], "next_steps": [],
              "current_state": "Tests pass.", "summary": "narrative"}

    def cost(r):
        return sum(len(str(i)) for k in carry.LIST_KEYS for i in r.get(k) or ()) // 4

    fitted, fits = carry.shrink_to_fit(record, cost, cost(record) // 2)
    assert fits and len(fitted["key_facts"]) < len(facts)
    named = " ".join(fitted["progress"])
    assert all(f"module_{i}.py" in named for i in range(12))
    assert sum(item.startswith(carry.CHANGED_PREFIX) for item in fitted["progress"]) == 1


class Reporter:
    """A model that reports the facts of its first summary, and later only what is new:
    what the earlier summary had no room for, it never sees again."""

    FACTS = [f"service {i} listens on port {5400 + i}" for i in range(12)]

    def __init__(self):
        self.calls = 0

    async def complete(self, messages, max_tokens):
        self.calls += 1
        facts = self.FACTS if self.calls == 1 else [f"round {self.calls} done"]

        class Reply:
            content = json.dumps({"goals": [GOAL], "key_facts": facts, "summary": "n"})
        return Reply()


def test_what_a_tight_round_left_out_comes_back_when_there_is_room():
    user = [{"role": "user", "content": GOAL},
            *({"role": "assistant", "content": f"Step {i}: " + "y" * 200} for i in range(4))]
    big = [{"role": "user", "content": "Here is the log."},
           {"role": "assistant", "content": "x" * 1400}]
    small = [{"role": "user", "content": "Go on."}, {"role": "assistant", "content": "Done."}]
    condenser = Condenser(Reporter(), max_tokens=500, keep_last=2)

    async def rounds():
        first, state = await condenser.condense(user + big, None)
        tight = state.summary_text
        _, state = await condenser.condense(first + small, state)
        return tight, state

    tight, state = asyncio.run(rounds())
    assert state.condensed and state.within_budget
    left_out = [fact for fact in Reporter.FACTS if fact not in tight]
    assert left_out and GOAL in tight  # the log left little room
    assert all(fact in state.summary_text for fact in left_out)
    assert "round 2 done" in state.summary_text
