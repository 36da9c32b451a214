#!/usr/bin/env bash
# Builds the module for quick development runs, without installing it.
#   scripts/dev-build.sh [python] [build-dir] [extra cmake args...]
# Then: PYTHONPATH=<build-dir>/python <python> -m pytest tests
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-python3}
build=${2:-$here/build/dev}
shift $(( $# > 2 ? 2 : $# ))
cmake -S "$here" -B "$build" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSUMMARIZER_WERROR=ON "$@" >/dev/null
cmake --build "$build"
