"""Invariants of the truth benchmark's sessions, and its judge.

    python -m pytest benchmarks/test_truth_generator.py
"""
import pytest

from benchmarks.sessions import marker_pattern, message_text
from benchmarks.step_traps import (CONSOLES, DEMOS, FAILED_EDITS, NAGS, NO_TESTS, OPENINGS,
                                   PATCH_TOOLS, QUIET_RERUNS, QUOTED, REPRODUCTIONS, STEP_TRAPS,
                                   STEPS, STOPPED, THOUGHTS, VIEWS, make_step_session)
from benchmarks.traps import FAILING, PASSING, RESOLVED, TRAPS, make_trap_session
from benchmarks.truth import judge


def _shape(wording):
    """A wording's code and constants: alike only for the same wording."""
    return wording.__code__.co_code + repr(wording.__code__.co_consts).encode()


def test_a_seed_gives_one_session():
    assert make_trap_session(5, 2) == make_trap_session(5, 2)
    assert make_trap_session(5, 2).messages != make_trap_session(6, 2).messages
    assert make_trap_session(5, 2).messages != make_trap_session(5, 2, held_out=True).messages


@pytest.mark.parametrize("table", [PASSING, FAILING, RESOLVED], ids=["passing", "failing",
                                                                      "resolved"])
def test_held_out_wordings_are_not_development_wordings(table):
    for family, (development, held_out) in table.items():
        assert development and held_out, family
        assert not {id(w) for w in development} & {id(w) for w in held_out}
        assert not {_shape(w) for w in development} & {_shape(w) for w in held_out}, family


@pytest.mark.parametrize("held_out", [False, True], ids=["development", "held out"])
@pytest.mark.parametrize("index", range(12))
def test_each_trap_is_planted_once(index, held_out):
    session = make_trap_session(3, index, held_out)
    assert sorted(t.kind for t in session.traps) == sorted(TRAPS)
    texts = [message_text(m) for m in session.messages]
    for trap in session.traps:
        holding = [t for t in texts if marker_pattern(trap.marker).search(t)]
        # a success and a resolved failure name their check in the call and the output,
        # a resolved failure twice; the others are in one message
        assert 1 <= len(holding) <= 4, trap


def test_the_judge_tells_a_blocker_from_a_fact():
    session = make_trap_session(5, 0)
    markers = {t.kind: t for t in session.traps}
    goal = markers["goal"]
    right = ("### Original Goals\n  - make " + goal.marker + " work\n  - Constraint: keep "
             + goal.other + "\n### Progress So Far\n  - Changed: " + markers["patch"].marker
             + "\n### Key Facts\n  - " + markers["error"].marker + " "
             + markers["fact"].marker + " " + markers["decision"].marker
             + " Resolved: " + markers["resolved"].marker + "\n")
    assert judge(session, right) == {kind: True for kind in TRAPS}
    wrong = right.replace("### Key Facts", "### Issues & Resolutions").replace(
        "  - Constraint: keep", "  - Constraint: " + goal.marker + "\n  - Constraint: keep") \
        + "  - " + markers["success"].marker
    verdict = judge(session, wrong)
    assert not verdict["success"] and not verdict["resolved"] and not verdict["goal"]


# -- the step traps (benchmarks/step_traps.py) -------------------------------------------

# how many messages hold a step trap's marker: a rerun names its check twice (and the
# outputs may too), a complaint is repeated, an opening's markers are in one message each
HOLDING = {"quiet_rerun": (2, 4), "reproduced": (2, 4), "patch_tool": (1, 2),
           "viewed_only": (1, 2), "failed_edit": (1, 2), "harness_nag": (2, 3),
           "went_on": (1, 1), "console_text": (1, 1), "no_tests": (1, 2), "thinking_tag": (1, 1),
           "quoted_rule": (1, 1), "demonstration": (1, 1)}


@pytest.mark.parametrize("held_out", [False, True], ids=["development", "held out"])
@pytest.mark.parametrize("index", range(12))
def test_each_step_trap_is_planted_once(index, held_out):
    session = make_step_session(3, index, held_out)
    assert sorted(t.kind for t in session.traps) == sorted([*STEPS, OPENINGS[index % 2]])
    texts = [message_text(m) for m in session.messages]
    users = [message_text(m) for m in session.messages if m["role"] == "user"]
    for trap in session.traps:
        low, high = HOLDING[trap.kind]
        assert low <= sum(bool(marker_pattern(trap.marker).search(t)) for t in texts) <= high, trap
        if trap.other:
            assert sum(bool(marker_pattern(trap.other).search(t)) for t in texts) == 1, trap
    opening = session.traps[-1]
    if opening.kind == "quoted_rule":  # the rule and the instruction in the first request
        assert marker_pattern(opening.marker).search(users[0])
        assert marker_pattern(opening.other).search(users[0])
    else:  # the demonstration first, the real task second
        assert marker_pattern(opening.other).search(users[0])
        assert marker_pattern(opening.marker).search(users[1])


@pytest.mark.parametrize("table", [QUIET_RERUNS, REPRODUCTIONS, PATCH_TOOLS, VIEWS,
                                   FAILED_EDITS, NAGS, STOPPED, CONSOLES, NO_TESTS, THOUGHTS,
                                   QUOTED, DEMOS],
                         ids=["quiet", "reproductions", "patch tools", "views", "failed edits",
                              "nags", "stopped", "consoles", "no tests", "thoughts", "quoted",
                              "demos"])
def test_held_out_step_wordings_are_not_development_wordings(table):
    development, held_out = table
    assert development and held_out
    assert not {_shape(w) for w in development} & {_shape(w) for w in held_out}


def _where(session, kind):
    """The index of each message holding a trap's marker, and the messages."""
    trap = next(t for t in session.traps if t.kind == kind)
    messages = session.messages
    return [i for i, m in enumerate(messages)
            if marker_pattern(trap.marker).search(message_text(m))], messages


EDITED = ("Edited", "ok", "Applied 1 hunk.")  # what _fix's edits answer
NOTHING_RAN = ("no tests ran", "No tests found", "No test files found", "did not match any test",
               "[no test files]")


@pytest.mark.parametrize("held_out", [False, True], ids=["development", "held out"])
@pytest.mark.parametrize("index", range(8))
def test_each_new_step_marker_is_where_its_trap_puts_it(index, held_out):
    session = make_step_session(7, index, held_out)
    # the stop: the agent's own words, and a successful edit after them
    (said,), messages = _where(session, "went_on")
    assert messages[said]["role"] == "assistant" and not messages[said].get("tool_calls")
    assert any(m["role"] == "tool" and m["content"].startswith(EDITED)
               and messages[i - 1]["tool_calls"][0]["function"]["name"] == next(
                   t.family for t in session.traps if t.kind == "went_on")
               for i, m in enumerate(messages[said + 1:], said + 1))
    # the console text: the user's turn alone
    (shown,), _ = _where(session, "console_text")
    assert messages[shown]["role"] == "user"
    # the empty test run: the command (and its output), which nothing after repeats
    held, _ = _where(session, "no_tests")
    call = messages[held[0]]
    assert call["role"] == "assistant" and call["tool_calls"]
    assert any(p in messages[held[0] + 1]["content"] for p in NOTHING_RAN)
    assert held[-1] <= held[0] + 1
    command = call["tool_calls"][0]["function"]["arguments"]
    assert not any(command == c["function"]["arguments"] for m in messages[held[0] + 1:]
                   for c in m.get("tool_calls") or ())
    # the thinking: inside the tags only, ordinary text after them
    (thought,), _ = _where(session, "thinking_tag")
    text = messages[thought]["content"]
    trap = next(t for t in session.traps if t.kind == "thinking_tag")
    inside, after = text.rsplit("</", 1)
    assert text.startswith("<think") and marker_pattern(trap.marker).search(inside)
    assert not marker_pattern(trap.marker).search(after) and after.split(">", 1)[1].strip()


# per step trap: a context that gets it right, one that does not ({m} its marker, {o} other)
STEP_CONTEXTS = {
    "quiet_rerun": ("### Progress So Far\n  - `{m}-check` failed, ran clean after the fix\n",
                    "### Issues & Resolutions\n  - the {m} check fails\n"),
    "reproduced": ("### Progress So Far\n  - repro-{m}.py raised, runs clean after the fix\n",
                   "### Next Steps\n  - make repro-{m}.py stop raising\n"),
    "patch_tool": ("### Progress So Far\n  - Changed: src/{m}/reader.py\n",
                   "### Key Facts\n  - Changed: src/{m}/reader.py\n"),
    "viewed_only": ("### Progress So Far\n  - Looked at src/{m}/loader.py\n",
                    "### Progress So Far\n  - Changed: src/app/a.py, src/{m}/loader.py\n"),
    "failed_edit": ("### Progress So Far\n  - The patch for src/{m}.py did not apply\n",
                    "### Progress So Far\n  - Updated src/{m}.py\n"),
    "harness_nag": ("### Key Facts\n  - harness {m} wants one tool call per reply\n",
                    "### Original Goals\n  - Fix the importer\n  - one tool call a reply ({m})\n"),
    "went_on": ("### Key Facts\n  - the {m} mirror was out of reach; fixed it locally\n",
                "### Issues & Resolutions\n  - cannot reach the {m} mirror\n"),
    "console_text": ("### Key Facts\n  - the chat tool ran in /repo/{m}\n",
                     "### Original Goals\n  - Fix the importer\n  - Constraint: {m} plan\n"),
    "no_tests": ("### Issues & Resolutions\n  - `pytest tests/{m}/test_rows.py`: no tests ran\n",
                 "### Progress So Far\n  - `pytest tests/{m}/test_rows.py` passed\n"),
    "thinking_tag": ("### Key Facts\n  - the {m} key may be mocked in the tests\n",
                     "### Next Steps\n  - set the {m} key\n"),
    "quoted_rule": ("### Original Goals\n  - Fix the tokenizer: it drops {m} tokens\n"
                    "  - Constraint: do not modify tests/{o}\n",
                    "### Original Goals\n  - Fix the tokenizer\n  - Constraint: keep {m} tokens\n"
                    "  - Constraint: do not modify tests/{o}\n"),
    "demonstration": ("### Original Goals\n  - Make the {m} importer skip blank lines\n"
                      "### Key Facts\n  - the example was about {o}\n",
                      "### Original Goals\n  - Fix the {o} report\n  - Make {m} skip blanks\n"),
}


@pytest.mark.parametrize("kind", STEP_TRAPS)
def test_the_judge_tells_a_right_step_context_from_a_wrong_one(kind):
    session = make_step_session(5, OPENINGS.index(kind) if kind in OPENINGS else 0)
    trap = next(t for t in session.traps if t.kind == kind)
    right, wrong = (text.replace("{m}", trap.marker).replace("{o}", trap.other)
                    for text in STEP_CONTEXTS[kind])
    assert judge(session, right)[kind]
    assert not judge(session, wrong)[kind]
