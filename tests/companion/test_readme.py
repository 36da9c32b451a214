"""The README's Python snippets run as written: those that need no model in a child
process, as a user would paste them; those that need one with a stand-in model of the
framework's own kind in its place."""

import asyncio
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SNIPPETS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.DOTALL)


def snippet(marker):
    (found,) = [code for code in SNIPPETS if marker in code]
    return found


def test_every_snippet_is_run_here():
    markers = ("ConversationSummarizer(Client())", "Condenser(ExtractiveClient()",
               "CondensingMiddleware(model", "CondensingSession(SQLiteSession")
    assert sorted(SNIPPETS) == sorted(snippet(m) for m in markers)


@pytest.mark.parametrize("marker, printed", [
    ("ConversationSummarizer(Client())", r"\['Fix the failing build'\] Build fixed\."),
    # summarized, tokens before, tokens after: within the budget of 8000
    ("Condenser(ExtractiveClient()", r"^\d+ \d{4,} [1-7]?\d{1,3}$"),
])
def test_a_snippet_without_a_model_runs_as_pasted(tmp_path, marker, printed):
    done = subprocess.run([sys.executable, "-c", snippet(marker)], capture_output=True,
                          text=True, cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr
    assert re.search(printed, done.stdout, re.MULTILINE), done.stdout


def test_the_langchain_snippet_runs_with_a_stand_in_model(monkeypatch, capsys):
    pytest.importorskip("langchain.agents")
    import langchain.chat_models
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage

    asked = []

    def init_chat_model(name, **kwargs):
        asked.append(name)
        return GenericFakeChatModel(messages=iter([AIMessage("The build is fixed.")]))

    monkeypatch.setattr(langchain.chat_models, "init_chat_model", init_chat_model)
    exec(snippet("CondensingMiddleware(model"), {})
    assert asked == ["openai:gpt-4.1-mini"]
    assert capsys.readouterr().out == "The build is fixed.\n"


def test_the_agents_snippet_runs_with_a_stand_in_model(monkeypatch, tmp_path, capsys):
    agents = pytest.importorskip("agents")
    from agents.models.interface import Model
    from openai.types.responses import ResponseOutputMessage, ResponseOutputText

    class Answers(Model):
        async def get_response(self, *args, **kwargs):
            text = ResponseOutputText(text="Done.", type="output_text", annotations=[])
            return agents.ModelResponse(
                output=[ResponseOutputMessage(id="m1", type="message", role="assistant",
                                              status="completed", content=[text])],
                usage=agents.Usage(), response_id=None)

        def stream_response(self, *args, **kwargs):
            raise NotImplementedError

    class Agent(agents.Agent):
        def __init__(self, **kwargs):
            super().__init__(model=Answers(), **kwargs)

    monkeypatch.setattr(agents, "Agent", Agent)
    monkeypatch.setenv("OPENAI_AGENTS_DISABLE_TRACING", "1")
    monkeypatch.chdir(tmp_path)
    code = snippet("CondensingSession(SQLiteSession")
    exec(code, {})
    assert capsys.readouterr().out == "Done.\n[]\n"
    assert (tmp_path / "chats.db").exists()
