"""Old import path of the batch engine on Ray Data: it lives in
`morvex_summarize.cli.batch.ray` now."""

from .cli.batch.ray import *  # noqa: F401,F403
