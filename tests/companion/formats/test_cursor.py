"""Cursor's chats exported as markdown: turns by their speaker's line, the parts of a reply
joined, its tool use left in its text, and the export told from aider's markdown."""
import pytest

from morvex_summarize.formats import LOG_FORMATS, WrongFormat, parse_text, read_conversation

REPLY = """Let me look at the parser.

---

Read file: src/dates.py

---

<details>
            <summary>Grep search for "parse(" • **2** files</summary>

| File | Line |
|------|------|
| `src/report.py` | L12 |
</details>

---

```bash
pytest -q tests/test_dates.py
```

```
---
1 failed, 3 passed
```

The table's column reads:

**User**

one row per account."""


def export(user, assistant, preamble):
    return (f"{preamble}\n\n{user}\n\nThe date parser rejects 2024-W05-3; fix it.\n\n---\n\n"
            f"{assistant}\n\n{REPLY}\n\n---\n\n{user}\n\nThanks.\n")


STYLES = [
    ("_**User**_", "_**Assistant**_", "<!-- an exporter's note -->\n\n# Week dates (2025-03-02)"),
    ("**User**", "**Cursor**", "# Week dates\n_Exported on 3/2/2025 from Cursor (1.0.0)_\n\n---"),
    ("## User", "## Agent (model m, mode Agent)", "# Week dates"),
]


@pytest.mark.parametrize("user, assistant, preamble", STYLES)
def test_turns_are_read_by_their_speakers_lines(user, assistant, preamble):
    found = read_conversation(parse_text(export(user, assistant, preamble)))
    assert found.format == "cursor"
    roles = [m["role"] for m in found.messages]
    assert roles == ["system", "user", "assistant", "user"]
    assert found.messages[0]["content"].startswith("# Week dates")
    assert "<!--" not in found.messages[0]["content"]
    reply = found.messages[2]["content"]
    # the parts between rules joined; a rule inside a code block and a bold "User" in the
    # reply stay the reply's
    assert reply.startswith("Let me look at the parser.\n\nRead file: src/dates.py\n\n"
                            "<details>\n            <summary>Grep search")
    assert "```\n---\n1 failed, 3 passed\n```" in reply
    assert reply.endswith("**User**\n\none row per account.")
    assert "\n---\n\n" not in reply


@pytest.mark.parametrize("aider", [
    "# aider chat started at 2025-01-10 09:12:01\n\n#### User\n\nhello\n",
    "# aider chat started at 2025-01-10 09:12:01\n\n#### describe the models\n\n## User\n\n"
    "The model of an account.\n",
])
def test_an_aider_history_stays_aider_and_an_export_is_refused_as_another_log(aider):
    assert read_conversation(parse_text(aider)).format == "aider"
    doc = parse_text(export(*STYLES[0]))
    for other in LOG_FORMATS:
        if other != "cursor":
            with pytest.raises(WrongFormat):
                read_conversation(doc, other)


@pytest.mark.parametrize("text", [
    "# Notes\n\nSome prose first.\n\n**User**\n\nhi\n",  # a speaker's line after prose
    "**Users**\n\nhi\n",
    "**User**_\n\nhi\n",  # the marks do not match
])
def test_markdown_that_is_no_export_is_not_read_as_one(text):
    with pytest.raises(Exception, match="not JSON, nor the text of a log"):
        parse_text(text)
