#!/usr/bin/env bash
# The real program on a virtual X display, as a user meets it: it reaches its
# main frame, F4 to F9 open the six stations (each shows its caption in the
# frame's title), pictures are taken at the starting size and with the frame
# filling the screen, the menu's "Exit" ends it with status 0.
#
#   tests/e2e/smoke.sh <quillan binary> <directory for the pictures>
#
# Fails when Xvfb, xdotool or ImageMagick is missing: the test packages
# (scripts/install-deps.sh --test) install them.
# Everything started here is ended by its own PID.
set -euo pipefail
bin="$1"
out="$2"

for tool in Xvfb xdpyinfo xdotool import convert; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool is not installed (scripts/install-deps.sh --test installs it)"
    exit 1
  fi
done
[ -x "$bin" ] || { echo "FAIL: $bin not found"; exit 1; }
mkdir -p "$out"

work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
finish() {
  for pid in "$app_pid" "$xvfb_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap finish EXIT

# shellcheck source=xvfb.sh
. "$(dirname "$0")/xvfb.sh"

screen_w=1280 screen_h=1024
disp=""
start_xvfb "${screen_w}x${screen_h}x24" || { echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=":$disp"
export XDG_RUNTIME_DIR="$work"
unset QT_QPA_PLATFORM

"$bin" >"$work/quillan.log" 2>&1 &
app_pid=$!

alive() {
  kill -0 "$app_pid" 2>/dev/null || { echo "FAIL: quillan ended"; cat "$work/quillan.log"; exit 1; }
}

# The main frame (at most 15 s).
win=""
for _ in $(seq 1 150); do
  alive
  win="$(xdotool search --name '^Tarrowind Program$' 2>/dev/null | head -1 || true)"
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "FAIL: the main frame did not appear"; exit 1; }
echo "main frame up: window $win"
sleep 0.5
xdotool windowfocus --sync "$win"

# Waits until the frame's title names the station in front.
expect_title() {
  local want="Tarrowind Program - [$1]" got=""
  for _ in $(seq 1 50); do
    alive
    got="$(xdotool getwindowname "$win" 2>/dev/null || true)"
    [ "$got" = "$want" ] && return 0
    sleep 0.1
  done
  echo "FAIL: after $2 the title is \"$got\", not \"$want\""
  exit 1
}

# A picture of the frame, refused when it is blank.
picture() {
  local file="$out/$1.png"
  import -window "$win" "$file"
  local colours
  colours="$(convert "$file" -format %k info:)"
  if [ "$colours" -lt 8 ]; then
    echo "FAIL: $file has only $colours colours"
    exit 1
  fi
  echo "picture: $file"
}

keys=(F4 F5 F6 F7 F8 F9)
captions=(
  "Modbus master RTU  type protocol"
  "Modbus master ASCII type protocol"
  "Modbus/TCP master type protocol"
  "Modbus RTU Slave Server Simulation Program"
  "Modbus ASCII Slave Server Simulation Program"
  "Modbus/TCP Slave Server Simulation Program"
)
names=(master-rtu master-ascii master-tcp slave-rtu slave-ascii slave-tcp)

picture smoke-main-730x505
for i in "${!keys[@]}"; do
  xdotool key "${keys[$i]}"
  expect_title "${captions[$i]}" "${keys[$i]}"
  sleep 0.3
  picture "smoke-${names[$i]}-730x505"
done

# The frame filling the screen (there is no window manager to maximise it);
# the keys now bring the open stations to the front.
xdotool windowsize --sync "$win" "$screen_w" "$((screen_h - 24))"
for i in "${!keys[@]}"; do
  xdotool key "${keys[$i]}"
  expect_title "${captions[$i]}" "${keys[$i]} again"
  sleep 0.3
  picture "smoke-${names[$i]}-${screen_w}x$((screen_h - 24))"
done

# "Exit", the last item of the Master menu, ends the program.
xdotool key alt+m
sleep 0.3
xdotool key Up Return
for _ in $(seq 1 50); do
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$app_pid" 2>/dev/null; then
  echo "FAIL: quillan still runs after Master > Exit"
  exit 1
fi
rc=0
wait "$app_pid" || rc=$?
app_pid=""
[ "$rc" -eq 0 ] || { echo "FAIL: quillan ended with status $rc"; cat "$work/quillan.log"; exit 1; }
echo "PASS: main frame, six stations, pictures in $out, Exit ended the program"
