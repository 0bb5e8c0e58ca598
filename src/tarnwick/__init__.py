"""tarnwick: compact, token-budgeted project context for LLM coding assistants."""
