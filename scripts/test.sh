#!/usr/bin/env bash
# Builds and runs the whole test suite.
#
#   scripts/test.sh              normal build in build/, then ctest
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-asan/, then ctest
#                                without the tests labelled slow (they wait on real timers,
#                                and the normal build runs them)
set -euo pipefail
cd "$(dirname "$0")/.."
CTEST_ARGS=()
scripts/setup.sh --no-build

if [ "${1:-}" = "--sanitize" ]; then
  BUILD_DIR=${PALLIX_BUILD_DIR:-build-asan}
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPALLIX_SANITIZE=ON -DPALLIX_BUILD_BENCH=OFF >/dev/null
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  CTEST_ARGS=(--label-exclude slow)
else
  BUILD_DIR=${PALLIX_BUILD_DIR:-build}
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD_DIR" --parallel "$(nproc)"
ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel "$(nproc)" --timeout 300 "${CTEST_ARGS[@]}"
