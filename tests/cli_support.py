"""Runs the command-line tool in a child process, as a user would."""

import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "conversation.json"
MODEL_VARIABLES = ("MORVEX_SUMMARIZE_MODEL", "OPENAI_MODEL", "OPENAI_API_KEY", "OPENAI_BASE_URL")


def tool_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in MODEL_VARIABLES}
    env["NO_COLOR"] = "1"
    env.update(extra)
    return env


def tool_command(*args):
    return [sys.executable, "-m", "morvex_summarize", *map(str, args)]


def run_tool(*args, input=None, env=None, timeout=120, cwd=None):
    return subprocess.run(tool_command(*args), input=input, capture_output=True, text=True,
                          env=env or tool_env(), timeout=timeout, cwd=cwd)


def stderr_lines(result):
    return [line for line in result.stderr.splitlines() if line.strip()]


def conversation(tag, turns=1):
    messages = [{"role": "user", "content": f"conversation {tag}"}]
    for n in range(turns):
        messages.append({"role": "assistant", "content": f"step {n} of {tag}",
                         "tool_calls": [{"id": f"c{n}", "type": "function",
                                         "function": {"name": "shell",
                                                      "arguments": {"cmd": f"run {n}"}}}]})
        messages.append({"role": "tool", "tool_call_id": f"c{n}", "content": f"output {n}"})
    return messages


def write_jsonl(path, docs):
    with open(path, "w", encoding="utf-8") as f:
        for doc in docs:
            f.write(doc if isinstance(doc, str) else json.dumps(doc))
            f.write("\n")


def read_results(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]
