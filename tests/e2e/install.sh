#!/usr/bin/env bash
# Quillan installed like a Linux program.
#
#   tests/e2e/install.sh prefix <build dir> <source dir>
#     cmake --install into a temporary prefix; checks the files, the soname
#     links, the header (a small C program builds and runs against the
#     installed library) and the program's run path; starts the installed
#     program (on Xvfb when there is one, else offscreen) and checks it
#     reaches its main frame / event loop.
#   tests/e2e/install.sh deb <build dir> <source dir>
#     builds the Debian package with cpack into a temporary directory and
#     inspects it with dpkg-deb: contents, Depends, the ldconfig triggers.
#
# Fails when a tool the step needs is missing (all come with the packages of
# scripts/install-deps.sh). Everything
# started here is ended by its own PID; the temporary directories go.
set -euo pipefail
mode="$1"
build="$(cd "$2" && pwd)"
src="$(cd "$3" && pwd)"

work="$(mktemp -d)"
pids=()
finish() {
  for pid in "${pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap finish EXIT

fail() { echo "FAIL: $*"; exit 1; }
need() { command -v "$1" >/dev/null || fail "$1 is not installed (scripts/install-deps.sh installs it)"; }

# shellcheck source=xvfb.sh
. "$(dirname "$0")/xvfb.sh"

check_prefix() {
  need readelf
  need cc
  local prefix="$work/prefix"
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install"; }

  [ -x "$prefix/bin/quillan" ] || fail "bin/quillan missing"
  # The library: real file, soname link, development link.
  local real
  real="$(cd "$prefix/lib" && ls libcorvane.so.*.*.* 2>/dev/null | head -1)"
  [ -n "$real" ] && [ -f "$prefix/lib/$real" ] && [ ! -L "$prefix/lib/$real" ] || fail "lib/libcorvane.so.X.Y.Z missing"
  [ "$(readlink "$prefix/lib/libcorvane.so.1")" = "$real" ] || fail "libcorvane.so.1 does not point at $real"
  [ "$(readlink "$prefix/lib/libcorvane.so")" = "libcorvane.so.1" ] || fail "libcorvane.so does not point at libcorvane.so.1"
  readelf -d "$prefix/lib/$real" | grep -q 'Library soname: \[libcorvane.so.1\]' || fail "soname is not libcorvane.so.1"
  cmp -s "$prefix/include/corvane.h" "$src/link/corvane.h" || fail "include/corvane.h missing or not the library's header"
  [ -f "$prefix/share/applications/quillan.desktop" ] || fail "desktop entry missing"
  [ -f "$prefix/share/icons/hicolor/scalable/apps/quillan.svg" ] || fail "icon missing"
  grep -q '^Exec=quillan$' "$prefix/share/applications/quillan.desktop" || fail "desktop entry does not start quillan"
  grep -q '^Icon=quillan$' "$prefix/share/applications/quillan.desktop" || fail "desktop entry names another icon"

  # The program finds the library beside it, not in the build tree.
  local runpath
  runpath="$(readelf -d "$prefix/bin/quillan" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')"
  [ "$runpath" = '$ORIGIN/../lib' ] || fail "run path is '$runpath'"
  local loaded
  loaded="$(ldd "$prefix/bin/quillan" | sed -n 's/^[[:space:]]*libcorvane.so.1 => \([^ ]*\) .*/\1/p')"
  [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$prefix/lib/$real")" ] \
    || fail "the installed program loads libcorvane from '$loaded'"

  # Another program builds against the installed header and library: the
  # CRC of 01 03 00 00 00 01 is 84 0A.
  cat >"$work/use_corvane.c" <<'EOF'
#include <corvane.h>
#include <stdio.h>
int main(void)
{
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    uint8_t crc[2] = {0, 0};
    char hex[5] = {0};
    CRC_check(frame, 6, crc);
    itascxr(0xBEEF, -4, hex);
    printf("%02X %02X %s\n", crc[0], crc[1], hex);
    return 0;
}
EOF
  # shellcheck disable=SC2086  # the sanitizer build's flags, if any, are words
  cc -Wall -Wextra ${QUILLAN_SANITIZE_FLAGS:-} -I"$prefix/include" "$work/use_corvane.c" -L"$prefix/lib" -lcorvane \
    -Wl,-rpath,"$prefix/lib" -o "$work/use_corvane" || fail "a C program does not build against the installed library"
  local said
  said="$("$work/use_corvane")"
  [ "$said" = "84 0A BEEF" ] || fail "the C program says '$said'"

  # The installed program starts and reaches its main frame.
  export XDG_RUNTIME_DIR="$work"
  if command -v Xvfb >/dev/null && command -v xdpyinfo >/dev/null && command -v xdotool >/dev/null; then
    local disp="" xvfb_pid=""
    start_xvfb 1024x768x24 || fail "Xvfb did not start"
    pids+=("$xvfb_pid")
    DISPLAY=":$disp" QT_QPA_PLATFORM=xcb "$prefix/bin/quillan" >"$work/quillan.log" 2>&1 &
    local app=$!
    pids+=($app)
    local found=""
    for _ in $(seq 1 150); do
      kill -0 "$app" 2>/dev/null || { cat "$work/quillan.log"; fail "the installed program ended"; }
      if DISPLAY=":$disp" xdotool search --name '^Tarrowind Program$' >/dev/null 2>&1; then found=1; break; fi
      sleep 0.1
    done
    [ -n "$found" ] || fail "the installed program showed no main frame"
    echo "installed program reached its main frame on Xvfb :$disp"
  else
    # No display: offscreen, ended after 3 s; 124 says it was still in its loop.
    local rc=0
    QT_QPA_PLATFORM=offscreen timeout 3 "$prefix/bin/quillan" >"$work/quillan.log" 2>&1 || rc=$?
    [ "$rc" -eq 124 ] || { cat "$work/quillan.log"; fail "the installed program ended with $rc before 3 s"; }
    echo "installed program ran its event loop offscreen for 3 s"
  fi
  echo "PASS: installed into a prefix: program, libcorvane.so -> .so.1 -> $real, header, desktop entry, icon"
}

check_deb() {
  need cpack
  need dpkg-deb
  need dpkg-shlibdeps
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; fail "cpack"; }
  local deb
  deb="$(ls "$work/pkg"/quillan_*.deb 2>/dev/null | head -1)"
  [ -n "$deb" ] || { cat "$work/cpack.log"; fail "no .deb made"; }
  echo "package: $(basename "$deb")"

  dpkg-deb -c "$deb" | awk '{print $6 ($7 == "->" ? " -> " $8 : "")}' >"$work/contents"
  for f in ./usr/bin/quillan ./usr/include/corvane.h "./usr/lib/libcorvane.so.1 -> libcorvane.so.1.0.0" \
           "./usr/lib/libcorvane.so -> libcorvane.so.1" ./usr/lib/libcorvane.so.1.0.0 \
           ./usr/share/applications/quillan.desktop ./usr/share/icons/hicolor/scalable/apps/quillan.svg; do
    grep -qxF "$f" "$work/contents" || { cat "$work/contents"; fail "$f not in the package"; }
  done
  # Nothing of the build tree or the tests is packaged.
  if grep -Eq 'tst_|/tests/|\.a$' "$work/contents"; then cat "$work/contents"; fail "test files in the package"; fi

  local depends
  depends="$(dpkg-deb -f "$deb" Depends)"
  echo "Depends: $depends"
  # The package names alone, one a line.
  echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' >"$work/depends"
  for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 qt6-qpa-plugins libc6 libstdc++6; do
    grep -qxF "$p" "$work/depends" || fail "Depends lacks $p"
  done
  if echo "$depends" | grep -q corvane; then fail "Depends names libcorvane, which the package holds"; fi
  [ "$(dpkg-deb -f "$deb" Package)" = quillan ] || fail "package name"

  # The library is registered with the dynamic linker on install and removal.
  dpkg-deb -e "$deb" "$work/control"
  grep -q 'ldconfig' "$work/control/postinst" || fail "postinst does not run ldconfig"
  grep -q '^libcorvane 1 quillan' "$work/control/shlibs" || fail "shlibs does not name libcorvane 1"
  # The program in the package is stripped and finds its library.
  dpkg-deb -x "$deb" "$work/root"
  readelf -d "$work/root/usr/bin/quillan" | grep -q 'R\(UN\)\{0,1\}PATH.*\$ORIGIN/../lib' || fail "packaged run path"
  echo "PASS: .deb contents, Depends and ldconfig triggers"
}

case "$mode" in
  prefix) check_prefix ;;
  deb) check_deb ;;
  *) echo "usage: $0 prefix|deb <build dir> <source dir>"; exit 2 ;;
esac
