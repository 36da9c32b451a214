"""A CondensingSession stands wherever the session it wraps did.

Every test here runs twice, on a real SQLiteSession and on the same session wrapped with a
budget no test reaches, so the two must behave alike: the session protocol (ordering,
limits, pop, clear, concurrent writes, unicode), the wrapped session's own settings and
methods, and whole runs through Runner.run, Runner.run_sync and Runner.run_streamed with a
model that answers offline.
"""

from __future__ import annotations

import asyncio
import copy
import json

import pytest

pytest.importorskip("agents")

from agents import (Agent, ModelResponse, RunConfig, Runner, SQLiteSession,  # noqa: E402
                    Usage, function_tool)
from agents.memory import Session, SessionABC, SessionSettings  # noqa: E402
from agents.models.interface import Model  # noqa: E402
from openai.types.responses import (Response, ResponseCompletedEvent,  # noqa: E402
                                    ResponseFunctionToolCall, ResponseOutputMessage,
                                    ResponseOutputText)

from morvex_summarize.integrations.agents import CondensingSession  # noqa: E402

UNREACHED = 1_000_000  # tokens: a budget no test here comes near


@pytest.fixture(params=["plain", "wrapped"])
def make_session(request, tmp_path):
    """A factory of sessions over a SQLite file: plain, or wrapped by the condenser."""
    made = []

    def make(session_id="s", **kwargs):
        stored = SQLiteSession(session_id, tmp_path / "sessions.db", **kwargs)
        made.append(stored)
        if request.param == "plain":
            return stored
        return CondensingSession(stored, max_tokens=UNREACHED)

    yield make
    for stored in made:
        stored.close()


def user(text):
    return {"role": "user", "content": text}


def numbered(count, start=0):
    return [user(f"message {n}") for n in range(start, start + count)]


def run(coro):
    return asyncio.run(coro)


# ---- the session protocol -----------------------------------------------------------------

def test_is_a_session_with_the_wrapped_id(make_session):
    session = make_session("user-42")
    assert isinstance(session, SessionABC)
    assert isinstance(session, Session)
    assert session.session_id == "user-42"


def test_items_come_back_in_the_order_written(make_session):
    session = make_session()
    batches = [numbered(3), numbered(1, 3), numbered(5, 4)]
    for batch in batches:
        run(session.add_items(batch))
    assert run(session.get_items()) == [item for batch in batches for item in batch]


@pytest.mark.parametrize("limit", [0, 1, 3, 7, 8, 20])
def test_a_limit_reads_the_newest_items_in_order(make_session, limit):
    session = make_session()
    items = numbered(8)
    run(session.add_items(items))
    assert run(session.get_items(limit)) == (items[-limit:] if limit else [])


def test_pop_takes_the_newest_item_until_none_is_left(make_session):
    session = make_session()
    items = numbered(4)
    run(session.add_items(items))
    popped = [run(session.pop_item()) for _ in range(5)]
    assert popped == [*reversed(items), None]
    assert run(session.get_items()) == []
    run(session.add_items(numbered(2, 10)))  # a popped session takes writes again
    assert run(session.get_items()) == numbered(2, 10)


def test_clear_empties_only_this_session(make_session):
    session, other = make_session("a"), make_session("b")
    run(session.add_items(numbered(3)))
    run(other.add_items(numbered(2, 100)))
    run(session.clear_session())
    assert run(session.get_items()) == []
    assert run(session.pop_item()) is None
    assert run(other.get_items()) == numbered(2, 100)


@pytest.mark.parametrize("writers, per_batch", [(8, 1), (12, 3)])
def test_concurrent_writes_keep_every_batch_whole(make_session, writers, per_batch):
    session = make_session()
    batches = [[user(f"w{w}-{n}") for n in range(per_batch)] for w in range(writers)]

    async def write_all():
        await asyncio.gather(*(session.add_items(batch) for batch in batches))
        return await session.get_items()

    stored = run(write_all())
    assert sorted(json.dumps(i) for i in stored) == sorted(
        json.dumps(i) for batch in batches for i in batch)
    for batch in batches:  # each batch lands in one piece, in its own order
        at = stored.index(batch[0])
        assert stored[at:at + per_batch] == batch


@pytest.mark.parametrize("text", [
    "héllo wörld", "日本語のテキスト", "emoji 🎉🧪👩‍💻", "mixed: Ωmega 中文 🚀 \u00a0nbsp",
    "quotes \" ' and back\\slash", "tab\tand\nnewline", "",
])
def test_unicode_round_trips(make_session, text):
    session = make_session()
    items = [user(text), {"role": "assistant", "content": [
        {"type": "output_text", "text": text, "annotations": []}]}]
    run(session.add_items(items))
    assert run(session.get_items()) == items
    assert run(session.pop_item()) == items[1]


# ---- the wrapped session's settings and methods -----------------------------------------

@pytest.mark.parametrize("limit", [1, 2, 5])
def test_settings_limit_bounds_reads_without_a_limit(make_session, limit):
    session = make_session(session_settings=SessionSettings(limit=limit))
    assert session.session_settings == SessionSettings(limit=limit)
    items = numbered(6)
    run(session.add_items(items))
    assert run(session.get_items()) == items[-limit:]
    assert run(session.get_items(4)) == items[-4:]  # an explicit limit wins


def test_settings_set_later_take_effect(make_session):
    session = make_session()
    run(session.add_items(numbered(5)))
    session.session_settings = SessionSettings(limit=2)
    assert session.session_settings.limit == 2
    assert run(session.get_items()) == numbered(5)[-2:]


def test_close_is_the_wrapped_sessions(make_session):
    session = make_session()
    run(session.add_items(numbered(1)))
    session.close()
    with pytest.raises(RuntimeError, match="closed"):
        run(session.get_items())


def test_wrapped_public_attributes_are_reached(make_session, tmp_path):
    session = make_session()
    assert session.db_path == tmp_path / "sessions.db"
    assert session.messages_table == "agent_messages"
    assert "close" in dir(session)
    with pytest.raises(AttributeError):
        session.no_such_attribute  # noqa: B018


# ---- whole runs --------------------------------------------------------------------------

def _message(n, text):
    return ResponseOutputMessage(
        id=f"msg-{n}", type="message", role="assistant", status="completed",
        content=[ResponseOutputText(text=text, type="output_text", annotations=[])])


class EchoModel(Model):
    """Offline: a user's request gets one lookup call, its result the answer
    ``saw N: REQUEST -> RESULT`` where N is how many input items the call was sent.
    Answers both ``get_response`` and ``stream_response``; records each call's input."""

    def __init__(self):
        self.seen = []

    def _output(self, input):
        items = [user(input)] if isinstance(input, str) else list(input)
        self.seen.append(copy.deepcopy(items))
        n = len(self.seen)
        last = items[-1]
        if last.get("type") == "function_call_output":
            request = next(i["content"] for i in reversed(items) if i.get("role") == "user")
            return [_message(n, f"saw {len(items)}: {request} -> {last['output']}")]
        return [ResponseFunctionToolCall(id=f"fc-{n}", call_id=f"call-{n}",
                                         type="function_call", name="lookup",
                                         arguments=json.dumps({"key": last["content"]}))]

    async def get_response(self, system_instructions, input, model_settings, tools,
                           output_schema, handoffs, tracing, **kwargs):
        return ModelResponse(output=self._output(input), usage=Usage(), response_id=None)

    async def stream_response(self, system_instructions, input, model_settings, tools,
                              output_schema, handoffs, tracing, **kwargs):
        output = self._output(input)
        response = Response(id=f"resp-{len(self.seen)}", created_at=0, model="echo",
                            object="response", output=output, parallel_tool_calls=False,
                            tool_choice="auto", tools=[])
        yield ResponseCompletedEvent(type="response.completed", response=response,
                                     sequence_number=0)


@function_tool
def lookup(key: str) -> str:
    """Looks a key up."""
    return f"value of {key}"


def _agent():
    model = EchoModel()
    return Agent(name="echo", instructions="Answer briefly.", model=model,
                 tools=[lookup]), model


CONFIG = RunConfig(tracing_disabled=True)
TURNS = ["first request ✓", "second request 日本", "third request"]


async def _turn(how, agent, text, session):
    if how == "run":
        return (await Runner.run(agent, text, session=session, run_config=CONFIG)).final_output
    if how == "streamed":
        result = Runner.run_streamed(agent, text, session=session, run_config=CONFIG)
        async for _ in result.stream_events():
            pass
        return result.final_output
    raise AssertionError(how)


def _expected_answers(history_limit=None):
    """The answers of the turns: each turn's first call sees the history (the newest
    ``history_limit`` items of it) and the request, its second that plus the call and
    its result; a turn stores four items."""
    answers = []
    for n, text in enumerate(TURNS):
        history = 4 * n if history_limit is None else min(4 * n, history_limit)
        answers.append(f"saw {history + 3}: {text} -> value of {text}")
    return answers


def _check_stored(stored):
    assert len(stored) == 4 * len(TURNS)
    for n, text in enumerate(TURNS):
        request, call, result, answer = stored[4 * n:4 * n + 4]
        assert request == user(text)
        assert call["type"] == "function_call" and json.loads(call["arguments"]) == {
            "key": text}
        assert result["type"] == "function_call_output"
        assert result["call_id"] == call["call_id"]
        assert answer["content"][0]["text"] == _expected_answers()[n]


@pytest.mark.parametrize("how", ["run", "streamed"])
def test_runner_turns_store_and_see_the_whole_history(make_session, how):
    session = make_session()
    agent, model = _agent()

    async def turns():
        return [await _turn(how, agent, text, session) for text in TURNS]

    assert run(turns()) == _expected_answers()
    _check_stored(run(session.get_items()))
    # Each call sees exactly what is stored before it, then the turn's own items.
    stored = run(session.get_items())
    for n in range(len(TURNS)):
        first, second = model.seen[2 * n], model.seen[2 * n + 1]
        assert first == stored[:4 * n + 1]
        assert [i.get("type") for i in second[-2:]] == ["function_call",
                                                        "function_call_output"]


def test_run_sync_turns(make_session):
    session = make_session()
    agent, _ = _agent()
    answers = [Runner.run_sync(agent, text, session=session, run_config=CONFIG).final_output
               for text in TURNS]
    assert answers == _expected_answers()
    _check_stored(run(session.get_items()))


@pytest.mark.parametrize("how", ["run", "streamed"])
@pytest.mark.parametrize("limit", [4, 8])
def test_runner_reads_the_settings_limit_of_the_wrapped_session(make_session, how, limit):
    """A limit of whole turns (a turn stores four items, so no result is cut from its
    call): each turn's model call sees that many of the newest stored items."""
    session = make_session(session_settings=SessionSettings(limit=limit))
    agent, model = _agent()

    async def turns():
        return [await _turn(how, agent, text, session) for text in TURNS]

    assert run(turns()) == _expected_answers(history_limit=limit)
    session.session_settings = SessionSettings()  # read every stored item back
    stored = run(session.get_items())
    answers = [item for item in stored if item.get("role") == "assistant"]
    assert len(stored) == 4 * len(TURNS) and len(answers) == len(TURNS)
    first_of_last_turn = model.seen[2 * (len(TURNS) - 1)]
    assert first_of_last_turn == stored[8 - limit:9]


def test_runner_pops_through_the_session(make_session):
    """A run's items can be taken back (as a UI's "undo" does) through the session."""
    session = make_session()
    agent, _ = _agent()
    run(_turn("run", agent, TURNS[0], session))
    popped = [run(session.pop_item()) for _ in range(4)]
    assert popped[-1] == user(TURNS[0]) and run(session.get_items()) == []
    assert run(_turn("run", agent, TURNS[0], session)) == _expected_answers()[0]
