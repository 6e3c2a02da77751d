# Sourced by the scripts that start the program on a virtual X display.
#
# start_xvfb GEOMETRY: starts Xvfb on a display number it picks itself
# (-displayfd), so scripts running at the same time never race for one;
# -noreset keeps it from resetting (and refusing connections) when the
# readiness probe disconnects. Needs $work (a scratch folder); sets disp and
# xvfb_pid. Returns 1 when no server came up.
start_xvfb() {
  local geometry="$1" numfile="$work/xvfb-display"
  : >"$numfile"
  Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp -noreset 3>"$numfile" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 100); do
    kill -0 "$xvfb_pid" 2>/dev/null || break
    disp="$(tr -dc 0-9 <"$numfile")"
    if [ -n "$disp" ] && DISPLAY=":$disp" xdpyinfo >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""
  return 1
}
