#!/usr/bin/env bash
# Installs what is missing, builds Quillan and runs the whole test suite; then
# the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/), and each libFuzzer target for a bounded time (build-fuzz/).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLAN_BUILD_DIR:-$here/build}"
"$here/scripts/install-deps.sh" --test
"$here/scripts/build.sh"
# Windows are created offscreen when there is no display.
if [ -z "${DISPLAY:-}" ]; then export QT_QPA_PLATFORM=offscreen; fi
(cd "$build" && ctest -j2 --output-on-failure)
"$here/scripts/sanitize.sh"
"$here/scripts/fuzz.sh"
