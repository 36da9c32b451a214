"""Properties of the shell reader over command lines put together at random: reading
commands never change a file, a file written by redirection, `tee` or `sed -i` is always
among the edits wherever the command stands in the line, and a line never breaks it."""

from hypothesis import given, strategies as st

from morvex_summarize.session import steps

PATHS = st.sampled_from(["src/a.py", "lib/b.go", "docs/c.md", "app/d.ts"])
READS = st.one_of(
    st.builds(lambda p: f"cat {p}", PATHS), st.builds(lambda p: f"nl -ba {p}", PATHS),
    st.builds(lambda p: f"grep -n total {p}", PATHS),
    st.builds(lambda p: f"sed -n '1,40p' {p}", PATHS), st.just("git diff"), st.just("ls -la"))
WRITES = st.one_of(
    st.builds(lambda p: (f"echo x > {p}", p), PATHS),
    st.builds(lambda p: (f"printf y | tee -a {p}", p), PATHS),
    st.builds(lambda p: (f"sed -i 's/a/b/' {p}", p), PATHS),
    st.builds(lambda p: (f"cp build/out {p}", p), PATHS))
JOIN = st.sampled_from([" && ", " ; ", " || ", "\n"])


@given(st.lists(READS, min_size=1, max_size=4), JOIN)
def test_reading_commands_change_nothing(reads, join):
    action = steps.shell_action(join.join(reads))
    assert action.kind == steps.READ and action.edits == () and not action.runs


@given(st.lists(READS, max_size=3), WRITES, st.lists(READS, max_size=3), JOIN)
def test_a_written_file_is_an_edit_wherever_it_stands(before, write, after, join):
    command, path = write
    action = steps.shell_action(join.join([*before, command, *after]))
    assert path in action.edits and action.kind == steps.EDIT


@given(st.text(max_size=120))
def test_any_line_is_read_without_failing(line):
    action = steps.shell_action(line)
    assert action.kind in (steps.READ, steps.EDIT, steps.RUN)
