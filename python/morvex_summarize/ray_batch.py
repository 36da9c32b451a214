"""Old import path of the batch engine on Ray Data: it lives in
`morvex_summarize.batch.ray` now."""

from .batch.ray import *  # noqa: F401,F403
