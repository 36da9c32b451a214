"""``morvex-summarize batch``: many conversations, in this process or on Ray Data."""
