#!/usr/bin/env bash
# Builds every module with AddressSanitizer + UBSan and runs the test suite under it.
#   tools/sanitize.sh [pytest args...]
# Leak detection is off: the interpreter itself keeps memory until exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/asan
CMAKE_ARGS="-DORVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo" "$root/tools/dev-build.sh" "$build" >/dev/null
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
cd "$build"
LD_PRELOAD="$preload" \
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$build/pkg" PYTHONMALLOC=malloc \
python3 -m pytest -q -p no:cacheprovider --rootdir "$root" -c "$root/pyproject.toml" "$root/tests" "$@"
