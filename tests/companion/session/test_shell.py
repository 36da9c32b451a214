"""Command lines read by the shell's own quoting and operator rules, once for every reader."""
import pytest
from hypothesis import given, settings, strategies as st

from morvex_summarize.session import evidence, shell, steps


@pytest.mark.parametrize("line, programs, written", [
    ('echo "a && b" > notes.txt', [], ["notes.txt"]),  # a quoted operator is a word
    ("cd /repo && python -m pytest -q 2>&1 | tail -5", ["pytest"], []),
    ("cat > t.py <<'EOF'\nimport os  # && rm -rf /\nEOF\npython t.py", ["cat", "python"],
     ["t.py"]),
    ("make 2> err.log; ls", ["make", "ls"], []),  # stderr's file is no change of the work
    ("FOO=1 sudo timeout 60 cargo test -p core", ["cargo test"], []),
    ("# build first\nnpm run build", ["npm run build"], []),
    ("if true; then go test ./...; fi", ["go test"], []),
    ("python -c 'print(\"unclosed", ["python"], []),  # cut short inside its quotes
])
def test_a_command_line_is_read_once_by_the_shells_rules(line, programs, written):
    assert [c.program for c in evidence.commands_of(line)] == programs
    assert [p for s in shell.simple_commands(line) for p in s.written] == written


@pytest.mark.parametrize("line, kind", [
    ("git add src/a.py", steps.READ), ("git commit -m 'x && y'", steps.RUN),
    ('echo "x; rm a.py" > log.txt', steps.EDIT),
])
def test_staging_reads_and_quoted_commands_do_not_run(line, kind):
    assert steps.shell_action(line).kind == kind
    assert not steps.shell_action(line).removed
    assert evidence.kinds(line).changes == (kind != steps.READ)


@settings(max_examples=400, deadline=None)
@given(st.text(alphabet="ab1 \t\r\n;|&()<>#$=-./*~", max_size=40))
def test_a_line_without_quotes_splits_as_shlex_splits_it(line):
    # such lines take a faster way than the lexer; what they give must not differ
    assert shell.tokens(line) == shell._lex(line)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="ab1 \t\r\n;|&()<>#$=-./*~'\"", max_size=40))
def test_a_plain_line_is_read_as_the_full_reader_reads_it(line):
    if "<<" not in line:
        assert shell.simple_commands(line) == shell._read(line, [])
