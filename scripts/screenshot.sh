#!/usr/bin/env bash
# Starts Quillan on a virtual X display, waits for its main frame and saves a
# picture of the screen.
#
#   scripts/screenshot.sh [picture.png]       (default /tmp/quillan-main.png)
#
# QUILLAN_BIN names the program (default build/quillan, or
# $QUILLAN_BUILD_DIR/quillan). Everything started here (Xvfb, Quillan) is
# ended by its own PID when the script ends.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-/tmp/quillan-main.png}"
bin="${QUILLAN_BIN:-${QUILLAN_BUILD_DIR:-$here/build}/quillan}"

if [ ! -x "$bin" ]; then
  echo "screenshot: $bin not found; build first (scripts/build.sh)" >&2
  exit 1
fi
for tool in Xvfb import; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool missing (scripts/install-deps.sh --test)" >&2; exit 1; }
done

# A display number nobody uses.
disp=""
for n in $(seq 99 160); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then disp=$n; break; fi
done
[ -n "$disp" ] || { echo "screenshot: no free display number" >&2; exit 1; }

xvfb_pid=""
app_pid=""
finish() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap finish EXIT

Xvfb ":$disp" -screen 0 800x600x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -e "/tmp/.X11-unix/X$disp" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { echo "screenshot: Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
export DISPLAY=":$disp"

QT_QPA_PLATFORM=xcb "$bin" >/dev/null 2>&1 &
app_pid=$!

# Wait (at most 15 s) for the main frame to be mapped, then a moment for it
# to paint and for the clock to tick once.
found=""
for _ in $(seq 1 150); do
  kill -0 "$app_pid" 2>/dev/null || { echo "screenshot: quillan ended early" >&2; exit 1; }
  if command -v xwininfo >/dev/null; then
    if xwininfo -root -tree 2>/dev/null | grep -q '"Tarrowind Program"'; then found=1; break; fi
  elif [ "$_" -ge 30 ]; then
    found=1; break
  fi
  sleep 0.1
done
[ -n "$found" ] || { echo "screenshot: the main frame did not appear" >&2; exit 1; }
sleep 1.5

import -window root "$out"
echo "$out"
