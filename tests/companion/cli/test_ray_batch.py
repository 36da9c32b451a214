"""Batch summaries on Ray Data: a local Ray instance of two CPUs, the loopback chat server,
an actor that dies mid-run, rows the module refuses, and the local engine as the reference."""

import functools
import json
import os
import pathlib

import pytest

ray = pytest.importorskip("ray", reason="Ray is not installed: pip install '.[ray]'")
pytest.importorskip("ray.data", reason="Ray Data is not installed: pip install '.[ray]'")
pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed")
pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow is not installed")

from cli_support import conversation, read_results, run_tool, write_jsonl  # noqa: E402
from llm_server import Answer, LLMServer  # noqa: E402
from morvex_summarize.batch.jobs import id_from_columns, id_key  # noqa: E402
from morvex_summarize.errors import ClientError, Failure  # noqa: E402
from morvex_summarize.ray_batch import row_job, summarize_dataset  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
TESTS = os.pathsep.join((str(HERE), str(HERE.parents[1])))  # this file's folder, the helpers'
# The package under test, which need not be the one installed where the workers run.
PACKAGE = str(pathlib.Path(summarize_dataset.__code__.co_filename).resolve().parents[3])
REFUSED = [{"role": "assistant", "content": "x", "tool_calls": [{"function": None}]}]


@pytest.fixture(scope="module")
def cluster():
    # The workers import this file's client by name, so its folder is on their path, and
    # the package under test before any installed copy.
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             _node_ip_address="127.0.0.1",
             runtime_env={"env_vars": {"PYTHONPATH": os.pathsep.join((TESTS, PACKAGE))}})
    yield ray.get_runtime_context().gcs_address
    ray.shutdown()


@pytest.fixture
def server():
    with LLMServer() as s:
        yield s


class ScriptedClient:
    """The loopback server's OpenAI client, except for two conversations: "die" ends its
    actor's process the first time (a marker file remembers), "busy" fails as a rate limit
    that outlasted the retries would."""

    def __init__(self, url, marker):
        from morvex_summarize.clients.openai_client import OpenAIClient

        self.inner = OpenAIClient("m", base_url=url, max_retries=0)
        self.marker = marker

    async def complete(self, messages, max_tokens):
        text = messages[0]["content"]
        if "conversation die\n" in text and not os.path.exists(self.marker):
            pathlib.Path(self.marker).touch()
            os._exit(1)
        if "conversation busy\n" in text:
            raise ClientError(Failure("unreachable", "the model server is busy", transient=True))
        return await self.inner.complete(messages=messages, max_tokens=max_tokens)


def scripted_client(url, marker):
    return ScriptedClient(url, marker)


def without_time(result):
    summary = result["summary"]
    return {**result, "summary": summary and {k: v for k, v in summary.items()
                                              if k != "created_at"}}


def test_a_corpus_on_actors_gives_the_local_engine_results(tmp_path, cluster, server):
    ids = [f"c{n}" for n in range(2500)] + [7, "7", 4.5, "die", "busy", "refused"]
    lines = [{"id": i, "messages": REFUSED if i == "refused" else conversation(i)}
             for i in ids]
    inp = tmp_path / "in.jsonl"
    write_jsonl(inp, lines)
    marker = tmp_path / "died"
    results = summarize_dataset(
        ray.data.read_text(str(inp)), functools.partial(scripted_client, server.url,
                                                        str(marker)),
        actors=2, in_flight=32, skip={id_key("c5")}).take_all()
    assert marker.exists()  # an actor did die, and its work was done again
    by_key = {}
    for row in results:
        assert row["key"] not in by_key, f"{row['key']} twice"
        by_key[row["key"]] = row
    assert set(by_key) == {id_key(i) for i in ids}
    assert by_key[id_key("c5")]["status"] == "skipped"
    busy = by_key[id_key("busy")]
    assert busy["status"] == "retry" and busy["error"] == "the model server is busy"
    refused = by_key[id_key("refused")]
    assert refused["status"] == "failed" and refused["summary"] is None
    assert refused["error"] == "message 0: tool call 0 has no function"

    # The local engine, on the same lines but those the scripted client treats apart.
    plain = [line for line in lines if line["id"] not in ("die", "busy", "c5")]
    write_jsonl(inp, plain)
    out = tmp_path / "local.jsonl"
    local = run_tool("batch", inp, "--output", out, "--concurrency", "64", "--llm", "openai",
                     "--model", "m", "--base-url", server.url)
    assert local.returncode == 11, local.stderr  # the refused conversation
    expected = [without_time(r) for r in read_results(out)]
    assert len(expected) == len(plain)
    for want in expected:
        row = by_key[id_key(want["id"])]
        got = {"id": want["id"], "summary": row["summary"] and json.loads(row["summary"]),
               "context": row["context"], "status": row["status"]}
        if row["error"] is not None:
            got["error"] = row["error"]
        assert without_time(got) == want


def test_a_failure_every_request_shares_stops_each_actor(cluster, server):
    server.push(*[Answer(401, {"error": {"message": "bad key"}})] * 400)
    rows = [{"id": n, "messages": json.dumps(conversation(n))} for n in range(400)]
    results = summarize_dataset(
        ray.data.from_items(rows), functools.partial(scripted_client, server.url, "-"),
        actors=2, in_flight=4).take_all()
    assert sorted(id_from_columns(r["id"], r["id_type"]) for r in results) == list(range(400))
    assert {r["status"] for r in results} == {"stopped"}
    assert {r["failure"] for r in results} == {"auth"}
    # each actor stops asking after its first refusal: no more than its requests in flight
    assert len(server.requests) <= 2 * 4


ANTHROPIC = [
    {"role": "user", "content": [{"type": "text", "text": "fix the build"}]},
    {"role": "assistant", "content": [
        {"type": "text", "text": "looking"},
        {"type": "tool_use", "id": "t1", "name": "shell", "input": {"cmd": "make"}},
        {"type": "tool_use", "id": "t2", "name": "read", "input": {"path": "Makefile"}}]},
    {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "t1", "content": "ok"},
                                 {"type": "tool_result", "tool_use_id": "t2", "content": "x"}]},
]


@pytest.mark.parametrize("messages", [ANTHROPIC, conversation("p", turns=3)])
def test_a_conversation_in_parquet_columns_reads_as_its_json(messages):
    # Arrow gives every struct each field any of its siblings has, null where it had none
    (nested,) = pa.Table.from_pylist([{"id": "a", "messages": messages}]).to_pylist()
    as_text = row_job({"id": "a", "messages": json.dumps(messages)})
    assert not isinstance(as_text, str) and row_job(nested) == as_text


@pytest.mark.parametrize("row,expected", [
    ({"id": 1, "messages": json.dumps(conversation(1)), "previous": None}, 3),
    ({"text": json.dumps({"id": "t", "messages": conversation("t")})}, 3),
    ({"text": "  "}, None),
    ({"id": 2, "messages": "[1"}, '"messages": invalid JSON'),
    ({"text": '{"id": [1]}'}, 'missing or unusable "id"'),
])
def test_rows_stored_as_columns_or_lines(row, expected):
    job = row_job(row)
    if isinstance(expected, str):
        assert isinstance(job, str) and expected in job
    elif expected is None:
        assert job is None
    else:
        assert len(job.messages) == expected and job.previous is None


def test_the_command_writes_parquet_and_resumes(tmp_path, cluster, server):
    ids = [f"p{n}" for n in range(300)]
    inp, out = tmp_path / "in.jsonl", tmp_path / "out.parquet"
    write_jsonl(inp, [{"id": i, "messages": conversation(i)} for i in ids] + ["{bad"])
    model = ["--llm", "openai", "--model", "m", "--base-url", server.url]
    first = run_tool("batch", inp, "--output", out, "--engine", "ray", "--address", cluster,
                     "--actors", "2", *model, timeout=300)
    assert first.returncode == 11, first.stderr  # the bad line
    assert "300 written (300 ok, 0 unparsed, 0 fallback, 0 failed)" in first.stderr
    assert "skipped: invalid JSON" in first.stderr and "Traceback" not in first.stderr
    table = pq.read_table(out).to_pylist()
    assert sorted(r["id"] for r in table) == sorted(ids)
    assert {r["status"] for r in table} == {"ok"}
    assert json.loads(table[0]["summary"])["goals"] == [f"conversation {table[0]['id']}"]
    asked = len(server.requests)
    rerun = run_tool("batch", inp, "--output", out, "--engine", "ray", "--address", cluster,
                     *model, timeout=300)
    assert "0 written" in rerun.stderr and "300 already done" in rerun.stderr, rerun.stderr
    assert len(server.requests) == asked and len(pq.read_table(out)) == 300
    # Parquet in, JSON lines out, on a Ray instance of its own, through a LangChain model
    stored = tmp_path / "in.parquet"
    pq.write_table(pa.table({"id": ids, "messages": [json.dumps(conversation(i))
                                                     for i in ids]}), stored)
    pytest.importorskip("langchain_openai")
    fresh = run_tool("batch", stored, "--output", tmp_path / "o.jsonl", "--engine", "ray",
                     "--llm", "langchain:openai:m", "--base-url", server.url, timeout=300)
    assert fresh.returncode == 0, fresh.stderr
    results = read_results(tmp_path / "o.jsonl")
    assert sorted(r["id"] for r in results) == sorted(ids)
    assert all(r["summary"]["goals"] == [f"conversation {r['id']}"] for r in results)


@pytest.mark.parametrize("args,status,text", [
    (["in.jsonl", "--output", "o.parquet"], 2, "Parquet needs --engine ray"),
    (["in.jsonl", "--output", "o.jsonl", "--actors", "3"], 2, "--actors needs --engine ray"),
    (["-", "--output", "o.jsonl", "--engine", "ray"], 2, "not standard input"),
    (["none.jsonl", "--output", "o.jsonl", "--engine", "ray"], 3, "none.jsonl: no such file"),
    (["in.jsonl", "--output", "gone/o.jsonl", "--engine", "ray"], 9,
     "gone/o.jsonl: no such folder: gone"),
    (["in.jsonl", "--output", "gone/o.jsonl"], 9, "gone/o.jsonl: no such folder: gone"),
    (["in.jsonl", "--output", "file.parquet", "--engine", "ray"], 9,
     "file.parquet: a file, not a folder"),
    (["in.jsonl", "--output", "folder/"], 2, "folder/: Parquet needs --engine ray"),
])
def test_bad_engine_arguments(tmp_path, args, status, text):
    write_jsonl(tmp_path / "in.jsonl", [{"id": 1, "messages": conversation(1)}])
    (tmp_path / "file.parquet").write_bytes(b"not a folder")
    result = run_tool("batch", *args, "--llm", "extractive", cwd=tmp_path)
    assert result.returncode == status, result.stderr
    assert text in result.stderr and "Traceback" not in result.stderr


def test_parquet_output_reads_as_one_table_with_ids_of_every_type(tmp_path, cluster, server):
    """Ids of several JSON types (7 and "7" apart, a float, an integer past 64 bits) and a
    failed row, over two runs into a folder named with a slash that is not there yet: every
    part has the same all-text schema, pyarrow, pandas and Ray Data read the folder as one
    table, each id comes back as it was, and the model is asked once per conversation it
    can read."""
    pd = pytest.importorskip("pandas")

    first_ids = [7, "7", 4.5, 2 ** 70, "a"]
    later_ids = [8, "b"]
    inp, out = tmp_path / "in.jsonl", str(tmp_path / "out") + "/"
    lines = [{"id": i, "messages": conversation(i)} for i in first_ids]
    write_jsonl(inp, lines + [{"id": "refused", "messages": REFUSED}])
    model = ["--llm", "openai", "--model", "m", "--base-url", server.url]
    first = run_tool("batch", inp, "--output", out, "--engine", "ray", "--address", cluster,
                     *model, timeout=300)
    assert first.returncode == 11, first.stderr  # the failed row
    assert "6 written (5 ok, 0 unparsed, 0 fallback, 1 failed)" in first.stderr
    assert len(server.requests) == len(first_ids)
    write_jsonl(inp, lines + [{"id": i, "messages": conversation(i)} for i in later_ids])
    second = run_tool("batch", inp, "--output", out, "--engine", "ray", "--address", cluster,
                      *model, timeout=300)
    assert second.returncode == 0, second.stderr
    assert len(server.requests) == len(first_ids) + len(later_ids)

    folder = tmp_path / "out"
    parts = sorted(folder.glob("part-*.parquet"))
    assert len(parts) >= 2
    for part in parts:
        schema = pq.read_schema(part)
        assert schema.names == ["id", "id_type", "status", "summary", "context", "error"]
        assert all(field.type == pa.string() for field in schema)
    expected = {id_key(i): "ok" for i in first_ids + later_ids}
    expected[id_key("refused")] = "failed"
    readers = {
        "pyarrow": pq.read_table(folder).to_pylist(),
        "pandas": pd.read_parquet(folder).to_dict("records"),
        "ray": ray.data.read_parquet(str(folder)).take_all(),
    }
    for name, rows in readers.items():
        found = {id_key(id_from_columns(r["id"], r["id_type"])): r["status"] for r in rows}
        assert found == expected, name
        assert len(rows) == len(expected), name
        (failed,) = [r for r in rows if r["status"] == "failed"]
        assert failed["error"] == "message 0: tool call 0 has no function", name
        assert all(json.loads(r["summary"])["goals"] for r in rows if r["status"] == "ok")
    assert {type(id_from_columns(r["id"], r["id_type"])) for r in readers["pyarrow"]} == \
        {int, str, float}


def test_odd_input_on_ray_is_told_by_file_in_the_tool_s_lines_only(tmp_path):
    """A FIFO (never opened), a log too deep to read and a line whose role is an array,
    each told with its file; the rest summarized; on a Ray instance of the tool's own, no
    line on stderr but the tool's (Ray's error-level notices on a run that succeeds are
    not shown)."""
    deep = '{"parentUuid": null, "sessionId": "s", "x": ' + "[" * 100_000 \
        + "]" * 100_000 + "}\n"
    log = json.dumps({"type": "user", "uuid": "u1", "parentUuid": None, "sessionId": "s",
                      "message": {"role": "user", "content": "Fix the parser"}}) + "\n"
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "a.jsonl").write_text(log)
    (folder / "b.jsonl").write_text(deep + log)
    os.mkfifo(folder / "c.fifo")
    write_jsonl(folder / "d.jsonl", [{"id": "odd", "messages": [{"role": ["user"],
                                                                 "content": "x"}]},
                                     {"id": "good", "messages": conversation("g")}])
    out = tmp_path / "out.jsonl"
    done = run_tool("batch", folder, "--output", out, "--engine", "ray", "--llm",
                    "extractive", timeout=300)
    assert done.returncode == 11, done.stderr
    lines = [line for line in done.stderr.splitlines() if line.strip()]
    assert all(line.startswith("morvex-summarize: ") for line in lines), done.stderr
    assert f"{folder / 'c.fifo'}: skipped: not a regular file (a FIFO)" in done.stderr
    assert "b.jsonl: line 1: nested too deeply" in done.stderr
    assert "d.jsonl:1: skipped: \"messages\": message 0: its role is an array" in done.stderr
    assert sorted(r["id"] for r in read_results(out)) == ["a.jsonl", "good"]
