"""The module's behaviour in plain Python: its record and transcript functions and its
summarizer, written from the same rules. Not shipped.

Two users: the module's tests take it as their oracle (given the same inputs, the module
and the twin make the same calls into those inputs, in the same order, and end the same
way: the same values, the same exceptions with the same texts), and the benchmarks as the
baseline the module is compared with. Where the two could differ the twin does what the
module does: typed parameters refuse any other type, records carry the time they were
made, and a value in an argument brief is converted by str() even when it is text."""
import json
import logging
import time

logger = logging.getLogger("morvex.summarizer.twin")

SUMMARIZE_PROMPT = "(prompt)\n"
"""The system prompt's opening; a user that compares with the module sets the module's."""
USER_REQUEST = "Summarize the conversation above. Return ONLY the JSON object."

KEYS = ("goals", "progress", "current_state", "key_decisions", "key_facts", "blockers",
        "next_steps", "summary", "created_at")
FENCE = "`" * 3


def typed(name, value, kind):
    if type(value) is not kind:
        raise TypeError(f"Argument '{name}' has incorrect type (expected {kind.__name__}, "
                        f"got {type(value).__name__})")


def brief_args(args):
    typed("args", args, dict)
    parts = []
    for k, v in args.items():
        val_str = str(v)
        if len(val_str) > 100:
            val_str = val_str[:100] + "..."
        parts.append(f"{k}={val_str}")
    return ", ".join(parts)


def format_messages(messages):
    return "\n".join(transcript_lines(messages))


def transcript_lines(messages):
    """The transcript's lines before they are joined (the benchmarks' floor joins them)."""
    typed("messages", messages, list)
    lines = []
    for msg in messages:
        role = msg.get("role", "unknown")
        content = msg.get("content", "")
        if role == "system":
            continue
        elif role == "tool":
            tool_id = msg.get("tool_call_id", "unknown")
            if content and len(content) > 500:
                content = content[:500] + "... [truncated]"
            lines.append(f"[Tool Result ({tool_id})]: {content}")
        elif role == "assistant":
            if content:
                lines.append(f"[Assistant]: {content}")
            if msg.get("tool_calls"):
                for tc in msg["tool_calls"]:
                    if not isinstance(tc, dict):
                        continue
                    name = tc.get("name", tc.get("function", {}).get("name", "unknown"))
                    args = tc.get("arguments", tc.get("function", {}).get("arguments", {}))
                    if isinstance(args, str):
                        try:
                            args = json.loads(args)
                        except json.JSONDecodeError:
                            pass
                    if isinstance(args, dict):
                        args_brief = brief_args(args)
                    else:
                        args_brief = str(args)[:200]
                    lines.append(f"[Assistant called {name}]: {args_brief}")
        elif role == "user":
            lines.append(f"[User]: {content}")
    return lines


def fallback(messages):
    typed("messages", messages, list)
    goals = []
    for msg in messages:
        if msg.get("role") == "user" and msg.get("content"):
            content = msg["content"]
            if len(content) > 200:
                content = content[:200] + "..."
            goals.append(content)
    goals = goals[:1]
    return {"goals": goals, "progress": [],
            "current_state": f"Conversation had {len(messages)} messages before summarization",
            "key_decisions": [], "key_facts": [], "blockers": [], "next_steps": [],
            "summary": f"Conversation with {len(messages)} messages. Primary request: "
                       f"{goals[0] if goals else 'unknown'}",
            "created_at": time.time()}


def empty():
    return {"goals": [], "progress": [], "current_state": "", "key_decisions": [],
            "key_facts": [], "blockers": [], "next_steps": [], "summary": "",
            "created_at": time.time()}


def unfence(text):
    text = text.strip()
    if text.startswith(FENCE):
        in_block, json_lines = False, []
        for line in text.split("\n"):
            if line.strip().startswith(FENCE) and not in_block:
                in_block = True
            elif line.strip() == FENCE and in_block:
                break
            elif in_block:
                json_lines.append(line)
        text = "\n".join(json_lines)
    return text


def parse(text, warn=None):
    """`warn`, when given, is called with the warning the module logs (else it is logged)."""
    typed("text", text, str)
    text = unfence(text)
    try:
        data = json.loads(text)
        record = {key: data.get(key, "" if key in ("current_state", "summary") else [])
                  for key in KEYS[:-1]}
    except json.JSONDecodeError:
        (warn or logger.warning)("Could not parse summary JSON, using fallback")
        record = {key: [] for key in KEYS[:-1]}
        record.update(current_state="", summary=text[:1000])
    record["created_at"] = time.time()
    return record


def context(summary):
    """Each list section has its own loop variable, as the plain method has: g, p, d, f,
    b and n each hold their last element until the method returns."""
    typed("summary", summary, dict)
    parts = ["## Conversation History Summary",
             "*(Earlier messages were summarized to save context space)*\n"]
    if summary.get("goals"):
        parts.append("### Original Goals")
        for g in summary["goals"]:
            parts.append(f"  - {g}")
        parts.append("")
    if summary.get("progress"):
        parts.append("### Progress So Far")
        for p in summary["progress"]:
            parts.append(f"  - {p}")
        parts.append("")
    if summary.get("current_state"):
        parts.append(f"### Current State\n{summary['current_state']}\n")
    if summary.get("key_decisions"):
        parts.append("### Key Decisions")
        for d in summary["key_decisions"]:
            parts.append(f"  - {d}")
        parts.append("")
    if summary.get("key_facts"):
        parts.append("### Key Facts")
        for f in summary["key_facts"]:
            parts.append(f"  - {f}")
        parts.append("")
    if summary.get("blockers"):
        parts.append("### Issues & Resolutions")
        for b in summary["blockers"]:
            parts.append(f"  - {b}")
        parts.append("")
    if summary.get("next_steps"):
        parts.append("### Next Steps")
        for n in summary["next_steps"]:
            parts.append(f"  - {n}")
        parts.append("")
    if summary.get("summary"):
        parts.append(f"### Narrative Summary\n{summary['summary']}")
    return "\n".join(parts)


class ConversationSummarizer:
    def __init__(self, llm_client):
        self._llm = llm_client

    async def summarize_messages(self, messages, existing_summary=None):
        if not messages:
            return empty()
        conv_text = format_messages(messages)
        prompt_parts = [SUMMARIZE_PROMPT]
        if existing_summary:
            prompt_parts.append(f"\n\n## Previous Summary (build on this):\n{existing_summary}")
        prompt_parts.append(f"\n\n## Conversation to Summarize:\n{conv_text}")
        try:
            response = await self._llm.complete(
                messages=[{"role": "system", "content": "\n".join(prompt_parts)},
                          {"role": "user", "content": USER_REQUEST}],
                max_tokens=2048)
            if response.content:
                return parse(response.content)
            logger.warning("Empty response from summarizer LLM")
            return fallback(messages)
        except Exception as e:
            logger.error(f"Summarization failed: {e}")
            return fallback(messages)

    def format_summary_for_context(self, summary):
        return context(summary)
