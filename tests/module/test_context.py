import pytest
from module_support import leak_check, raises_with, source_line, tb_entries

HEAD = ("## Conversation History Summary\n"
        "*(Earlier messages were summarized to save context space)*\n")


@pytest.fixture
def render(mod):
    method = mod.ConversationSummarizer.format_summary_for_context
    return lambda summary, owner=None: method(owner, summary)


class Text:
    def __init__(self, text):
        self.text = text

    def __format__(self, spec):
        if isinstance(self.text, Exception):
            raise self.text.with_traceback(None)  # a fresh traceback each call
        return self.text

    def __bool__(self):
        return bool(format(self, ""))


@pytest.mark.parametrize("summary, body", [
    ({"goals": ["Primary goal 1"], "current_state": "Brief description of where things stand",
      "progress": [], "summary": "", "created_at": 1.0},
     "\n### Original Goals\n  - Primary goal 1\n\n### Current State\n"
     "Brief description of where things stand\n"),
    ({}, ""),
    ({"goals": None, "progress": "", "key_facts": [], "blockers": 0, "other": [1]}, ""),
    ({"goals": "ab"}, "\n### Original Goals\n  - a\n  - b\n"),
    ({"next_steps": {"k1": 1, "k2": 2}}, "\n### Next Steps\n  - k1\n  - k2\n"),
    ({"key_facts": [1, None, [1, "x"], "", Text("t\nu")]},
     "\n### Key Facts\n  - 1\n  - None\n  - [1, 'x']\n  - \n  - t\nu\n"),
    ({"key_decisions": (c for c in "\U0001F600\udc80")},
     "\n### Key Decisions\n  - \U0001F600\n  - \udc80\n"),
    ({"current_state": [1, 2], "summary": Text("narr")},
     "\n### Current State\n[1, 2]\n\n### Narrative Summary\nnarr"),
    ({"summary": "only\nthis"}, "\n### Narrative Summary\nonly\nthis"),
    ({"summary": "n", "next_steps": ["s"], "blockers": ["b"], "key_facts": ["f"],
      "key_decisions": ["d"], "current_state": 3, "progress": ["p"], "goals": ["g"]},
     "\n### Original Goals\n  - g\n\n### Progress So Far\n  - p\n\n### Current State\n3\n\n"
     "### Key Decisions\n  - d\n\n### Key Facts\n  - f\n\n### Issues & Resolutions\n  - b\n\n"
     "### Next Steps\n  - s\n\n### Narrative Summary\nn"),
])
def test_rendering(render, summary, body):
    assert render(summary) == HEAD + body


def test_worked_sizes(mod, render):
    example = {"goals": ["Primary goal 1"],
               "current_state": "Brief description of where things stand"}
    assert len(render(example)) == 189 and render(example, object()) == render(example)
    assert render(mod._empty_summary()) == HEAD and len(HEAD) == 91


class Clearing:
    """An element or value whose text form or truth test empties what is being read."""

    def __init__(self, summary, key=None):
        self.summary, self.key = summary, key

    def __format__(self, spec):
        self.summary["goals"].clear()
        self.summary.clear()
        return "c"

    def __bool__(self):
        del self.summary[self.key]
        return True


def test_record_changed_while_rendered(render):
    summary = {"goals": [1], "summary": "kept?"}
    summary["goals"].insert(0, Clearing(summary))
    assert render(summary) == HEAD + "\n### Original Goals\n  - c\n"


@pytest.mark.parametrize("key, value, error, step", [
    ("goals", 5, TypeError("'int' object is not iterable"), "kGoalsValue"),
    ("blockers", True, TypeError("'bool' object is not iterable"), "kBlockersValue"),
    ("progress", [Text(ValueError("boom"))], ValueError("boom"), "kProgressBullet"),
    ("next_steps", ["a", Text(ValueError("boom"))], ValueError("boom"), "kNextStepsBullet"),
    ("current_state", Text(ValueError("boom")), ValueError("boom"), "kStateTest"),
    ("summary", Text(ValueError("boom")), ValueError("boom"), "kNarrativeTest"),
    ("key_facts", Clearing, KeyError("key_facts"), "kFactsValue"),
    ("current_state", Clearing, KeyError("current_state"), "kStatePart"),
    ("summary", Clearing, KeyError("summary"), "kNarrativePart"),
])
def test_failures(render, key, value, error, step):
    summary = {"goals": ["g"]}
    summary[key] = value(summary, key) if value is Clearing else value
    exc = raises_with(lambda: render(summary), type(error))
    assert str(exc) == str(error)
    name = "morvex.core.summarizer.ConversationSummarizer.format_summary_for_context"
    assert tb_entries(exc) == [(name, source_line("format_summary_for_context", step))]


def test_dict_subclass_refused(render):
    exc = raises_with(lambda: render(type("D", (dict,), {})(goals=["g"])), TypeError)
    assert str(exc) == "Argument 'summary' has incorrect type (expected dict, got D)"


def test_no_leaks(render):
    def run():
        for summary in ({"goals": ["a", 1], "summary": "s", "current_state": 2}, {"goals": 1}):
            try:
                render(summary)
            except TypeError:
                pass
    leak_check(run)
