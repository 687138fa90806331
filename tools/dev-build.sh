#!/usr/bin/env bash
# Builds the extension modules into a private tree for quick iteration:
#   tools/dev-build.sh [BUILD_DIR] [target ...]
# then run tests with PYTHONPATH=BUILD_DIR/pkg. Extra cmake flags come from $CMAKE_ARGS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
shift || true
python=${PYTHON:-python3}
cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" ${*:+--target "$@"}
mkdir -p "$build/pkg/ORVEX"
cp "$root"/src/ORVEX/*.py "$root"/src/ORVEX/py.typed "$build/pkg/ORVEX/"
cp "$root"/src/ORVEX/*.pyi "$build/pkg/ORVEX/" 2>/dev/null || true
find "$build" -maxdepth 1 -name '*.so' -exec cp {} "$build/pkg/ORVEX/" \;
echo "built into $build/pkg (PYTHONPATH=$build/pkg)"
