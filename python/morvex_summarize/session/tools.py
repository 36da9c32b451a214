"""What each known agent's tools do, by name: a table gathered from the agents' own tool
definitions and documentation, for each tool its kind and the arguments that name the file
it changes (or the command it runs).

Names that look like edits and are not stand here under their real kind: to-do and plan
tools (`TodoWrite`, `write_todos`, `update_plan`, ...), memory tools, mode switches. One-tool
editors (`str_replace_editor`, `file_editor`, `text_editor`) are read by their `command`
argument, never by their name. A tool that is in no row is read from its arguments
(`steps.tool_action`).
"""

from __future__ import annotations

import functools
from typing import NamedTuple

READ = "read"
SEARCH = "search"
EDIT = "edit"
PATCH = "patch"
RUN = "run"
CHECK = "check"
PLAN = "plan"
DELEGATE = "delegate"
ASK = "ask"
WEB = "web"
FINISH = "finish"
MEMORY = "memory"
OTHER = "other"

KINDS = (READ, SEARCH, EDIT, PATCH, RUN, CHECK, PLAN, DELEGATE, ASK, WEB, FINISH, MEMORY, OTHER)
QUIET = frozenset({READ, SEARCH, PLAN, DELEGATE, ASK, WEB, MEMORY, OTHER})
"""The kinds that change no file of the work and whose output never fails it."""


class Tool(NamedTuple):
    """One tool: what it does and where its arguments say on what."""

    kind: str
    paths: tuple[str, ...] = ()  # the arguments naming the file it reads or changes
    command: str = ""  # the argument holding a command line (RUN) or patch text (PATCH)
    editor: bool = False  # one tool that views and edits: its `command` argument decides
    creates: bool = False  # it makes a new file (a tool that may overwrite one does not)
    removes: bool = False  # it deletes the file


def _t(kind: str, *paths: str, command: str = "", editor: bool = False,
       creates: bool = False, removes: bool = False) -> Tool:
    return Tool(kind, paths, command, editor, creates, removes)


_EDITOR = _t(EDIT, "path", editor=True)

# Agent by agent; a name two agents share must mean the same kind in both (a test checks).
AGENTS: dict[str, dict[str, Tool]] = {
    "claude-code": {
        "Read": _t(READ, "file_path"), "NotebookRead": _t(READ, "notebook_path"),
        "LS": _t(SEARCH, "path"), "Glob": _t(SEARCH, "path"), "Grep": _t(SEARCH, "path"),
        "Edit": _t(EDIT, "file_path"), "MultiEdit": _t(EDIT, "file_path"),
        "Write": _t(EDIT, "file_path"),
        "NotebookEdit": _t(EDIT, "notebook_path"),
        "Bash": _t(RUN, command="command"), "PowerShell": _t(RUN, command="command"),
        "BashOutput": _t(READ), "TaskOutput": _t(READ), "KillShell": _t(OTHER),
        "KillBash": _t(OTHER), "TaskStop": _t(OTHER),
        "TodoWrite": _t(PLAN), "TodoRead": _t(PLAN), "TaskCreate": _t(PLAN),
        "TaskGet": _t(PLAN), "TaskUpdate": _t(PLAN), "TaskList": _t(PLAN),
        "EnterPlanMode": _t(PLAN), "ExitPlanMode": _t(PLAN),
        "Task": _t(DELEGATE), "Agent": _t(DELEGATE), "SendMessage": _t(DELEGATE),
        "ListAgents": _t(DELEGATE), "AskUserQuestion": _t(ASK),
        "WebFetch": _t(WEB), "WebSearch": _t(WEB), "Skill": _t(OTHER),
        "SlashCommand": _t(OTHER), "ToolSearch": _t(OTHER), "LSP": _t(READ),
        "ListMcpResourcesTool": _t(READ), "ReadMcpResourceTool": _t(READ),
    },
    "codex": {
        "shell": _t(RUN, command="command"), "shell_command": _t(RUN, command="command"),
        "exec_command": _t(RUN, command="cmd"), "write_stdin": _t(RUN, command="chars"),
        "local_shell": _t(RUN, command="command"),
        "apply_patch": _t(PATCH, command="input"), "update_plan": _t(PLAN),
        "request_user_input": _t(ASK), "view_image": _t(READ, "path"),
        "read_file": _t(READ, "file_path", "path", "absolute_path", "target_file",
                        "filepath", "filePath"),
        "list_dir": _t(SEARCH, "dir_path", "path", "relative_workspace_path",
                       "target_directory"),
        "grep_files": _t(SEARCH, "path"), "web_search": _t(WEB),
        "spawn_agent": _t(DELEGATE), "send_input": _t(DELEGATE), "send_message": _t(DELEGATE),
        "followup_task": _t(DELEGATE), "wait_agent": _t(DELEGATE), "close_agent": _t(DELEGATE),
        "resume_agent": _t(DELEGATE), "list_agents": _t(DELEGATE),
    },
    "cursor": {
        "codebase_search": _t(SEARCH), "grep_search": _t(SEARCH), "grep": _t(SEARCH, "path"),
        "file_search": _t(SEARCH), "glob_file_search": _t(SEARCH),
        "edit_file": _t(EDIT, "target_file", "path", "file_path"),
        "search_replace": _t(EDIT, "file_path"),
        "delete_file": _t(EDIT, "target_file", "path", removes=True),
        "reapply": _t(EDIT, "target_file"), "edit_notebook": _t(EDIT, "target_notebook"),
        "run_terminal_cmd": _t(RUN, command="command"), "todo_write": _t(PLAN),
        "update_memory": _t(MEMORY), "fetch_rules": _t(READ), "read_lints": _t(CHECK),
        "create_diagram": _t(OTHER),
    },
    "cline": {
        "list_files": _t(SEARCH, "path"), "search_files": _t(SEARCH, "path"),
        "list_code_definition_names": _t(SEARCH, "path"),
        "write_to_file": _t(EDIT, "path", "absolutePath", "TargetFile"),
        "replace_in_file": _t(EDIT, "path", "absolutePath"),
        "execute_command": _t(RUN, command="command"), "ask_followup_question": _t(ASK),
        "attempt_completion": _t(FINISH), "plan_mode_respond": _t(PLAN),
        "act_mode_respond": _t(PLAN), "focus_chain": _t(PLAN), "task_progress": _t(PLAN),
        "use_subagents": _t(DELEGATE), "new_task": _t(DELEGATE), "web_fetch": _t(WEB),
        "browser_action": _t(WEB), "use_mcp_tool": _t(OTHER), "access_mcp_resource": _t(READ),
        "load_mcp_documentation": _t(READ), "use_skill": _t(OTHER), "condense": _t(OTHER),
        "summarize_task": _t(OTHER), "report_bug": _t(OTHER), "new_rule": _t(OTHER),
        "generate_explanation": _t(OTHER), "read_files": _t(READ), "search_codebase": _t(SEARCH),
        "run_commands": _t(RUN, command="commands"), "fetch_web_content": _t(WEB),
        "editor": _t(EDIT, "path"), "ask_question": _t(ASK), "submit_and_exit": _t(FINISH),
        "skills": _t(OTHER),
    },
    "roo": {
        "apply_diff": _t(EDIT, "path"), "insert_content": _t(EDIT, "path"),
        "search_and_replace": _t(EDIT, "path"), "edit": _t(EDIT, "file_path", "filePath", "path"),
        "read_command_output": _t(READ), "update_todo_list": _t(PLAN), "switch_mode": _t(OTHER),
        "run_slash_command": _t(OTHER), "skill": _t(OTHER), "generate_image": _t(OTHER),
        "fetch_instructions": _t(READ), "fast_edit_file": _t(EDIT, "path"),
    },
    "openhands": {
        "execute_bash": _t(RUN, command="command"), "terminal": _t(RUN, command="command"),
        "str_replace_editor": _EDITOR, "file_editor": _EDITOR,
        "planning_file_editor": _EDITOR, "execute_ipython_cell": _t(RUN, command="code"),
        "browser": _t(WEB), "task_tracker": _t(PLAN), "think": _t(PLAN),
        "request_condensation": _t(OTHER), "finish": _t(FINISH), "delegate": _t(DELEGATE),
        "task": _t(DELEGATE),
    },
    "gemini-cli": {
        "read_many_files": _t(READ), "list_directory": _t(SEARCH, "dir_path", "path"),
        "glob": _t(SEARCH, "dir_path", "path"), "search_file_content": _t(SEARCH, "path"),
        "write_file": _t(EDIT, "file_path"), "replace": _t(EDIT, "file_path"),
        "run_shell_command": _t(RUN, command="command"), "write_todos": _t(PLAN),
        "tracker_create_task": _t(PLAN), "tracker_update_task": _t(PLAN),
        "tracker_get_task": _t(PLAN), "tracker_list_tasks": _t(PLAN),
        "tracker_add_dependency": _t(PLAN), "tracker_visualize": _t(PLAN),
        "enter_plan_mode": _t(PLAN), "exit_plan_mode": _t(PLAN), "invoke_agent": _t(DELEGATE),
        "complete_task": _t(FINISH), "ask_user": _t(ASK), "google_web_search": _t(WEB),
        "save_memory": _t(MEMORY), "activate_skill": _t(OTHER), "get_internal_docs": _t(READ),
        "update_topic": _t(OTHER), "read_mcp_resource": _t(READ),
        "list_mcp_resources": _t(READ),
    },
    "goose": {
        "developer__shell": _t(RUN, command="command"), "developer__text_editor": _EDITOR,
        "text_editor": _EDITOR, "developer__list_windows": _t(OTHER),
        "developer__screen_capture": _t(OTHER), "developer__image_processor": _t(READ),
    },
    "swe-agent": {
        "bash": _t(RUN, command="command"), "open": _t(READ, "path"), "goto": _t(READ),
        "scroll_up": _t(READ), "scroll_down": _t(READ), "create": _t(EDIT, "filename",
                                                                       creates=True),
        "find_file": _t(SEARCH), "search_dir": _t(SEARCH), "search_file": _t(SEARCH),
        "filemap": _t(READ, "file_path"), "submit": _t(FINISH), "exit_forfeit": _t(FINISH),
    },
    "opencode": {
        "read": _t(READ, "filePath"), "list": _t(SEARCH, "path"),
        "write": _t(EDIT, "filePath", "file_path", "filepath"),
        "multiedit": _t(EDIT, "filePath", "file_path"), "patch": _t(PATCH, command="patchText"),
        "todowrite": _t(PLAN), "todoread": _t(PLAN), "plan_exit": _t(PLAN),
        "plan_enter": _t(PLAN), "question": _t(ASK), "webfetch": _t(WEB), "websearch": _t(WEB),
        "codesearch": _t(SEARCH), "lsp": _t(READ), "batch": _t(OTHER), "invalid": _t(OTHER),
    },
    "continue": {
        "read_file_range": _t(READ, "filepath"), "read_currently_open_file": _t(READ),
        "ls": _t(SEARCH, "dirPath", "path"), "view_subdirectory": _t(SEARCH),
        "view_repo_map": _t(SEARCH), "file_glob_search": _t(SEARCH), "codebase": _t(SEARCH),
        "edit_existing_file": _t(EDIT, "filepath"),
        "single_find_and_replace": _t(EDIT, "filepath"), "multi_edit": _t(EDIT, "filepath"),
        "create_new_file": _t(EDIT, "filepath", creates=True),
        "create_rule_block": _t(OTHER), "run_terminal_command": _t(RUN, command="command"),
        "view_diff": _t(READ), "fetch_url_content": _t(WEB), "search_web": _t(WEB),
        "request_rule": _t(READ), "read_skill": _t(READ), "Checklist": _t(PLAN),
    },
    "copilot": {
        "read_notebook_cell_output": _t(READ), "copilot_getNotebookSummary": _t(READ),
        "semantic_search": _t(SEARCH), "search_workspace_symbols": _t(SEARCH),
        "test_search": _t(SEARCH), "get_search_view_results": _t(SEARCH),
        "read_project_structure": _t(SEARCH),
        "replace_string_in_file": _t(EDIT, "filePath"),
        "multi_replace_string_in_file": _t(EDIT, "filePath"),
        "insert_edit_into_file": _t(EDIT, "filePath"),
        "create_file": _t(EDIT, "filePath", "path", creates=True),
        "create_directory": _t(EDIT, "dirPath"), "edit_notebook_file": _t(EDIT, "filePath"),
        "run_notebook_cell": _t(RUN), "run_in_terminal": _t(RUN, command="command"),
        "get_terminal_output": _t(READ), "terminal_last_command": _t(READ),
        "terminal_selection": _t(READ), "create_and_run_task": _t(RUN), "run_task": _t(RUN),
        "get_task_output": _t(READ), "runTests": _t(CHECK), "test_failure": _t(CHECK),
        "get_errors": _t(CHECK), "manage_todo_list": _t(PLAN), "runSubagent": _t(DELEGATE),
        "search_subagent": _t(DELEGATE), "execution_subagent": _t(DELEGATE),
        "vscode_askQuestions": _t(ASK), "vscode_get_confirmation": _t(ASK),
        "switch_agent": _t(OTHER), "memory": _t(MEMORY), "fetch_webpage": _t(WEB),
        "github_repo": _t(WEB), "get_changed_files": _t(READ),
    },
    "amp": {
        "Grep": _t(SEARCH, "path"), "finder": _t(SEARCH),
        "codebase_search_agent": _t(SEARCH), "undo_edit": _t(EDIT, "path"),
        "format_file": _t(EDIT, "path"), "Check": _t(CHECK), "get_diagnostics": _t(CHECK),
        "todo_read": _t(PLAN), "task_list": _t(PLAN), "oracle": _t(DELEGATE),
        "librarian": _t(DELEGATE), "read_web_page": _t(WEB), "mermaid": _t(OTHER),
        "read_thread": _t(READ), "find_thread": _t(READ), "handoff": _t(OTHER),
        "look_at": _t(READ),
    },
    "qwen-code": {
        "task_create": _t(PLAN), "task_get": _t(PLAN), "task_update": _t(PLAN),
        "task_stop": _t(PLAN), "task_output": _t(PLAN), "agent": _t(DELEGATE),
        "ask_user_question": _t(ASK),
    },
    "crush": {
        "view": _t(READ, "file_path"), "sourcegraph": _t(SEARCH), "job_output": _t(READ),
        "job_kill": _t(OTHER), "todos": _t(PLAN), "fetch": _t(WEB), "agentic_fetch": _t(WEB),
        "download": _t(WEB), "lsp_diagnostics": _t(CHECK), "lsp_references": _t(READ),
        "lsp_definition": _t(READ), "lsp_symbols": _t(READ),
    },
    "windsurf": {
        "view_file": _t(READ, "AbsolutePath"), "view_code_item": _t(READ, "File"),
        "view_content_chunk": _t(READ), "find_by_name": _t(SEARCH),
        "replace_file_content": _t(EDIT, "TargetFile"), "run_command": _t(RUN,
                                                                           command="CommandLine"),
        "command_status": _t(READ), "read_terminal": _t(READ), "create_memory": _t(MEMORY),
        "read_url_content": _t(WEB), "browser_preview": _t(WEB),
        "suggested_responses": _t(ASK),
    },
}

# Names several agents share, with the arguments each gives the file, merged into one row.
_SHARED: dict[str, Tool] = {
    "read_file": _t(READ, "path", "file_path", "absolute_path", "target_file", "filepath",
                    "filePath"),
    "grep_search": _t(SEARCH), "glob": _t(SEARCH, "path", "dir_path"),
    "Glob": _t(SEARCH, "path"), "Read": _t(READ, "file_path", "path"),
    "list_dir": _t(SEARCH, "path", "dir_path", "relative_workspace_path", "target_directory",
                   "DirectoryPath"),
    "edit": _t(EDIT, "file_path", "filePath", "path"),
    "edit_file": _t(EDIT, "target_file", "path", "file_path"),
    "write_to_file": _t(EDIT, "path", "absolutePath", "TargetFile"),
    "write": _t(EDIT, "filePath", "file_path", "filepath"),
    "create_file": _t(EDIT, "filePath", "path", creates=True),
    "Write": _t(EDIT, "file_path", "filepath"),
    "Edit": _t(EDIT, "file_path"), "MultiEdit": _t(EDIT, "file_path"),
    "apply_patch": _t(PATCH, command="input"), "bash": _t(RUN, command="command"),
    "Bash": _t(RUN, command="command"), "web_search": _t(WEB), "web_fetch": _t(WEB),
    "todo_write": _t(PLAN), "delete_file": _t(EDIT, "target_file", "path", removes=True),
    "Task": _t(DELEGATE), "task": _t(DELEGATE), "read_mcp_resource": _t(READ),
    "list_directory": _t(SEARCH, "dir_path", "path"), "view_image": _t(READ, "path"),
    "grep": _t(SEARCH, "path"), "ls": _t(SEARCH, "path"), "finish": _t(FINISH),
    "think": _t(PLAN), "save_memory": _t(MEMORY), "codebase_search": _t(SEARCH),
    "file_search": _t(SEARCH),
}


def _merged() -> dict[str, Tool]:
    table: dict[str, Tool] = {}
    for tools in AGENTS.values():
        for name, tool in tools.items():
            table.setdefault(name, tool)
    table.update(_SHARED)
    return table


TABLE = _merged()
"""Every tool by name, whichever agent has it."""
_FOLDED = {name.lower(): tool for name, tool in reversed(TABLE.items())}


@functools.lru_cache(maxsize=512)
def lookup(name: str, agent: str | None = None) -> Tool | None:
    """The row of a tool by its name (an agent's own row first when the agent is known), or
    None for a tool no agent has. MCP tools (`mcp__server__tool`) and Goose's extension
    prefix are read by the tool's own name; case is folded last."""
    if agent is not None and name in AGENTS.get(agent, {}):
        return AGENTS[agent][name]
    found = TABLE.get(name)
    if found is None and "__" in name:
        found = TABLE.get(name.rsplit("__", 1)[-1])
    if found is None:
        found = _FOLDED.get(name.lower())
    return found
