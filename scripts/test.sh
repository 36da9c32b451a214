#!/usr/bin/env bash
# Builds and installs the module into a fresh virtual environment and runs the whole
# test suite there.
#   scripts/test.sh [PYTHON] [PYTEST OPTIONS...]
# PYTHON (default: CPython 3.12) is taken only when the first argument is not an option,
# so `scripts/test.sh -q -x` and `scripts/test.sh python3.13 -q -k batch` both work.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
case "${1:-}" in
    -h|--help)
        sed -n '2,6s/^# \{0,1\}//p' "$0"
        exit 0 ;;
    ""|-*)
        python=$(default_python) ;;
    *)
        python=$1
        shift ;;
esac
if ! command -v "$python" >/dev/null 2>&1; then
    echo "scripts/test.sh: $python: no such interpreter (usage: scripts/test.sh [PYTHON] [PYTEST OPTIONS...])" >&2
    exit 2
fi
venv=$(fresh_venv "$root" test "$python")
SUMMARIZER_WERROR=ON "$venv/bin/python" -m pip install --quiet "$root[test]"
cd "$root"
# On every core (pytest-xdist); the tests that share a Ray instance or a build stay together.
# Options given after the interpreter come later and win (-n 0: one process).
exec "$venv/bin/python" -m pytest -n "$(nproc)" --dist loadgroup "$@" tests
