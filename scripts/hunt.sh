#!/usr/bin/env bash
# Runs the module's own tests twice more in the test environment that scripts/test.sh
# made: with gc.set_threshold(1), so the collector runs at almost every allocation, and
# as a leak hunt that repeats each test and fails on steady growth of allocated blocks or
# live objects. Further pytest arguments go to both runs (-v lists the tests the leak
# hunt could not repeat).
#   scripts/hunt.sh [python] [pytest arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
python=${1:-$(default_python)}
tag=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
venv="$root/.venv-test-$tag"
[ -x "$venv/bin/python" ] || { echo "no test environment at $venv: run scripts/test.sh first"; exit 1; }
cd "$root"
m=tests/module
tests=($m/test_parse.py $m/test_transcript.py $m/test_context.py $m/test_fallback.py
       $m/test_function.py $m/test_module.py $m/test_summarize.py
       $m/test_coroutine.py $m/test_gc_reentry.py $m/test_hostile.py
       $m/test_protocol_fuzz.py)
echo "--- with gc.set_threshold(1)"
"$venv/bin/python" -m pytest -q -p no:cacheprovider --gc-threshold-one "${@:2}" "${tests[@]}"
echo "--- leak hunt"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider --leak-hunt "${@:2}" "${tests[@]}"
