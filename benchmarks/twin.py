"""The module's behaviour in plain Python, the baseline the benchmarks compare with.

Written from the same rules as the native module; not shipped, and never imported by the
module's own tests.
"""
import json
import logging
import time
from typing import Any

logger = logging.getLogger("morvex.summarizer.twin")

SUMMARIZE_PROMPT = "(prompt)\n"


class ConversationSummarizer:
    def __init__(self, llm_client):
        self._llm = llm_client

    async def summarize_messages(self, messages: list, existing_summary: str | None = None):
        if not messages:
            return _empty_summary()
        conv_text = _format_messages_for_summary(messages)
        prompt_parts = [SUMMARIZE_PROMPT]
        if existing_summary:
            prompt_parts.append(f"\n\n## Previous Summary (build on this):\n{existing_summary}")
        prompt_parts.append(f"\n\n## Conversation to Summarize:\n{conv_text}")
        try:
            response = await self._llm.complete(
                messages=[
                    {"role": "system", "content": "\n".join(prompt_parts)},
                    {"role": "user",
                     "content": "Summarize the conversation above. Return ONLY the JSON object."},
                ],
                max_tokens=2048,
            )
            if response.content:
                return _parse_summary(response.content)
            logger.warning("Empty response from summarizer LLM")
            return _fallback_summary(messages)
        except Exception as e:
            logger.error(f"Summarization failed: {e}")
            return _fallback_summary(messages)

    def format_summary_for_context(self, summary: dict) -> str:
        parts = ["## Conversation History Summary",
                 "*(Earlier messages were summarized to save context space)*\n"]
        for key, heading in (("goals", "### Original Goals"), ("progress", "### Progress So Far")):
            if summary.get(key):
                parts.append(heading)
                for item in summary[key]:
                    parts.append(f"  - {item}")
                parts.append("")
        if summary.get("current_state"):
            parts.append(f"### Current State\n{summary['current_state']}\n")
        for key, heading in (("key_decisions", "### Key Decisions"), ("key_facts", "### Key Facts"),
                             ("blockers", "### Issues & Resolutions"),
                             ("next_steps", "### Next Steps")):
            if summary.get(key):
                parts.append(heading)
                for item in summary[key]:
                    parts.append(f"  - {item}")
                parts.append("")
        if summary.get("summary"):
            parts.append(f"### Narrative Summary\n{summary['summary']}")
        return "\n".join(parts)


def _format_messages_for_summary(messages: list) -> str:
    return "\n".join(transcript_lines(messages))


def transcript_lines(messages: list) -> list:
    """The transcript's lines before they are joined (the floor benchmarks join them)."""
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
                        args_brief = _brief_args(args)
                    else:
                        args_brief = str(args)[:200]
                    lines.append(f"[Assistant called {name}]: {args_brief}")
        elif role == "user":
            lines.append(f"[User]: {content}")
    return lines


def _brief_args(args: dict) -> str:
    parts = []
    for k, v in args.items():
        val_str = v if isinstance(v, str) else str(v)
        if len(val_str) > 100:
            val_str = val_str[:100] + "..."
        parts.append(f"{k}={val_str}")
    return ", ".join(parts)


def _parse_summary(text: str) -> dict[str, Any]:
    text = text.strip()
    if text.startswith("```"):
        lines = text.split("\n")
        in_block = False
        json_lines = []
        for line in lines:
            if line.strip().startswith("```") and not in_block:
                in_block = True
                continue
            elif line.strip() == "```" and in_block:
                break
            elif in_block:
                json_lines.append(line)
        text = "\n".join(json_lines)
    try:
        data = json.loads(text)
        return {
            "goals": data.get("goals", []),
            "progress": data.get("progress", []),
            "current_state": data.get("current_state", ""),
            "key_decisions": data.get("key_decisions", []),
            "key_facts": data.get("key_facts", []),
            "blockers": data.get("blockers", []),
            "next_steps": data.get("next_steps", []),
            "summary": data.get("summary", ""),
            "created_at": time.time(),
        }
    except json.JSONDecodeError:
        logger.warning("Could not parse summary JSON, using fallback")
        return {
            "goals": [], "progress": [], "current_state": "", "key_decisions": [],
            "key_facts": [], "blockers": [], "next_steps": [], "summary": text[:1000],
            "created_at": time.time(),
        }


def _empty_summary() -> dict[str, Any]:
    return {
        "goals": [], "progress": [], "current_state": "", "key_decisions": [],
        "key_facts": [], "blockers": [], "next_steps": [], "summary": "",
        "created_at": time.time(),
    }


def _fallback_summary(messages: list) -> dict[str, Any]:
    goals = []
    progress = []
    for msg in messages:
        if msg.get("role") == "user" and msg.get("content"):
            content = msg["content"]
            if len(content) > 200:
                content = content[:200] + "..."
            goals.append(content)
    if goals:
        goals = [goals[0]]
    return {
        "goals": goals,
        "progress": progress,
        "current_state": f"Conversation had {len(messages)} messages before summarization",
        "key_decisions": [], "key_facts": [], "blockers": [], "next_steps": [],
        "summary": f"Conversation with {len(messages)} messages. Primary request: "
                   f"{goals[0] if goals else 'unknown'}",
        "created_at": time.time(),
    }
