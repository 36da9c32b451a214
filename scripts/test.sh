#!/usr/bin/env bash
# Builds and installs the module into a fresh virtual environment and runs the whole
# test suite there.
#   scripts/test.sh [python]        default: CPython 3.12
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
python=${1:-$(default_python)}
venv=$(fresh_venv "$root" test "$python")
SUMMARIZER_WERROR=ON "$venv/bin/python" -m pip install --quiet "$root[test]"
cd "$root"
exec "$venv/bin/python" -m pytest "${@:2}" tests
