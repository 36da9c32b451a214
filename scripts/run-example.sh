#!/usr/bin/env bash
# The main job: installs the package (the module, the companion package and the
# morvex-summarize command) into a virtual environment, then summarizes the sample
# conversation in examples/ with the offline default and prints the summary record and
# the context text.
#   scripts/run-example.sh [python]        default: CPython 3.12
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
python=${1:-$(default_python)}
venv="$root/.venv-example"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --force-reinstall "$root[cli]"
exec "$venv/bin/morvex-summarize" "$root/examples/conversation.json" --format both
