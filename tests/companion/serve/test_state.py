"""Conversation state: a request that continues an earlier one builds on its summary; an
edited history starts afresh; the state is bounded, and survives a restart in SQLite."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from agent_loop import chat_agent, request, sdk_client
from morvex_summarize.serve.state import Entry, StateStore, prefix_keys


def entry(size):
    return Entry(start=0, lead=[{"role": "user", "content": "x" * size}], field=None,
                 summary=None, text=None, context=None, summary_tokens=0, total=0)


def test_agent_loop_builds_on_stored_summaries(upstream, start_proxy):
    proxy, _ = start_proxy(1200, target=600)
    headers = []
    chat_agent(sdk_client("/chat/completions", proxy.url + "/v1"), 24,
               lambda raw: headers.append(raw.headers["x-morvex-condensed"]))
    after = [int(h.split("/")[1]) for h in headers]
    before = [int(h.split("/")[0]) for h in headers]
    assert max(before) > 2 * 1200 and max(after) <= 1200
    # counted from where the stored summary ends, the whole history still only grows
    assert before == sorted(before)
    summaries = upstream.summaries
    # without reuse every call over budget would need one
    over = sum(1 for b in before if b > 1200)
    assert 1 <= len(summaries) <= over / 4
    # each summary after the first is handed the one before it, and the new messages only
    for earlier, later in zip(summaries, summaries[1:]):
        prompt = later.body["messages"][0]["content"]
        assert "Previous Summary" in prompt
        assert request(0) not in prompt.split("## Conversation to Summarize")[1]


@pytest.mark.parametrize("edit_at, fresh", [(1, True), (2, True), (-3, False)])
def test_edited_history(upstream, start_proxy, edit_at, fresh):
    """An edit inside what was summarized shares no stored prefix: summarized afresh, from
    the edited text on. An edit in the kept tail still continues the stored summary."""
    proxy, _ = start_proxy(1200, keep_first=False)
    client = sdk_client("/chat/completions", proxy.url + "/v1")
    messages = chat_agent(client, 12)
    assert upstream.summaries
    count = len(upstream.summaries)
    edited = [dict(m) for m in messages]
    edited[edit_at]["content"] = "EDITED: audit the loading dock instead."
    client.chat.completions.create(model="loopback-model", messages=edited)
    summaries = upstream.summaries[count:]
    sent = upstream.calls[-1].body["messages"]
    prompts = [s.body["messages"][0]["content"] for s in summaries]
    if fresh:
        assert len(prompts) == 1
        assert "EDITED" in prompts[0] and "Previous Summary" not in prompts[0]
    else:
        assert all("Previous Summary" in p and
                   request(0) not in p.split("## Conversation to Summarize")[1] for p in prompts)
        assert "EDITED" in sent[edit_at]["content"]
    assert sent[1]["content"].startswith("## Conversation History Summary")


@pytest.mark.parametrize("persist", [True, False])
def test_state_file_survives_a_restart(upstream, start_proxy, tmp_path, persist):
    path = str(tmp_path / "state.db") if persist else None
    proxy, _ = start_proxy(1200, store=StateStore(path=path))
    client = sdk_client("/chat/completions", proxy.url + "/v1")
    messages = chat_agent(client, 12)
    first = upstream.calls[-1].body["messages"][1]
    proxy.close()  # the application's shutdown closes the store
    count = len(upstream.summaries)
    again, _ = start_proxy(1200, store=StateStore(path=path))
    client = sdk_client("/chat/completions", again.url + "/v1")
    client.chat.completions.create(model="loopback-model", messages=messages)
    if persist:
        assert len(upstream.summaries) == count
        assert upstream.calls[-1].body["messages"][1] == first
    else:
        assert len(upstream.summaries) == count + 1


def test_bounded_state_forgets_the_least_recent_conversation(upstream, start_proxy):
    """Three conversations and room for two: the first one's summary is gone and it is
    summarized afresh; the third one's is still there."""
    proxy, state = start_proxy(600, keep_last=2, keep_first=False, store=StateStore(max_entries=2))
    client = sdk_client("/chat/completions", proxy.url + "/v1")
    talks = [[{"role": "user", "content": f"conversation {n} " + "word " * 300},
              {"role": "assistant", "content": "ok " * 300},
              {"role": "user", "content": "go on " * 300}] for n in range(3)]
    for talk in talks:
        client.chat.completions.create(model="m", messages=talk)
    assert len(upstream.summaries) == 3 and len(state.store) == 2
    for n, fresh in [(2, False), (0, True)]:
        count = len(upstream.summaries)
        client.chat.completions.create(model="m", messages=talks[n])
        assert len(upstream.summaries) == count + fresh


operations = st.lists(st.tuples(st.sampled_from("pf"), st.integers(0, 7),
                                st.integers(1, 400)), max_size=60)


@settings(deadline=None)
@given(operations, st.integers(1, 4), st.integers(200, 1500))
def test_store_is_an_lru_within_its_bounds(tmp_path_factory, ops, max_entries, max_bytes):
    """Against a plain list of (key, size), most recent last: the same entries are kept,
    within both bounds, and the file holds what memory holds."""
    path = str(tmp_path_factory.mktemp("lru") / "state.db")
    store = StateStore(max_entries, max_bytes, path)
    model: list[tuple[str, int]] = []
    keys = prefix_keys("root", [f"item {n}" for n in range(8)])
    for op, n, size in ops:
        key = keys[n]
        if op == "p":
            data = len(entry(size).to_bytes())
            store.put(key, entry(size))
            if data <= max_bytes:
                model = [kv for kv in model if kv[0] != key] + [(key, data)]
                while len(model) > max_entries or sum(s for _, s in model) > max_bytes:
                    model.pop(0)
        else:
            found = store.find(keys[: n + 1])
            held = [k for k, _ in model if k in keys[1: n + 1]]
            longest = max(held, key=keys.index) if held else None
            assert (found and keys[found[0]]) == longest
            if found:
                assert found[1] == entry(dict(model)[longest] - len(entry(0).to_bytes()))
                model = [kv for kv in model if kv[0] != longest] + [(longest, dict(model)[longest])]
        assert len(store) <= max_entries and store.bytes <= max_bytes
        assert store.bytes == sum(s for _, s in model)
    store.close()
    reopened = StateStore(max_entries, max_bytes, path)
    assert reopened.bytes == sum(s for _, s in model)
    assert [k for k, _ in model] == list(reopened._entries)
    reopened.close()


CORRUPT = {
    "not JSON": ("UPDATE morvex_state SET data = X'00ff'", 1),
    "a field of the wrong type": (
        "UPDATE morvex_state SET data = CAST(json_set(CAST(data AS TEXT), '$.lead', 'x') "
        "AS BLOB)", 1),
    "stored as text": ("UPDATE morvex_state SET data = CAST(data AS TEXT)", 0),
}


@pytest.mark.parametrize("how", list(CORRUPT))
def test_a_stored_summary_that_cannot_be_read_is_dropped(upstream, start_proxy, tmp_path,
                                                         caplog, how):
    """The proxy starts, the entry that cannot be read is dropped with one warning, and the
    conversation is condensed afresh within its budget (a row stored as text is read)."""
    import sqlite3

    path = str(tmp_path / "state.db")
    proxy, _ = start_proxy(1200, store=StateStore(path=path))
    messages = chat_agent(sdk_client("/chat/completions", proxy.url + "/v1"), 12)
    proxy.close()
    change, summaries = CORRUPT[how]
    with sqlite3.connect(path) as db:
        rows = db.execute("SELECT COUNT(*) FROM morvex_state").fetchone()[0]
        db.execute(change)
    count = len(upstream.summaries)
    again, _ = start_proxy(1200, store=StateStore(path=path))
    client = sdk_client("/chat/completions", again.url + "/v1")
    for _ in range(2):  # the second call builds on the summary the first one stored
        raw = client.chat.completions.with_raw_response.create(model="loopback-model",
                                                               messages=messages)
        assert int(raw.headers["x-morvex-condensed"].split("/")[1]) <= 1200
    assert len(upstream.summaries) == count + summaries
    dropped = [r for r in caplog.records if "could not be read" in r.getMessage()]
    assert len(dropped) == rows * summaries  # each entry once, found by the first call


def test_another_programs_database_is_refused_untouched(tmp_path):
    import sqlite3

    from cli_support import run_tool

    path = tmp_path / "app.db"
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE users (name TEXT)")
    path.chmod(0o644)
    before = path.read_bytes()
    done = run_tool("serve", "--upstream", "http://127.0.0.1:9/v1", "--port", "0",
                    "--budget", "1000", "--state-file", path, timeout=60)
    assert done.returncode == 10, done.stderr
    assert "holds what is not the proxy's (users)" in done.stderr
    assert path.read_bytes() == before and (path.stat().st_mode & 0o777) == 0o644
    assert not (tmp_path / "app.db-wal").exists()


@pytest.mark.parametrize("mode", [None, 0o644, 0o600])
def test_a_state_file_is_its_owners_alone(tmp_path, caplog, mode):
    path = tmp_path / "state.db"
    if mode is not None:
        StateStore(path=str(path)).close()
        path.chmod(mode)
    StateStore(path=str(path)).close()
    assert (path.stat().st_mode & 0o777) == 0o600
    narrowed = [r for r in caplog.records if "now 0600" in r.getMessage()]
    assert len(narrowed) == (mode == 0o644)
