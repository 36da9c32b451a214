"""The task as the person asked it: their own words out of a harness's wrapping, whole to
the end of the sentence, with a later request kept beside it."""
import pytest

from morvex_summarize.clients.extractive import summarize_transcript

ASK = "Add a dark mode toggle to the settings page."
SETUP = "<environment_details>\n# Visible Files\nsrc/a.ts\n</environment_details>"


@pytest.mark.parametrize("first", [
    f"{SETUP}\n<task>\n{ASK}\n</task>",
    f"<task>\n{ASK}\n</task>\n{SETUP}",
    f"<user_query>\n{ASK}\n</user_query>",
    f"<ide_opened_file>The user opened /w/a.ts in the IDE.</ide_opened_file>\n{ASK}",
])
def test_the_request_is_the_users_words_not_its_wrapping(first):
    assert summarize_transcript(f"[User]: {first}")["goals"] == [ASK]


def test_a_long_request_is_kept_to_its_sentences_end():
    context = "The importer reads vendor files nightly and feeds the catalogue. " * 5
    said = context + "Please make it skip rows whose price column is empty."
    goal = summarize_transcript(f"[User]: {said}")["goals"][0]
    assert goal.endswith("price column is empty.") and len(goal) <= 600


def test_a_preamble_and_the_request_after_it_both_count():
    goals = summarize_transcript(
        "[User]: Before you start, scan the project and read the README.\n"
        "[Assistant]: Done, I read it.\n[User]: Now add retry logic to src/net.py.")["goals"]
    assert goals[0].startswith("Before you start") and "Now add retry logic" in goals[-1]


@pytest.mark.parametrize("before", [
    "[User]: # mytool chat started at 2025-01-02 10:00:00\nAdd .cache to .gitignore? (Y)es/(N)o "
    "[Yes]: y\nUsing some-model.",
    "[User]: Tokens: 2.1k sent, 40 received. Cost: $0.01 message.\nRun shell command? [y/n]",
    "[User]: This session is being continued from a previous conversation that ran out of "
    "context.\n- Never touch the vendored folder. Need to restructure the guard.",
])
def test_a_consoles_text_or_an_earlier_summary_is_no_request_or_rule(before):
    summary = summarize_transcript(f"{before}\n[User]: Rename the config loader.")
    assert summary["goals"] == ["Rename the config loader."]


def test_a_later_question_in_any_language_is_a_request():
    goals = summarize_transcript("[User]: Add a cache to the loader.\n[Assistant]: Added.\n"
                                 "[User]: Почему тест падает на пустом файле?")["goals"]
    assert goals[-1].startswith("Почему")
