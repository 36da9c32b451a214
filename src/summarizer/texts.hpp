// The summarizer's texts: the module's and the class's docstrings, the summarize
// request's headings and user text, what the request logs, and the system prompt
// (made once, at exec, as SUMMARIZE_PROMPT). Each entry of the table is one member of
// `kSummarizerStr`, made at exec with the module's other strs.
#pragma once

#include "binding/strings.hpp"

// clang-format off
#define SMZ_SUMMARIZER_TEXTS(X)                                                       \
    X(class_doc, "Summarizes conversation chunks to compress context.")               \
    X(user_request, "Summarize the conversation above. Return ONLY the JSON object.") \
    X(previous_heading, "\n\n## Previous Summary (build on this):\n")                 \
    X(conversation_heading, "\n\n## Conversation to Summarize:\n")                    \
    X(empty_reply, "Empty response from summarizer LLM")                              \
    X(failed_prefix, "Summarization failed: ")
// clang-format on

namespace smz {

struct SummarizerTexts {
    SMZ_SUMMARIZER_TEXTS(SMZ_TEXT_MEMBER)
};

extern SummarizerTexts kSummarizerStr;

// Makes every str of the table. False with an exception set on failure.
bool build_summarizer_texts();

// The module's docstring.
inline constexpr char kModuleDoc[] =
    "Conversation summarizer \xe2\x80\x94 compresses old messages into concise summaries.\n"
    "\n"
    "When a conversation grows beyond the context window, the summarizer:\n"
    "1. Takes the oldest messages that would be dropped\n"
    "2. Sends them to the LLM for summarization\n"
    "3. Extracts key goals, decisions, facts, and progress\n"
    "4. Returns a structured summary that replaces the raw messages\n"
    "\n"
    "This keeps the agent aware of its goals and progress even across\n"
    "very long conversations that exceed the context window.\n";

// The system prompt sent with every summarize request.
inline constexpr const char kSummarizePrompt[] =
    "You are a conversation summarizer for an AI agent called Morvex.\n"
    "Your job is to compress a chunk of conversation into a concise summary\n"
    "that preserves ALL critical information the agent needs to continue working.\n"
    "\n"
    "You MUST extract and preserve:\n"
    "1. **GOALS**: What the user originally asked for (the top-level objective)\n"
    "2. **PROGRESS**: What steps have been completed so far\n"
    "3. **CURRENT STATE**: What the agent was working on when this chunk ended\n"
    "4. **KEY DECISIONS**: Important choices made (e.g., which approach to use)\n"
    "5. **KEY FACTS**: Technical details, file paths, URLs, credentials, names, etc.\n"
    "6. **BLOCKERS**: Any issues encountered and how they were resolved (or not)\n"
    "7. **NEXT STEPS**: What the agent planned to do next\n"
    "\n"
    "Return your summary as a JSON object with this exact structure:\n"
    "{\n"
    "  \"goals\": [\"Primary goal 1\", \"Sub-goal 2\"],\n"
    "  \"progress\": [\"Step 1 completed: did X\", \"Step 2 completed: did Y\"],\n"
    "  \"current_state\": \"Brief description of where things stand\",\n"
    "  \"key_decisions\": [\"Decided to use approach A because...\"],\n"
    "  \"key_facts\": [\"File is at /path/to/file\", \"User's name is X\"],\n"
    "  \"blockers\": [\"Issue with X was resolved by Y\"],\n"
    "  \"next_steps\": [\"Need to do A\", \"Then do B\"],\n"
    "  \"summary\": \"One paragraph narrative summary of the entire conversation chunk\"\n"
    "}\n"
    "\n"
    "Be thorough but concise. Every piece of information that the agent might\n"
    "need to continue its work MUST be preserved. Do NOT lose any goals,\n"
    "file paths, technical details, or user preferences.\n";

}  // namespace smz
