"""Module initialisation: namespace, metadata, re-import and the one-interpreter rule."""
import importlib
import os
import subprocess
import sys
import textwrap

import pytest
from module_support import leak_check, source_line

NAME = "morvex.core.summarizer"

MODULE_DOC = (
    "Conversation summarizer \u2014 compresses old messages into concise summaries.\n"
    "\n"
    "When a conversation grows beyond the context window, the summarizer:\n"
    "1. Takes the oldest messages that would be dropped\n"
    "2. Sends them to the LLM for summarization\n"
    "3. Extracts key goals, decisions, facts, and progress\n"
    "4. Returns a structured summary that replaces the raw messages\n"
    "\n"
    "This keeps the agent aware of its goals and progress even across\n"
    "very long conversations that exceed the context window.\n"
)


def run_python(code, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=120)


def test_namespace_order_and_values(mod):
    import json, logging, time, typing
    # other tests rebind globals, which moves them to the end: read a fresh import's order
    result = run_python(f"import {NAME} as m; print(list(vars(m)))")
    names = [n for n in eval(result.stdout) if not (n.startswith("__") and n.endswith("__"))]
    assert names == ["json", "logging", "time", "Any", "logger", "SUMMARIZE_PROMPT",
                     "ConversationSummarizer", "_format_messages_for_summary", "_brief_args",
                     "_parse_summary", "_empty_summary", "_fallback_summary"]
    assert eval(result.stdout)[-1] == "__test__" and mod.__test__ == {}
    assert (mod.json, mod.logging, mod.time, mod.Any) == (json, logging, time, typing.Any)
    assert mod.logger is logging.getLogger("morvex.summarizer")
    assert mod.__doc__ == MODULE_DOC and mod.__name__ == NAME
    assert mod.__builtins__ is __import__("builtins")
    assert sys.modules[NAME] is mod


def test_prompt_text(mod):
    prompt = mod.SUMMARIZE_PROMPT
    lines = prompt.split("\n")
    assert len(prompt) == 1476 and prompt.endswith("\n") and len(lines) == 29
    assert lines[0] == "You are a conversation summarizer for an AI agent called Morvex."
    assert lines[15] == '  "goals": ["Primary goal 1", "Sub-goal 2"],'
    assert lines[27] == "file paths, technical details, or user preferences."


def test_class(mod):
    cls = mod.ConversationSummarizer
    assert cls.__qualname__ == "ConversationSummarizer" and cls.__module__ == NAME
    assert cls.__doc__ == "Summarizes conversation chunks to compress context."
    assert type(cls) is type and cls.__bases__ == (object,)
    own = [n for n in vars(cls) if n not in ("__dict__", "__weakref__")]
    # type() consumes __qualname__ from the namespace it is given
    assert own == ["__module__", "__doc__", "__init__", "summarize_messages",
                   "format_summary_for_context"]


FUNCTIONS = [
    # attribute path, its table of lines, defaults, annotations, doc
    ("ConversationSummarizer.__init__", "summarizer_init", None, {"llm_client": "Any"},
     "Initialize with an LLMClient instance."),
    ("ConversationSummarizer.summarize_messages", "summarize_messages", (None,),
     {"messages": "list[dict[str, Any]]", "existing_summary": "str | None",
      "return": "dict[str, Any]"}, None),
    ("ConversationSummarizer.format_summary_for_context", "format_summary_for_context", None,
     {"summary": "dict[str, Any]", "return": "str"},
     "Format a structured summary as readable text for the system prompt."),
    ("_format_messages_for_summary", "format_messages_for_summary", None,
     {"messages": "list[dict[str, Any]]", "return": "str"},
     "Convert messages to a readable text format for the summarizer."),
    ("_brief_args", "brief_args", None, {"args": "dict", "return": "str"},
     "Create a brief summary of tool arguments."),
    ("_parse_summary", "parse_summary", None, {"text": "str", "return": "dict[str, Any]"},
     "Parse the LLM's JSON response into a summary dict."),
    ("_empty_summary", "empty_summary", None, {"return": "dict[str, Any]"}, None),
    ("_fallback_summary", "fallback_summary", None, {"messages": "list[dict[str, Any]]",
                                                     "return": "dict[str, Any]"},
     "Create a basic summary without LLM when summarization fails."),
]


def resolve(mod, path):
    obj = mod
    for part in path.split("."):
        obj = vars(obj)[part]
    return obj


@pytest.mark.parametrize("path,lines,defaults,annotations,doc", FUNCTIONS)
def test_function_metadata(mod, path, lines, defaults, annotations, doc):
    fn = resolve(mod, path)
    name = path.rsplit(".", 1)[-1]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, path, NAME)
    assert fn.__defaults__ == defaults and fn.__kwdefaults__ is None
    assert fn.__annotations__ == annotations
    assert list(fn.__annotations__) == list(annotations)
    assert fn.__globals__ is vars(mod) and fn.__closure__ is None
    code = fn.__code__
    line = source_line(lines, "kDefinition")
    assert (code.co_name, code.co_qualname, code.co_firstlineno) == (name, name, line)
    assert code.co_filename == "morvex/core/summarizer.py"
    if doc is not None:
        assert fn.__doc__ == doc
    elif name == "_empty_summary":
        assert fn.__doc__ is None


def test_summarize_messages_doc(mod):
    doc = mod.ConversationSummarizer.summarize_messages.__doc__
    lines = doc.split("\n")
    assert len(lines) == 9 and lines[-1] == " " * 8
    assert lines[0] == "Summarize a list of messages into a structured summary."
    assert lines[3] == "            messages: The messages to summarize (in chronological order)"


def test_reimport_and_reload_keep_the_module(mod):
    mod.SUMMARIZE_PROMPT, saved = "rebound", mod.SUMMARIZE_PROMPT
    try:
        del sys.modules[NAME]
        again = importlib.import_module(NAME)
        assert again is mod and mod.SUMMARIZE_PROMPT == "rebound"
        assert importlib.reload(mod) is mod and mod.SUMMARIZE_PROMPT == "rebound"
    finally:
        mod.SUMMARIZE_PROMPT = saved
        sys.modules[NAME] = mod


def test_reimport_leaves_nothing(mod):
    def reimport():
        del sys.modules[NAME]
        try:
            assert importlib.import_module(NAME) is mod
        finally:
            sys.modules[NAME] = mod
    # the import system's own caches move a little; a block per import is the fault
    leak_check(reimport, repeat=1000, warmup=50, slack=250)


INTERP_CHANGE = ("Interpreter change detected - this module can only be loaded into one "
                 "interpreter per process.")


def test_second_interpreter_is_refused():
    inner = (f"try:\n    import {NAME}\nexcept ImportError as e:\n"
             f"    assert str(e) == {INTERP_CHANGE!r}, str(e)\n"
             f"else:\n    raise AssertionError('imported')\n")
    result = run_python(f"""
        import {NAME}
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            import _interpreters as interpreters
        interp = interpreters.create()
        failure = interpreters.run_string(interp, {inner!r})
        interpreters.destroy(interp)
        print("refused" if failure is None else failure)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "refused"


@pytest.mark.parametrize("as_error", [False, True])
def test_version_mismatch_warning(as_error, variant_build):
    # Only a build with the test hooks reads the stand-in version.
    major, minor = sys.version_info[:2]
    fake = f"{major}.{minor + 1}"
    message = (f"compile time Python version {major}.{minor} of module '{NAME}' "
               f"does not match runtime version {fake}")
    result = run_python(f"""
        import warnings
        warnings.simplefilter({'"error"' if as_error else '"always"'})
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter({'"error"' if as_error else '"always"'})
            try:
                import {NAME}
            except RuntimeWarning as e:
                print("error", e)
            else:
                print("ok", [(w.category.__name__, str(w.message)) for w in caught])
    """, env={"MORVEX_SUMMARIZER_TEST_RUNTIME_VERSION": fake, "PYTHONPATH": variant_build})
    assert result.returncode == 0, result.stderr
    if as_error:
        assert result.stdout.strip() == f"error {message}"
    else:
        assert result.stdout.strip() == f"ok {[('RuntimeWarning', message)]}"


@pytest.mark.parametrize("stand_in", [None, "2.0"])
def test_matching_version_is_silent(stand_in):
    # A build without the test hooks never reads the stand-in version.
    env = {"MORVEX_SUMMARIZER_TEST_RUNTIME_VERSION": stand_in} if stand_in else None
    result = run_python(f"""
        import warnings
        warnings.simplefilter("error")
        import {NAME}
        print("ok")
    """, env)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize("blocked,step", [("json", "kImportJson"), ("time", "kImportTime"),
                                          ("typing", "kImportAny")])
def test_failed_import_reports_init_entry_and_retries(blocked, step):
    result = run_python(f"""
        import sys
        import logging
        saved = sys.modules.pop({blocked!r}, None)
        sys.modules[{blocked!r}] = None
        try:
            import {NAME}
        except ImportError as e:
            tb = e.__traceback__
            entries = []
            while tb:
                if tb.tb_frame.f_code.co_filename == "morvex/core/summarizer.py":
                    entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
                tb = tb.tb_next
            print(entries, {NAME!r} in sys.modules)
        if saved is not None:
            sys.modules[{blocked!r}] = saved
        else:
            del sys.modules[{blocked!r}]
        import {NAME} as m
        print(sorted(m.ConversationSummarizer.__dict__)[-1])
    """)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.strip().splitlines()
    assert first == f"[('init {NAME}', {source_line('module_body', step)})] False"
    assert second == "summarize_messages"


def test_typing_without_any():
    result = run_python(f"""
        import sys, types
        sys.modules["typing"] = types.ModuleType("typing")
        try:
            import {NAME}
        except ImportError as e:
            print(e)
    """)
    assert result.stdout.strip() == "cannot import name Any", result.stderr
