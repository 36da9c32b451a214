"""Seeded agent conversations for the benchmarks.

Two shapes: text-heavy (user and assistant prose, now and then a tool call) and
tool-call-heavy (assistant turns that call one to three tools, with JSON-text or
dictionary arguments, and tool results of 50 to 5,000 characters). Each comes in a
pure-ASCII set and a mixed set where some messages hold accented, CJK or emoji text.
"""
import functools
import json
import random

ASCII_WORDS = (
    "the build log shows a failing test in ledger module we patched header file path "
    "function returns value error retry request user asked agent plan next step done "
    "config parser token budget window summary context cache index query result"
).split()
MIXED_WORDS = ASCII_WORDS + (
    "café naïve über façade résumé señor déjà Ärger Straße "
    "日本語 测试 文件 路径 错误 完成 "
    "🚀 ✅ 🔥 👍 🧪 📁"
).split()
TOOLS = ("read_file", "write_file", "shell", "search", "list_dir", "http_get")


def _text(rng, words, low, high):
    n = rng.randint(low, high)
    out = []
    size = 0
    while size < n:
        w = rng.choice(words)
        out.append(w)
        size += len(w) + 1
    return " ".join(out)[:n]


def _arguments(rng, words):
    args = {"path": "/work/src/" + rng.choice(words) + ".py"}
    for _ in range(rng.randint(0, 4)):
        key = rng.choice(("limit", "pattern", "content", "recursive", "timeout", "lines"))
        kind = rng.random()
        if kind < 0.4:
            args[key] = _text(rng, words, 5, 300)
        elif kind < 0.7:
            args[key] = rng.randint(0, 10000)
        elif kind < 0.85:
            args[key] = rng.random() < 0.5
        else:
            args[key] = [rng.randint(0, 99) for _ in range(rng.randint(1, 5))]
    return args


def _tool_call(rng, words, i):
    args = _arguments(rng, words)
    if rng.random() < 0.8:  # most clients keep the model's JSON text
        args = json.dumps(args, ensure_ascii=False)
    name = rng.choice(TOOLS)
    if rng.random() < 0.85:
        return {"id": f"call_{i}", "type": "function",
                "function": {"name": name, "arguments": args}}
    return {"id": f"call_{i}", "name": name, "arguments": args}


@functools.lru_cache(maxsize=None)
def conversation(shape, charset, size, seed=8):
    """`size` message records; shape "text" or "tools", charset "ascii" or "mixed"."""
    rng = random.Random(f"{shape}/{charset}/{size}/{seed}")
    messages = [{"role": "system", "content": "You are Morvex, a coding agent."}]
    text_share = 0.9 if shape == "text" else 0.35
    i = 0
    while len(messages) < size:
        words = MIXED_WORDS if charset == "mixed" and rng.random() < 0.3 else ASCII_WORDS
        if rng.random() < text_share:
            role = "user" if rng.random() < 0.45 else "assistant"
            messages.append({"role": role, "content": _text(rng, words, 20, 1200)})
            continue
        calls = [_tool_call(rng, words, i + k) for k in range(rng.randint(1, 3))]
        messages.append({"role": "assistant",
                         "content": _text(rng, words, 0, 200) if rng.random() < 0.5 else "",
                         "tool_calls": calls})
        for call in calls:
            if len(messages) >= size:
                break
            messages.append({"role": "tool", "tool_call_id": call["id"],
                             "content": _text(rng, words, 50, 5000)})
        i += len(calls)
    return messages[:size]


def json_arguments(messages):
    """Every tool-call argument text of `messages`, in order: what json.loads must see."""
    out = []
    for msg in messages:
        if msg.get("role") != "assistant":
            continue
        for tc in msg.get("tool_calls") or ():
            args = tc.get("arguments", tc.get("function", {}).get("arguments", {}))
            if isinstance(args, str):
                out.append(args)
    return out


def brief_arguments(charset, count=20, seed=8):
    rng = random.Random(f"brief/{charset}/{seed}")
    words = MIXED_WORDS if charset == "mixed" else ASCII_WORDS
    args = {}
    for k in range(count):
        kind = k % 4
        if kind == 0:
            args[f"text_{k}"] = _text(rng, words, 10, 250)
        elif kind == 1:
            args[f"count_{k}"] = rng.randint(0, 10**6)
        elif kind == 2:
            args[f"flag_{k}"] = bool(k % 3)
        else:
            args[f"items_{k}"] = [rng.randint(0, 99) for _ in range(6)]
    return args


def reply(size, fenced, seed=8):
    """A model reply of about `size` characters: a JSON summary object."""
    rng = random.Random(f"reply/{size}/{seed}")
    data = {key: [] for key in ("goals", "progress", "key_decisions", "key_facts",
                                 "blockers", "next_steps")}
    data["current_state"] = _text(rng, ASCII_WORDS, 40, 120)
    data["summary"] = _text(rng, MIXED_WORDS, 100, 400)
    keys = list(data)
    while len(json.dumps(data)) < size:
        key = rng.choice(keys[:6])
        data[key].append(_text(rng, MIXED_WORDS, 20, 160))
    text = json.dumps(data, ensure_ascii=False, indent=2)
    return f"```json\n{text}\n```\n" if fenced else text


def record(entries, charset, seed=8):
    """A summary record with `entries` items in each list section."""
    rng = random.Random(f"record/{entries}/{charset}/{seed}")
    words = MIXED_WORDS if charset == "mixed" else ASCII_WORDS
    rec = {}
    for key in ("goals", "progress"):
        rec[key] = [_text(rng, words, 20, 160) for _ in range(entries)]
    rec["current_state"] = _text(rng, words, 40, 200)
    for key in ("key_decisions", "key_facts", "blockers", "next_steps"):
        rec[key] = [_text(rng, words, 20, 160) for _ in range(entries)]
    rec["summary"] = _text(rng, words, 200, 800)
    rec["created_at"] = 1700000000.0
    return rec
