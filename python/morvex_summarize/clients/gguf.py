"""A local GGUF model through llama-cpp-python (the ``local`` extra).

One model object must never run two completions at once, so every call takes the model's
lock in a worker thread; the event loop stays free. Each file is loaded once per process.
"""

from __future__ import annotations

import asyncio
import os
import threading
from typing import Any

from ..errors import LENGTH_REFUSAL, ConfigError, ContextTooLong, ModelError, install
from ..records import summary_schema
from . import Reply


_models: dict[str, tuple[Any, threading.Lock]] = {}
_models_lock = threading.Lock()


def _load(path: str, n_ctx: int) -> tuple[Any, threading.Lock]:
    try:
        from llama_cpp import Llama  # type: ignore[import-not-found, unused-ignore]
    except ImportError as exc:
        raise ConfigError(f"the gguf client needs llama-cpp-python: {install('local')}") \
            from exc
    key = os.path.realpath(path)
    with _models_lock:
        if key not in _models:
            if not os.path.isfile(key):
                raise ConfigError(f"no such model file: {path}")
            model = Llama(model_path=key, n_ctx=n_ctx, verbose=False)
            _models[key] = (model, threading.Lock())
        return _models[key]


class GGUFClient:
    name = "gguf"

    def __init__(self, path: str, *, n_ctx: int = 8192, max_items: int = 8) -> None:
        self.path = path
        self.n_ctx = n_ctx
        self.schema = summary_schema(max_items)
        self._model, self._lock = _load(path, n_ctx)

    def _run(self, messages: list[dict[str, Any]], max_tokens: int) -> str:
        with self._lock:
            try:
                result = self._model.create_chat_completion(
                    messages=messages, max_tokens=max_tokens, temperature=0.0,
                    response_format={"type": "json_object", "schema": self.schema})
            except ValueError as exc:  # "Requested tokens (N) exceed context window of M"
                if LENGTH_REFUSAL.search(str(exc)):
                    raise ContextTooLong(str(exc)) from exc
                raise
        try:
            content = result["choices"][0]["message"]["content"]
        except (KeyError, IndexError, TypeError) as exc:
            raise ModelError(f"malformed reply from the local model: {exc}") from exc
        if not isinstance(content, str) or not content.strip():
            raise ModelError("the local model gave an empty reply")
        return content

    async def complete(self, messages: list[dict[str, Any]], max_tokens: int) -> Reply:
        return Reply(await asyncio.to_thread(self._run, messages, max_tokens))
