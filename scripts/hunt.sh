#!/usr/bin/env bash
# Runs the module's own tests with gc.set_threshold(1), so the collector runs at almost
# every allocation, in the test environment that scripts/test.sh made.
#   scripts/hunt.sh [python]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
python=${1:-$(default_python)}
tag=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
venv="$root/.venv-test-$tag"
[ -x "$venv/bin/python" ] || { echo "no test environment at $venv: run scripts/test.sh first"; exit 1; }
cd "$root"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider --gc-threshold-one \
    tests/test_parse.py tests/test_transcript.py tests/test_context.py tests/test_fallback.py \
    tests/test_function.py tests/test_module.py tests/test_summarize.py \
    tests/test_coroutine.py tests/test_gc_reentry.py tests/test_hostile.py \
    tests/test_protocol_fuzz.py
