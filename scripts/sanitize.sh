#!/usr/bin/env bash
# Builds Quillan and its tests with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ (or $QUILLAN_ASAN_DIR) and runs the whole test suite there.
# Any finding ends the test that made it, and so fails the run; a leak found
# by LeakSanitizer at a test's exit fails it too, apart from the few that
# scripts/lsan.supp lets through (each explained there). Arguments go to ctest.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLAN_ASAN_DIR:-$here/build-asan}"
# -O1 and line tables only: the usual build for the sanitizers, and half the
# compile time of -O2 with full debug information; reports still name files
# and lines.
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLAN_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
cmake --build "$build" -j2
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:check_initialization_order=1:strict_init_order=1"
export LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if [ -z "${DISPLAY:-}" ]; then export QT_QPA_PLATFORM=offscreen; fi
cd "$build"
ctest -j2 --output-on-failure "$@"
