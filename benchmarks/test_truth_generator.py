"""Invariants of the truth benchmark's sessions, and its judge.

    python -m pytest benchmarks/test_truth_generator.py
"""
import pytest

from benchmarks.sessions import marker_pattern, message_text
from benchmarks.traps import FAILING, PASSING, RESOLVED, TRAPS, make_trap_session
from benchmarks.truth import judge


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
        assert not {w.__code__.co_code + repr(w.__code__.co_consts).encode()
                    for w in development} & {w.__code__.co_code
                                             + repr(w.__code__.co_consts).encode()
                                             for w in held_out}, family


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
