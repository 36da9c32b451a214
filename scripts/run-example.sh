#!/usr/bin/env bash
# Builds and installs the module into a virtual environment, then summarizes the sample
# conversation in examples/ and prints the summary record and the context text.
#   scripts/run-example.sh [python]        default: CPython 3.12
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
python=${1:-$(default_python)}
venv="$root/.venv-example"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$root"
exec "$venv/bin/python" "$root/examples/summarize_conversation.py"
