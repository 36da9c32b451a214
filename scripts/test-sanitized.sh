#!/usr/bin/env bash
# Runs the whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. The host allocates through malloc so ASan sees every
# block; CPython's own deliberate leaks at exit are not reported. The companion package
# runs from its source folder beside the sanitized module.
#   scripts/test-sanitized.sh [python]        default: CPython 3.12
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
python=${1:-$(default_python)}
venv=$(fresh_venv "$root" asan "$python")
"$venv/bin/python" -m pip install --quiet pytest pytest-xdist hypothesis trio uvloop cmake ninja clang-format==14.0.6 \
    openai rich anthropic langchain-core
build="$root/build/asan-${venv##*-}"
PATH="$venv/bin:$PATH" cmake -S "$root" -B "$build" -G Ninja \
    -DPython_EXECUTABLE="$venv/bin/python" -DCMAKE_BUILD_TYPE=Debug \
    -DSUMMARIZER_SANITIZE=ON -DSUMMARIZER_WERROR=ON >/dev/null
PATH="$venv/bin:$PATH" cmake --build "$build"
cd "$root"
PYTHONMALLOC=malloc \
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
SUMMARIZER_SKIP_VARIANT_BUILD=1 \
PYTHONPATH="$build/python:$root/python" \
    exec "$venv/bin/python" -m pytest -p no:cacheprovider -n "$(nproc)" --dist loadgroup "${@:2}" tests
