"""Requests shaped as coding-agent command lines send them: their instructions in several
leading system or developer messages, the first user turn holding instructions files, the
environment and the prompt, a platform's compaction item, a WebSocket upgrade first, and a
fixed part larger than the budget."""

import base64
import json
import logging
import os
import socket

import httpx
import pytest

from loopback import Answer, reply

DEVELOPER = ["You are a coding agent. Use the tools; keep answers short.",
             "Skills: `grep` searches the tree, `apply_patch` edits files."]
FIRST_TURN = [
    "<environment_context>\n  <cwd>/work/app</cwd>\n  <shell>bash</shell>\n"
    "</environment_context>",
    "<user_instructions>\n# AGENTS.md instructions for /work/app\n\nRun `make test` before "
    "you finish. Do not change tests/.\n</user_instructions>",
    "Fix the date parser so that ISO weeks parse. Then write notes/CHANGES.md.",
]
LATER = "Also keep the public function names as they are."
OUTPUT = "parser.py:12: def parse(text):  # reads a date\n" * 30


def _chat(rounds):
    messages = [{"role": "system", "content": DEVELOPER[0]},
                {"role": "developer", "content": DEVELOPER[1]}]
    messages += [{"role": "user", "content": text} for text in FIRST_TURN]
    for n in range(rounds):
        if n == 3:
            messages.append({"role": "user", "content": LATER})
        messages += [
            {"role": "assistant", "content": None, "tool_calls": [{
                "id": f"call_{n}", "type": "function",
                "function": {"name": "shell", "arguments": json.dumps({"cmd": f"step {n}"})}}]},
            {"role": "tool", "tool_call_id": f"call_{n}", "content": OUTPUT},
            {"role": "assistant", "content": f"Step {n} done."}]
    return {"model": "m", "messages": messages}


COMPACTION = {"type": "compaction", "id": "cmp_1",
              "encrypted_content": base64.b64encode(b"earlier history" * 20).decode()}


def _responses(rounds):
    items = [{"type": "message", "role": "developer",
              "content": [{"type": "input_text", "text": text}]} for text in DEVELOPER]
    items += [{"type": "message", "role": "user",
               "content": [{"type": "input_text", "text": text}]} for text in FIRST_TURN]
    items.append(COMPACTION)
    for n in range(rounds):
        if n == 3:
            items.append({"type": "message", "role": "user",
                          "content": [{"type": "input_text", "text": LATER}]})
        items += [
            {"type": "function_call", "call_id": f"call_{n}", "name": "shell",
             "arguments": json.dumps({"cmd": f"step {n}"})},
            {"type": "function_call_output", "call_id": f"call_{n}", "output": OUTPUT},
            {"type": "message", "role": "assistant", "content": f"Step {n} done."}]
    return {"model": "m", "instructions": "Be careful.", "input": items}


def _messages(rounds):
    first = {"role": "user", "content": [
        {"type": "text", "text": "<system-reminder>\nThe date is 2026-12-01. Platform: linux."
                                 "\n</system-reminder>"},
        {"type": "text", "text": "<system-reminder>\nContents of /work/app/CLAUDE.md (project "
                                 "instructions):\n\nDo not change tests/.\n</system-reminder>"},
        {"type": "text", "text": FIRST_TURN[2]}]}
    messages = [first]
    for n in range(rounds):
        if n == 3:
            messages.append({"role": "user", "content": LATER})
            messages.append({"role": "assistant", "content": "Understood."})
        messages += [
            {"role": "assistant", "content": [{"type": "tool_use", "id": f"toolu_{n}",
                                               "name": "Bash", "input": {"cmd": f"step {n}"}}]},
            {"role": "user", "content": [{"type": "tool_result", "tool_use_id": f"toolu_{n}",
                                          "content": OUTPUT}]}]
    return {"model": "m", "max_tokens": 100, "system": DEVELOPER[0], "messages": messages}


SHAPES = {"/v1/chat/completions": ("openai", "messages", _chat),
          "/v1/responses": ("openai", "input", _responses),
          "/v1/messages": ("anthropic", "messages", _messages)}


def _text(item):
    content = item.get("content")
    if isinstance(content, list):
        return "\n".join(p.get("text", "") for p in content if isinstance(p, dict))
    return content or ""


@pytest.mark.parametrize("path", list(SHAPES))
def test_instructions_first_turn_requests_and_compaction_reach_the_model(
        upstream, start_proxy, path):
    from morvex_summarize.clients.extractive import ExtractiveClient

    api, key, build = SHAPES[path]
    proxy, _ = start_proxy(2000, upstream_format=api, summarizer=ExtractiveClient())
    body = build(10)
    answer = httpx.post(proxy.url + path, json=body, timeout=30)
    assert answer.status_code == 200 and "x-morvex-budget-unmet" not in answer.headers
    sent = upstream.calls[-1].body[key]
    before, after = answer.headers["x-morvex-condensed"].split("/")
    assert int(after) <= 2000 < int(before)
    at = next(i for i, item in enumerate(sent)
              if _text(item).startswith("## Conversation History Summary"))
    given = body[key]
    # In front of the summary, word for word and in order: the leading instructions, the
    # first turn, the compaction item; after it the later request, then the newest items.
    leading = len(DEVELOPER) + len(FIRST_TURN) + (path == "/v1/responses") \
        if path != "/v1/messages" else 1
    assert sent[:at] == given[:leading]
    later = next(i for i, item in enumerate(given) if _text(item) == LATER)
    assert sent[at + 1] == given[later]
    assert sent[at + 2:] == given[len(given) - len(sent) + at + 2:]
    # The offline summary's goal is the user's request, not the agent's context blocks.
    summary = _text(sent[at])
    goals = summary.split("### Original Goals")[1].split("###")[0]
    assert "Fix the date parser" in goals
    assert "environment_context" not in goals and "system-reminder" not in goals


def test_websocket_upgrade_is_refused_at_once(upstream, start_proxy):
    proxy, _ = start_proxy(1000)
    key = base64.b64encode(os.urandom(16)).decode()
    head = ("GET /v1/responses HTTP/1.1\r\n"
            f"Host: 127.0.0.1:{proxy.port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as sock:
        sock.sendall(head.encode())
        answer = sock.recv(65536).decode("latin-1")
    assert answer.split(" ")[1] == "426"
    assert upstream.requests == []
    # The same upgrade without the handshake's headers, as a plain request.
    plain = httpx.get(proxy.url + "/v1/responses", headers={"upgrade": "websocket"})
    assert plain.status_code == 426 and "HTTP" in plain.json()["error"]["message"]
    assert upstream.requests == []


def test_unmeetable_budget_is_told_once_and_not_resummarized(
        upstream, start_proxy, caplog):
    proxy, _ = start_proxy(1000, upstream_format="anthropic", keep_last=2)
    upstream.push(*[Answer(body=reply("/messages", "m", "ok")) for _ in range(40)])
    system = "Follow the house rules. " * 200  # about 1,200 tokens: more than the budget
    messages = [{"role": "user", "content": "Summarize the logs in /var/log/app."}]
    unmet = []
    with caplog.at_level(logging.WARNING, logger="morvex_summarize.serve"):
        for n in range(12):
            messages += [
                {"role": "assistant", "content": [{"type": "tool_use", "id": f"t{n}",
                                                   "name": "Read", "input": {"part": n}}]},
                {"role": "user", "content": [{"type": "tool_result", "tool_use_id": f"t{n}",
                                              "content": f"part {n}: " + "line " * 150}]}]
            answer = httpx.post(proxy.url + "/v1/messages", timeout=30, json={
                "model": "m", "max_tokens": 50, "system": system, "messages": messages})
            assert answer.status_code == 200
            unmet.append(answer.headers.get("x-morvex-budget-unmet"))
    told = [r for r in caplog.records if "cannot be met" in r.getMessage()]
    assert len(told) == 1
    assert all(u is not None and u.endswith("/1000") for u in unmet[1:])
    # The rest is condensed within the budget on top of what must be kept: a few summary
    # requests over the twelve calls, not one a call.
    assert 1 <= len(upstream.summaries) <= 4
