"""An offline stand-in for the agent's LLM client.

It answers `complete(messages=..., max_tokens=...)` the way a summarizing model would, but
derives the summary from the transcript in the system message by simple rules, so the example
runs without network access or credentials.
"""
import asyncio
import json
import re


class Reply:
    def __init__(self, content):
        self.content = content


class ExampleLLMClient:
    def __init__(self):
        self.requests = []

    async def complete(self, messages, max_tokens):
        self.requests.append({"messages": messages, "max_tokens": max_tokens})
        await asyncio.sleep(0)  # a real client waits for the network here
        system = messages[0]["content"]
        transcript = system.split("## Conversation to Summarize:\n", 1)[-1]
        users = re.findall(r"^\[User\]: (.*)$", transcript, re.M)
        calls = re.findall(r"^\[Assistant called ([^\]]*)\]: (.*)$", transcript, re.M)
        said = re.findall(r"^\[Assistant\]: (.*)$", transcript, re.M)
        results = re.findall(r"^\[Tool Result \(([^)]*)\)\]: (.*)$", transcript, re.M)
        summary = {
            "goals": users[:1],
            "progress": [f"Called {name} ({args})" for name, args in calls],
            "current_state": said[-1] if said else "",
            "key_decisions": [s for s in said if s.startswith(("Understood", "I'll"))],
            "key_facts": [f"{tool_id}: {text}" for tool_id, text in results],
            "blockers": users[1:],
            "next_steps": ["Confirm the fix with the user"],
            "summary": " ".join(said),
        }
        return Reply("```json\n" + json.dumps(summary, indent=2) + "\n```")
