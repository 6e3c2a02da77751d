#!/usr/bin/env bash
# Builds the benchmark programs (bench/) into build-bench/ (or
# $QUILLAN_BENCH_DIR), runs them all and prints one table of the figures,
# with the machine they were taken on. Not part of the test suite.
#
#   scripts/bench.sh           full runs (about eight minutes)
#   scripts/bench.sh --quick   fewer and shorter runs (about three minutes)
#
# Everything stays on this machine: TCP only on 127.0.0.1, serial lines on
# socat pty pairs. Every load runs for a fixed, short time.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLAN_BENCH_DIR:-$here/build-bench}"
quick=0
[ "${1:-}" = "--quick" ] && quick=1

targets=(bench_engine bench_device_map bench_simulator bench_trend_chart bench_windows bench_serial bench_serial_fast bench_load bench_ref_server bench_slave_tcp quillan-slave bench_headless bench_device_sim bench_master_poll bench_watch_poll quillan-sniff bench_line_monitor bench_raw_load bench_transports quillan-poll bench_poll bench_scan)
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLAN_BENCH=ON >/dev/null
ninja -C "$build" -j2 "${targets[@]}" >/dev/null

export QT_QPA_PLATFORM=offscreen
out="$build/bench-results"
mkdir -p "$out"
bin="$build/bench"

if [ "$quick" = 1 ]; then
  tcp_args=(--seconds 1.5 --repeats 1); win_args=(--runs 3); ser_args=(--runs 1); fast_args=(--runs 3); prof_n=500
  map_args=(--runs 5); chart_args=(--runs 5)
  poll_args=(--seconds 1 --repeats 1); line_args=(--seconds 4); cli_args=(--runs 10 --repeats 1)
  stall_args=(--stall-seconds 3)
else
  tcp_args=(--seconds 3 --repeats 3); win_args=(--runs 7); ser_args=(--runs 5); fast_args=(--runs 9); prof_n=2000
  map_args=(--runs 21); chart_args=(--runs 21)
  poll_args=(--seconds 3 --repeats 3); line_args=(--seconds 10); cli_args=(--runs 50 --repeats 7)
  stall_args=(--stall-seconds 10)
fi

status=0
run() {  # name, command...
  local name="$1"; shift
  echo "== $name" >&2
  if ! "$@" >"$out/$name.log" 2>"$out/$name.err"; then
    echo "   $name reported a failure; see $out/$name.log and .err" >&2
    status=1
  fi
  grep -v '^ROW|' "$out/$name.log" >&2 || true
}

load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
run engine "$bin/bench_engine"
run device_map "$bin/bench_device_map" "${map_args[@]}"
run simulator "$bin/bench_simulator"
run trend_chart "$bin/bench_trend_chart" "${chart_args[@]}"
run windows "$bin/bench_windows" "${win_args[@]}"
run serial "$bin/bench_serial" "${ser_args[@]}"
run serial_fast "$bin/bench_serial_fast" "${fast_args[@]}"
run slave_tcp "$bin/bench_slave_tcp" "${tcp_args[@]}"
# quillan-slave against the libmodbus reference and pymodbus's server, the
# same load generator for all three; then 2000 connections at once.
run headless "$bin/bench_headless" "${tcp_args[@]}"
# quillan-slave as a simulated device: simulation, many devices, codes 23
# and 43/14, against the same load generator.
run device_sim "$bin/bench_device_sim" "${tcp_args[@]}"
run master_poll "$bin/bench_master_poll" "${poll_args[@]}"
# The Watch page reading a map of 10 blocks, beside libmodbus reading them;
# then the longest event-loop stall watching 1 000 entries with 8 plotted.
run watch_poll "$bin/bench_watch_poll" "${poll_args[@]}" "${stall_args[@]}"
# quillan-sniff on a busy pty line, and the splitter without silences.
run line_monitor "$bin/bench_line_monitor" "${line_args[@]}"
# Modbus/UDP and RTU over TCP against Modbus/TCP, in quillan-slave and the
# Slave TCP station.
run transports "$bin/bench_transports" "${tcp_args[@]}"
# quillan-poll one-shot and polling beside mbpoll and a libmodbus loop, RTU
# over a pty, and its memory over a night's polls.
run poll "$bin/bench_poll" "${cli_args[@]}"
# The scan for devices over TCP: 247 units, three answering, 200 ms time-out.
run scan "$bin/bench_scan"

# Where the engine's time goes: instruction counts under callgrind, or
# samples under perf when valgrind is missing.
profile="$out/engine-profile.txt"
if command -v valgrind >/dev/null && command -v callgrind_annotate >/dev/null; then
  valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
    "$bin/bench_engine" --profile "$prof_n" >/dev/null 2>&1
  callgrind_annotate "$out/callgrind.out" >"$out/callgrind.txt" 2>/dev/null || true
  # Cost per function, summed over the files its code was inlined from.
  awk '/PROGRAM TOTALS/ {gsub(",", "", $1); total=$1}
       /file:function/ && !done {on=1; next}
       on && /^-*$/ && NR > 1 && seen {on=0; done=1}
       on && /%\)/ {
         seen=1
         n=$1; gsub(",", "", n)
         line=$0; sub(/^ *[0-9,]+ \( *[0-9.]+%\) +[^ :]*:/, "", line); sub(/ \[.*$/, "", line)
         cost[line]+=n
       }
       END {for (f in cost) printf "%6.2f%%  %s\n", 100*cost[f]/total, f}' "$out/callgrind.txt" |
    sort -rn | awk 'n < 12 {print; n++}' | cut -c1-110 >"$profile"
  prof_tool="callgrind, instructions, exclusive"
elif command -v perf >/dev/null; then
  perf record -q -o "$out/perf.data" "$bin/bench_engine" --profile "$prof_n" >/dev/null 2>&1 || true
  perf report -q -i "$out/perf.data" --no-children --sort symbol,dso --stdio >"$out/perf.txt" 2>/dev/null || true
  grep '%' "$out/perf.txt" | awk 'n < 12 {print; n++}' >"$profile"
  prof_tool="perf, samples, exclusive"
else
  echo "(neither valgrind nor perf is installed)" >"$profile"
  prof_tool="none"
fi

cpu="$(lscpu | sed -n 's/^Model name: *//p' | head -1)"
qt="$(pkg-config --modversion Qt6Core 2>/dev/null || echo '?')"
echo
echo "Quillan benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Machine: $(nproc) cores, ${cpu:-unknown CPU}, $(uname -sr), Qt $qt; load average at start $load_before"
echo
echo "| Area | Measure | Figure | Goal / prediction | Verdict |"
echo "|---|---|---|---|---|"
cat "$out"/{slave_tcp,headless,device_sim,transports,scan,master_poll,watch_poll,poll,line_monitor,windows,serial,serial_fast,engine,device_map,simulator,trend_chart}.log 2>/dev/null | grep '^ROW|' |
  awk -F'|' '{printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6}'
echo
echo "Where the serving engine's time goes ($prof_tool; top functions):"
sed 's/^/    /' "$profile"
echo
echo "Logs: $out"
exit $status
