"""What each step of an agent's run did: read, edit (which files), run, submit; and how it
ended, from the structure of its output first (an exit status, an editor's refusal).

A step is one tool call with its result, or a command the agent wrote in its text (a fenced
block at the end of an assistant message, the output in the next user message). Small
readers, one per kind of tool, tell what a call does from its arguments:

- an editor tool (`command=view|create|str_replace|insert|undo_edit, path=...`);
- a patch tool or a patch text (`*** Update File: x`, `+++ b/x`);
- read, search, write and edit tools by their names, and a submission;
- a shell command line, parsed into simple commands: `sed -i`, redirections, `tee`,
  `cp`, `mv`, `rm`, `touch`, `git apply`, `patch`, heredocs, and inline Python that opens a
  file for writing; the reading commands (`cat`, `nl`, `grep`, `git diff`, ...) change
  nothing, whatever they print.

A failed edit changes nothing, and a read or a submission never fails the work.
"""

from __future__ import annotations

import functools
import re
from typing import NamedTuple

from . import evidence, programs, shell, tools

READ = "read"
EDIT = "edit"
RUN = "run"
SUBMIT = "submit"


class Action(NamedTuple):
    """What a call does, read from the call alone."""

    kind: str  # READ, EDIT, RUN or SUBMIT: the step's main effect
    edits: tuple[str, ...] = ()  # the files it writes when it succeeds
    created: tuple[str, ...] = ()  # of those, the ones it makes anew
    removed: tuple[str, ...] = ()  # the files it deletes
    maybe: tuple[str, ...] = ()  # files a cut-short script opens: changed if it says so
    runs: bool = False  # it also runs something (a script, tests, inline code)
    probe: str = ""  # inline code it runs, which names the run in place of a command
    patch: bool = False  # it applies a patch: the files may be in its output only


def holds_any(text: str, words: tuple[str, ...]) -> bool:
    """``text`` holds one of ``words``: a loop of substring tests, faster than a pattern
    or a generator where most texts hold none."""
    for word in words:
        if word in text:
            return True
    return False


# -- exit status and refusals, from the output's structure ---------------------------------

_STATUS = re.compile(  # on the output's edges in lower case
    r"<returncode>\s*(-?\d+)\s*</returncode>|^\s*(?:exit code|exit status|exit_code|"
    r"process exited with code|command exited with code|exited with code|return code|"
    r"returncode)\s*[:=]?\s*(-?\d+)\b|\[the command completed with exit code (-?\d+)\.?\]|"
    r"\[command finished with exit code (-?\d+)\]|^\s*command failed with exit code (-?\d+)|"
    r"^\s*command executed successfully \(exit code (-?\d+)\)",
    re.MULTILINE)
_STATUS_HINTS = ("returncode", "exit", "return code")
_QUIET = ("ran successfully and did not produce any output",
          "completed successfully with no output")
_EDGE = 300  # characters at each end of an output where a status is reported


def status(output: str) -> int | None:
    """The exit status an output reports in its structure (`<returncode>1</returncode>`,
    `Exit code: 1`, `Process exited with code 1`, a harness's "ran successfully and did
    not produce any output"), or None."""
    edges = output if len(output) <= 2 * _EDGE else output[:_EDGE] + "\n" + output[-_EDGE:]
    low = edges.lower()
    if holds_any(low, _STATUS_HINTS):
        found = _STATUS.search(low)
        if found is not None:
            return int(next(g for g in found.groups() if g is not None))
    if holds_any(low, _QUIET):
        return 0
    return None


# An editor or patch tool that refused the change says so in its first lines (read in
# lower case, and only when one of the words each refusal holds is there).
_REFUSED = re.compile(
    r"no replacement was performed|did not appear verbatim|no match(?:es)? found for|"
    r"(?:did not|does not|doesn't|failed to) (?:match|apply)|no exact match|"
    r"string to replace not found|"
    r"(?:proposed|your) edit has introduced|edit (?:was )?(?:not applied|rejected|failed)|"
    r"failed to (?:apply|edit|write|replace)|(?:could|can)(?:not|n't| not) be applied|"
    r"not (?:applied|found in the file)|does not exist|already exists|invalid (?:command|"
    r"range|path)|patch (?:failed|does not apply)|unrecognized input|corrupt patch|"
    r"cannot (?:edit|write|create)|permission denied|is a directory", re.MULTILINE)
# Each refusal holds one of these; most outputs hold none, and the pattern is not run.
_REFUSED_HINTS = ("be applied", "replac", "verbatim", "match", "apply", "introduced", "rejected", "failed",
                  "not found", "not applied", "exist", "invalid", "patch", "unrecognized",
                  "cannot", "denied", "directory")


def edit_refused(output: str) -> bool:
    """An edit's output says that nothing was changed: an error first, or a refusal in its
    first lines."""
    head = output.lstrip()[:400].lower()
    if head.startswith("observation:"):
        head = head[len("observation:"):].lstrip()
    lines = head.split("\n", 3)[:3]
    for line in lines:
        line = line.strip()
        if line == "error" or line.startswith(("error:", "error ", "error[", "[error]")):
            return True
    head = "\n".join(lines)
    return holds_any(head, _REFUSED_HINTS) and _REFUSED.search(head) is not None


# -- calls of tools that are not a shell -----------------------------------------------------

_EDITOR = re.compile(r"(?:^|, )command=(\w+)\b")
_PATH_ARG = re.compile(r"(?:^|, )(?:path|file_path|file|filename|target_file|target|"
                       r"notebook_path)=([^,\n]{1,200})")
_PATCH_FILE = re.compile(r"^\*\*\* (Update|Add|Delete) File: (\S+)|^\+\+\+ (?:b/)?(\S+)|"
                         r"^diff --git a/\S+ b/(\S+)", re.MULTILINE)
_SUBMIT = re.compile(r"(?i)^(?:submit|finish|done|complete|attempt_completion|task_complete|"
                     r"final_answer|end_task|complete_task)$")
_EDITOR_READS = frozenset({"view", "read", "show", "open", "cat", "list", "find", "search"})
_EDITOR_CREATES = frozenset({"create", "write", "new"})


def _patched(text: str) -> tuple[tuple[str, ...], tuple[str, ...], tuple[str, ...]]:
    """(files changed, files added, files deleted) that a patch text names."""
    changed: list[str] = []
    added: list[str] = []
    deleted: list[str] = []
    for found in _PATCH_FILE.finditer(text):
        verb, path = found.group(1), found.group(2) or found.group(3) or found.group(4)
        if path == "/dev/null":
            continue
        target = deleted if verb == "Delete" else added if verb == "Add" else changed
        if path not in target:
            target.append(path)
    return tuple(changed), tuple(added), tuple(deleted)


_PLAIN = {kind: Action(kind) for kind in (READ, EDIT, RUN, SUBMIT)}  # shared: immutable


@functools.lru_cache(maxsize=256)
def _named_kind(name: str) -> str:
    """What a tool no agent's table knows does, by its name alone."""
    if _SUBMIT.match(name):
        return SUBMIT
    if evidence.tool_reads(name):
        return READ
    return EDIT if evidence.tool_changes(name) else RUN


@functools.lru_cache(maxsize=64)
def _path_argument(names: tuple[str, ...]) -> re.Pattern[str]:
    return re.compile(r"(?:^|, )(?:" + "|".join(map(re.escape, names)) + r")=([^,\n]{1,200})")


def _editor(brief: str) -> Action | None:
    """A one-tool editor's call (`command=view|create|str_replace|..., path=...`), read by
    its command wherever the brief puts it."""
    editor = _EDITOR.search(brief)
    path = _PATH_ARG.search(brief)
    if editor is None or path is None:
        return None
    verb, target = editor.group(1).lower(), (path.group(1).strip(),)
    if verb in _EDITOR_READS:
        return _PLAIN[READ]
    return Action(EDIT, edits=target, created=target if verb in _EDITOR_CREATES else ())


def _patch_action(brief: str) -> Action | None:
    if "*** " in brief or "+++ " in brief or "diff --git" in brief:
        changed, added, deleted = _patched(brief.replace("\\n", "\n"))
        if changed or added or deleted:
            return Action(EDIT, edits=changed + added, created=added, removed=deleted,
                          patch=True)
    return None


def _known(row: tools.Tool, brief: str) -> Action:
    """What a call of a tool in an agent's table does."""
    if row.editor:
        return _editor(brief) or _PLAIN[READ]
    kind = row.kind
    if kind in tools.QUIET:
        return _PLAIN[READ]
    if kind == tools.FINISH:
        return _PLAIN[SUBMIT]
    if kind == tools.PATCH:
        return _patch_action(brief) or Action(EDIT, patch=True)
    if kind != tools.EDIT:
        return _PLAIN[RUN]
    found = _path_argument(row.paths).search(brief) if row.paths else None
    if found is None:
        found = _PATH_ARG.search(brief)
    if found is None:
        return Action(EDIT)
    target = (found.group(1).strip(),)
    if row.removes:
        return Action(EDIT, removed=target)
    return Action(EDIT, edits=target, created=target if row.creates else ())


def tool_action(name: str, brief: str) -> Action:
    """What a call of a tool that is not a shell does: by the agents' table of tools, else
    from its name and the brief of its arguments."""
    row = tools.lookup(name)
    if row is not None:
        return _known(row, brief)
    if brief.startswith("command="):
        found = _editor(brief)
        if found is not None:
            return found
    patched = _patch_action(brief)
    if patched is not None:
        return patched
    kind = _named_kind(name)
    if kind != EDIT:
        return _PLAIN[kind]
    path = _PATH_ARG.search(brief)
    return Action(EDIT, edits=(path.group(1).strip(),) if path else ())


# -- shell command lines -------------------------------------------------------------------

# What inline code does to the files it opens.
_OPENED = re.compile(r"(?:Path|open|io\.open|codecs\.open)\(\s*[rbuf]?['\"]([^'\"\n]+)['\"]")
_WRITES = re.compile(r"\.write_text\(|\.write_bytes\(|\.write\(|\.writelines\(|"
                     r"open\([^)\n]*['\"][wax]\+?b?['\"]|\bmode\s*=\s*['\"][wax]|"
                     r"shutil\.(?:copy\w*|move)\(|os\.(?:replace|rename)\(")


def _operands(words: list[str]) -> list[str]:
    return [w for w in words[1:] if not w.startswith("-")]


class _Shell:
    """What the simple commands of a command line do, gathered."""

    def __init__(self) -> None:
        self.edits: list[str] = []
        self.created: list[str] = []
        self.removed: list[str] = []
        self.maybe: list[str] = []
        self.runs = False
        self.probe = ""
        self.patch = False

    def add(self, words: list[str], written: list[str], body: str | None,
            cut: bool) -> None:
        for path in written:
            self._edit(path, created=True)
        words = shell.bare(words)
        if not words:
            return
        program = words[0].rsplit("/", 1)[-1]
        rest = words[1:]
        if program in ("sed", "perl") and any(w.startswith("-i") or w == "-pi" or
                                              w.startswith("-pi") for w in rest):
            operands = _operands(words)
            for path in operands[1:] if program == "sed" else operands:
                if "." in path or "/" in path:
                    self._edit(path)
        elif program == "tee":
            for path in _operands(words):
                if not path.startswith(shell.NOT_FILES):
                    self._edit(path, created=True)
        elif program in ("cp", "mv", "install", "ln") and len(_operands(words)) >= 2:
            operands = _operands(words)
            self._edit(operands[-1], created=True)
            if program == "mv":
                self.removed.extend(operands[:-1])
        elif program in ("rm", "unlink", "rmdir"):
            self.removed.extend(_operands(words))
        elif program == "touch":
            for path in _operands(words):
                self._edit(path, created=True)
        elif program == "git" and rest and rest[0] in ("apply", "am"):
            self._patch(body)
        elif program == "git" and rest and rest[0] in ("checkout", "restore") and "--" in rest:
            for path in rest[rest.index("--") + 1:]:
                self._edit(path)
        elif program in ("patch", "apply_patch", "applypatch"):
            self._patch(body)
        elif program in programs.READS or (program == "sed" and "-i" not in rest):
            pass
        elif program == "git" and (not rest or rest[0] in programs.GIT_READS):
            pass
        elif programs.INTERPRETERS.match(program):
            self._interpret(rest, body, cut)
        else:
            self.runs = True

    def _edit(self, path: str, created: bool = False) -> None:
        if path and not path.startswith(shell.NOT_FILES) and path not in self.edits:
            self.edits.append(path)
            if created:
                self.created.append(path)

    def _patch(self, body: str | None) -> None:
        self.patch = True
        if body:
            changed, added, deleted = _patched(body)
            for path in changed:
                self._edit(path)
            for path in added:
                self._edit(path, created=True)
            self.removed.extend(deleted)

    def _interpret(self, rest: list[str], body: str | None, cut: bool) -> None:
        self.runs = True
        code = None
        if "-c" in rest and rest.index("-c") + 1 < len(rest):
            code = rest[rest.index("-c") + 1]
        elif body is not None and (not rest or rest[0] == "-" or rest[0].startswith("-")):
            code = body
        if code is None:
            return
        self.probe = " ".join(code.split())[:200]
        opened = [p for p in _OPENED.findall(code) if not p.startswith(shell.NOT_FILES)]
        if _WRITES.search(code):
            for path in opened:
                self._edit(path)
        elif cut:
            self.maybe.extend(opened)


@functools.lru_cache(maxsize=4096)
def shell_action(line: str) -> Action:
    """What a shell command line does, read from its words (the brief cuts a long one
    short: then ``...`` ends it)."""
    cut = line.endswith("...")
    commands = shell.simple_commands(line)
    fed = [at for at, simple in enumerate(commands) if simple.body is not None]
    gathered = _Shell()
    for at, simple in enumerate(commands):
        gathered.add(list(simple.words), list(simple.written), simple.body,
                     cut and bool(fed) and at == fed[-1])
    return _gathered(gathered)


def _gathered(gathered: _Shell) -> Action:
    reads = not (gathered.edits or gathered.removed or gathered.runs or gathered.patch
                 or gathered.maybe)
    kind = READ if reads else EDIT if (gathered.edits or gathered.removed) and \
        not gathered.runs else RUN
    return Action(kind, tuple(gathered.edits), tuple(gathered.created),
                  tuple(gathered.removed), tuple(gathered.maybe), gathered.runs,
                  gathered.probe, gathered.patch)


def action(tool: str, brief: str, line: str | None) -> Action:
    """What a call does: by its command line for a shell, else by the tool."""
    return shell_action(line) if line is not None else tool_action(tool, brief)


# -- what an output says about files --------------------------------------------------------

_SAYS_CHANGED = re.compile(
    r"(?im)^\W*(?:patched|updated|wrote|written|modified|edited|saved|created|fixed|"
    r"rewrote|replaced \d+ \w+ in|applied (?:patch )?to)\s+(?:file\s+)?[`'\"]?"
    r"([\w./-]+\.\w{1,6})\b"
    r"|^\W*[`'\"]?([\w./-]+\.\w{1,6})[`'\"]?:?\s+(?:(?:was|has been|is)\s+)?(?:patched|updated|"
    r"written|modified|edited|saved|rewritten|fixed)\b"
    r"|^\s*patching file [`'\"]?([\w./-]+)"
    r"|^\[File: ([^\s\]]+) \(\d+ lines total\)\]"
    r"|^[ \t]*[MA][ \t]+([\w./-]+\.\w{1,6})[ \t]*$")  # a patch tool's list of the files
_SAYS_PATCHED = re.compile(r"(?im)^\W*(?:patched|updated|wrote|written|modified|edited|"
                           r"saved|replaced|applied|done patching|patch applied)\b")


_NO_OP = re.compile(r"(?m)nothing to commit|no changes added to commit|^\W*already up[ -]to[ -]"
                    r"date|requirement already satisfied|^\W*nothing to do\b|\b0 files? changed|"
                    r"no changes (?:detected|to apply|made)\b")  # in lower case
_NO_OP_HINTS = ("nothing", "already", "0 file", "no changes")


def no_op(output: str) -> bool:
    """An output says that the command changed nothing ("nothing to commit", "Already
    up to date", "Requirement already satisfied")."""
    low = output[:2000].lower()
    return holds_any(low, _NO_OP_HINTS) and _NO_OP.search(low) is not None


def changed_in_output(output: str) -> tuple[str, ...]:
    """The files an output says were changed ("Patched voting.py", "forms.py updated",
    "patching file x.c")."""
    found = []
    for match in _SAYS_CHANGED.finditer(output):
        path = next(g for g in match.groups() if g)
        if path not in found and not path.replace(".", "").isdigit():
            found.append(path)
    return tuple(found)


_NUMBERED = re.compile(r"^[ \t]*\d+\t.*$", re.MULTILINE)  # a file shown with line numbers
PRINTED = re.compile(r"^[ \t]*[(\[][ \t]*['\"].*$", re.MULTILINE)
"""A value a script printed (a tuple or list of strings): what it holds is data, not the
script's own failure."""


def run_outcome(output: str, status: int | None, tool: bool) -> str | None:
    """How a run ended (`evidence.FAILED`, `evidence.PASSED` or None): its exit status
    decides a failure; else the output's evidence (a file's numbered lines in it are the
    file, not the run). ``tool``: a tool's run, not a command line, whose exit status 0
    alone is no pass."""
    if no_op(output):
        return None  # "nothing to commit": nothing was done, nothing failed
    if status not in (None, 0):
        return evidence.FAILED
    if status is None and still_running(output):
        return None  # a server or a watcher left running has not ended, nor failed
    if "\t" in output:
        output = _NUMBERED.sub("", output)
    if "('" in output or '("' in output or "['" in output or '["' in output:
        output = PRINTED.sub("", output)
    found = evidence.outcome(output)
    if status == 0 and found == evidence.FAILED:
        return None  # it ended well by its exit status: a word "Error" it printed is data
    if found is None and status == 0 and not tool:
        return evidence.PASSED
    return found


_RUNNING = re.compile(r"(?im)^\W*(?:process running with session id|command is still running|"
                      r"(?:server|process|command) (?:is )?(?:still )?running in the background|"
                      r"running in (?:the )?background with (?:id|pid))\b")


def still_running(output: str) -> bool:
    """An output says that the command goes on (a shell session left open, a server
    started in the background): how it ends is not known yet."""
    return "unning" in output and _RUNNING.search(output[:2000]) is not None


def says_changed(output: str) -> bool:
    """An output says that something was patched, written or updated."""
    return _SAYS_PATCHED.search(output) is not None


def diff_files(output: str) -> tuple[str, ...]:
    """The files a diff in an output changes (`diff --git a/x b/x`, `+++ b/x`)."""
    if "diff --git" not in output and "+++ " not in output:
        return ()
    changed, added, _ = _patched(output)
    return changed + tuple(a for a in added if a not in changed)


# -- commands written in an assistant's text ----------------------------------------------

# The last fenced block, opening a line and closing the text: its body holds no fence, so
# the closing fence of a block before it is never taken for an opening one.
_FENCE = re.compile(r"(?:\A|\n)[ \t]*```[ \t]*(?:bash|sh|shell|console|zsh)?[ \t]*\n"
                    r"((?:(?!```).)*?)\n[ \t]*```\s*\Z", re.DOTALL)
# A line that is a file's name alone: the fenced block under it is that file's text.
_FILE_LINE = re.compile(r"[`*]*[\w./-]+\.\w{1,8}[`*:]*[ \t]*\Z")


def text_action(text: str) -> str | None:
    """The command an assistant's message ends with, in a fenced block, for agents that
    act in text: the output then comes as the next user message. A block under a line
    that names a file alone is that file's new text, not a command."""
    if "```" not in text:
        return None
    found = _FENCE.search(text)
    if found is None:
        return None
    before = text[:found.start()].rstrip("\n").rsplit("\n", 1)[-1].strip()
    if before and _FILE_LINE.match(before):
        return None
    command = found.group(1).strip()
    if "<<<<<<<" in command or command.startswith(("--- ", "diff ", "*** ")):
        return None  # an edit shown in the text, not a command
    return command or None


_EDIT_BLOCK = re.compile(r"^[`*]*([\w./-]+\.\w{1,8})[`*:]*[ \t]*\n(?:```[\w+-]*[ \t]*\n)?"
                         r"<<<<<<< SEARCH", re.MULTILINE)
_DIFF_BLOCK = re.compile(r"```(?:diff|patch)[ \t]*\n(.*?)(?:```|\Z)", re.DOTALL)


# A patch written as a file's tags: `<file>x</file>` then its `<original>` or `<patched>`.
_TAGGED_EDIT = re.compile(r"<file>\s*([^<>\n]{1,300}?)\s*</file>\s*(?:```[\w+-]*\s*)?"
                          r"<(?:original|patched)>")
# A tool called in XML within the text (`<write_to_file><path>x</path>...`): the tag is the
# tool, its first child naming a file is the file.
_XML_CALL = re.compile(r"<([A-Za-z_]\w*)>\s*<(path|file_path|absolutePath|target_file|"
                       r"filePath|filepath)>\s*([^<>\n]{1,300}?)\s*</\2>")
_XML_COMMAND = re.compile(r"<(execute_command|run_shell_command|run_terminal_cmd)>\s*"
                          r"<command>\s*(.*?)\s*</command>", re.DOTALL)


# A file's name in backquotes: a path, or a name with an extension.
_QUOTED_FILE = re.compile(r"`((?:[\w.@~-]+/)*[\w@~-][\w.@~-]*\.[A-Za-z]\w{0,7})`")


def _named_before(text: str, at: int) -> list[str]:
    """The file a diff that names none changes: the one file named in backquotes by the
    words just before it (since the block before), as in "I'll add it to `a.ts`:"; none
    when they name none or several."""
    start = text.rfind("```", 0, at)
    words = text[start + 3 if start >= 0 else 0:at]
    if start >= 0 and text.count("```", 0, at) % 2:
        return []  # inside another block
    names = set(_QUOTED_FILE.findall(words[-600:]))
    return list(names) if len(names) == 1 else []


def text_edits(text: str) -> tuple[str, ...]:
    """The files an assistant's message edits in its own text: search/replace blocks
    under a file's name, diffs in a fenced block (`+++ b/x`, `*** Update File: x`), a
    file's tags with its patched text, and edit tools called in XML."""
    found = []
    if "<<<<<<<" in text:
        found += _EDIT_BLOCK.findall(text)
    if "```" in text and ("+++ " in text or "*** " in text or "```diff" in text):
        for block in _DIFF_BLOCK.finditer(text):
            changed, added, _ = _patched(block.group(1))
            found += [*changed, *added] or _named_before(text, block.start())
    if "</file>" in text:
        found += _TAGGED_EDIT.findall(text)
    if "<" in text and ">" in text:
        for tag, _, path in _XML_CALL.findall(text):
            row = tools.lookup(tag)
            if row is not None and row.kind == tools.EDIT:
                found.append(path)
    return tuple(dict.fromkeys(found))


def xml_command(text: str) -> str | None:
    """The command line a shell tool called in XML within the text runs, or None."""
    if "<command>" not in text:
        return None
    found = _XML_COMMAND.search(text)
    return found.group(2) if found is not None and found.group(2) else None


# A terminal's run shown in a message: the command's fenced block, then (past blank lines)
# a plain fenced block whose first line is the prompt with that command.
_CONSOLE_RUN = re.compile(r"```[ \t]*(?:bash|sh|shell|console|zsh|terminal)[ \t]*\n"
                          r"(?P<command>(?:(?!```).)+?)\n[ \t]*```[ \t]*\n(?:[ \t]*\n)*"
                          r"```[ \t]*\n(?P<output>(?:(?!```).)*?)\n?[ \t]*```", re.DOTALL)


def console_runs(text: str) -> list[tuple[str, int, int]]:
    """The commands a message shows run in a terminal, each with where its output starts
    and ends in ``text``: only where the output opens with the prompt and the command, as
    a terminal echoes it, so an output the message merely expects is none."""
    if "```" not in text:
        return []
    found = []
    for run in _CONSOLE_RUN.finditer(text):
        command = run.group("command").strip()
        output = run.group("output")
        first = next((line for line in output.split("\n") if line.strip()), "")
        if command and first.rstrip().endswith(command.split("\n", 1)[0].strip()) and \
                first.strip() != command.split("\n", 1)[0].strip():
            begin = run.start("output") + output.index(first) + len(first)
            end = run.end("output")
            prompt = first.rstrip()[:-len(command.split("\n", 1)[0].strip())].strip()
            last = output.rstrip().rsplit("\n", 1)[-1]
            if prompt and last.strip() == prompt:  # the prompt it came back to
                end = run.start("output") + output.rstrip().rindex(last)
            found.append((command, min(begin + 1, end), end))
    return found


# A harness that applies the edits a reply writes in its text names each file it changed.
_APPLIED = re.compile(r"(?im)^\W*applied (?:the )?(?:edits?|changes?|patch) to\s+[`'\"]?"
                      r"([\w./-]+\.\w{1,8})\b")


def applied_edits(output: str) -> tuple[str, ...]:
    """The files an answer to a reply says its edits were applied to ("Applied edit to
    src/x.py"): changed, whatever shape the reply wrote them in (edit blocks, whole
    files)."""
    if "pplied" not in output:
        return ()
    return tuple(dict.fromkeys(_APPLIED.findall(output)))


# What a tool pasted back in the user role starts with: the command it ran.
_CONSOLE = re.compile(
    r"\A[ \t>]*(?:\$ (?P<prompt>[^\n]+)|(?:running|ran|run|executed|output of|results of|"
    r"result of)\b[ \t]*:?[ \t]*(?:`(?P<named>[^`\n]+)`|(?P<bare>[^`\n]{1,200}?))[ \t]*:?)"
    r"[ \t]*\n(?=[ \t>]*\S)", re.IGNORECASE)


def console(text: str) -> tuple[str, int] | None:
    """(the command, where its output starts) when a user message is a tool's console
    text pasted back ("$ pytest -q", "Ran `pytest -q`", "> Running go test ./..." first,
    output after it), else None. A command named without quotes must start with a
    program that checks, reads or changes (not "Run the tests please")."""
    found = _CONSOLE.match(text)
    if found is None:
        return None
    command = (found.group("prompt") or found.group("named") or found.group("bare")).strip()
    if found.group("bare") is not None:
        first = evidence.commands_of(command)[:1]
        if not first or not (evidence.is_check(first[0]) or evidence.is_read(first[0], command)
                             or evidence.is_change(first[0], command)):
            return None
    return command, found.end()


# -- the same check run again -------------------------------------------------------------

_SCRIPT = re.compile(r"\.(?:py|js|mjs|ts|rb|sh|pl|php)$")


def check_key(command: evidence.Command, probe: str = "") -> evidence.Command:
    """The identity of a check, the same for its runs from another folder: a script by its
    file name (`python /repo/x.py` and `cd /repo && python x.py` are one check), inline
    code by its text."""
    if probe:
        return evidence.Command("inline:" + command.program, frozenset({probe}))
    if programs.INTERPRETERS.match(command.program) or command.program.startswith("./"):
        return evidence.Command(command.program.rsplit("/", 1)[-1].rstrip("0123456789."),
                                frozenset(t.rsplit("/", 1)[-1] for t in command.targets))
    return command


_INLINE = re.compile(r"(?:^|\s)(?:python[\d.]*|node|ruby|perl|bash|sh)\s+(?:-c\b|-\s*<<|<<)")


def inline(command: str) -> bool:
    """A command line runs inline code (`python -c ...`, `python - <<EOF`)."""
    return _INLINE.search(command) is not None
