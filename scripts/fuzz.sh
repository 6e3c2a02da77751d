#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 15) from the seeds in fuzz/corpus/, two at a time
# (one per core). Exits non-zero on any finding; the crashing input is left in
# build-fuzz/findings/.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLAN_FUZZ_DIR:-$here/build-fuzz}"
secs="${FUZZ_SECONDS:-15}"
cmake -S "$here/fuzz" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2
mkdir -p "$build/findings"

# One target: its log in $build/<target>.log, and <target>.found when it
# found something.
fuzz_one() {
  local target="$1" work
  work="$(mktemp -d)"
  rm -f "$build/$target.found"
  if ! "$build/$target" "$work" "$here/fuzz/corpus/$target" -max_total_time="$secs" \
        -artifact_prefix="$build/findings/$target-" -print_final_stats=1 >"$build/$target.log" 2>&1; then
    touch "$build/$target.found"
  fi
  rm -rf "$work"
}

targets=$(cd "$here/fuzz/corpus" && ls)
running=0
for target in $targets; do
  if [ "$running" -ge 2 ]; then wait -n || true; running=$((running - 1)); fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait

status=0
for target in $targets; do
  echo "== $target: ${secs}s"
  if [ -e "$build/$target.found" ]; then
    echo "FINDING in $target:"; tail -40 "$build/$target.log"; status=1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$build/$target.log" | head -2 || true
done
exit $status
