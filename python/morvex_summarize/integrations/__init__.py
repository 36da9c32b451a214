"""Framework integrations: the LangChain agent middleware and the OpenAI Agents SDK session,
each condensing the conversation it holds. Each imports its framework only when used."""
