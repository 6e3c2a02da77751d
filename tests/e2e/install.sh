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
#     builds the three Debian packages (quillan, libcorvane1, libcorvane-dev)
#     with cpack into a temporary directory and checks them: each file in its
#     package, Depends, the ldconfig trigger, shlibs and symbols, copyright and
#     changelog, lintian without errors or warnings, the AppStream data, the
#     desktop entry, the manual pages; then installs them with dpkg into a
#     scratch root, where every program answers --version without a display.
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

  # --version answers without a display (a window would fail on xcb here).
  local version
  version="$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb timeout 10 "$prefix/bin/quillan" --version)" \
    || fail "quillan --version without a display failed"
  [[ "$version" == "quillan "[0-9]* ]] || fail "quillan --version says '$version'"

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

# The files of a package, one a line: path, or "path -> target" for a link;
# directories left out.
deb_files() {
  dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6 ($7 == "->" ? " -> " $8 : "")}'
}

check_deb() {
  need cpack
  need dpkg-deb
  need dpkg-shlibdeps
  need dpkg-gensymbols
  need lintian
  need appstreamcli
  need desktop-file-validate
  need man
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; fail "cpack"; }
  local version arch
  version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
  [ -n "$version" ] || fail "no version in CPackConfig.cmake"
  arch="$(dpkg --print-architecture)"
  local packages=(quillan libcorvane1 libcorvane-dev)
  local pkg deb
  declare -A debs
  for pkg in "${packages[@]}"; do
    deb="$work/pkg/${pkg}_${version}_${arch}.deb"
    [ -f "$deb" ] || { ls "$work/pkg"; cat "$work/cpack.log"; fail "$(basename "$deb") not made"; }
    debs[$pkg]="$deb"
    [ "$(dpkg-deb -f "$deb" Package)" = "$pkg" ] || fail "$pkg: Package field"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$pkg: Version field"
    [ "$(dpkg-deb -f "$deb" Maintainer)" = "Quillan developers <maintainers@quillan.invalid>" ] \
      || fail "$pkg: Maintainer is '$(dpkg-deb -f "$deb" Maintainer)'"
    deb_files "$deb" >"$work/$pkg.files"
    mkdir -p "$work/x-$pkg"
    dpkg-deb -x "$deb" "$work/x-$pkg"
    dpkg-deb -e "$deb" "$work/control-$pkg"
  done
  echo "packages: ${packages[*]} $version"

  # Each file in the package Debian expects it in, and nothing else: the
  # library's files must not turn up in the program's package. Every program
  # in usr/bin has its manual page.
  local programs prog
  programs="$(sed -n 's|^\./usr/bin/\([^ ]*\)$|\1|p' "$work/quillan.files")"
  [ -n "$programs" ] || fail "no program in the quillan package"
  {
    echo "./usr/share/applications/quillan.desktop"
    echo "./usr/share/icons/hicolor/scalable/apps/quillan.svg"
    echo "./usr/share/metainfo/invalid.quillan.Quillan.metainfo.xml"
    for prog in $programs; do
      echo "./usr/bin/$prog"
      echo "./usr/share/man/man1/$prog.1.gz"
    done
  } >"$work/quillan.expected"
  printf '%s\n' "./usr/lib/libcorvane.so.1 -> libcorvane.so.1.0.0" "./usr/lib/libcorvane.so.1.0.0" \
    >"$work/libcorvane1.expected"
  printf '%s\n' "./usr/include/corvane.h" "./usr/lib/libcorvane.so -> libcorvane.so.1" \
    >"$work/libcorvane-dev.expected"
  for pkg in "${packages[@]}"; do
    printf '%s\n' "./usr/share/doc/$pkg/copyright" "./usr/share/doc/$pkg/changelog.gz" >>"$work/$pkg.expected"
    if ! diff <(sort -u "$work/$pkg.expected") <(sort "$work/$pkg.files") >"$work/$pkg.diff"; then
      cat "$work/$pkg.diff"
      fail "$pkg: files differ from the expected ones (< missing, > unexpected; no manual page means help2man was missing when the build was configured)"
    fi
  done

  # Dependencies: Debian's Qt 6 for the program (Qt Charts and Qt SVG for
  # the trend chart among them), libcorvane1 of the same version for the
  # program and the header package, the C library for the library.
  local depends p
  depends="$(dpkg-deb -f "${debs[quillan]}" Depends)"
  echo "quillan Depends: $depends"
  echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' >"$work/depends"
  for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6charts6 libqt6svg6 qt6-qpa-plugins libc6 \
           libstdc++6 libcorvane1; do
    grep -qxF "$p" "$work/depends" || fail "quillan: Depends lacks $p"
  done
  grep -qF "libcorvane1 (= $version)" <<<"$depends" || fail "quillan: Depends names another libcorvane1 than (= $version)"
  grep -qF "libcorvane1 (= $version)" <<<"$(dpkg-deb -f "${debs[libcorvane-dev]}" Depends)" \
    || fail "libcorvane-dev: Depends lacks libcorvane1 (= $version)"
  grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(dpkg-deb -f "${debs[libcorvane1]}" Depends)" || fail "libcorvane1: Depends lacks libc6"

  # No maintainer scripts: the library is registered with the dynamic linker
  # by a trigger; its shlibs and symbols files tell dpkg-shlibdeps what a
  # program built against it needs.
  local script
  for pkg in "${packages[@]}"; do
    for script in preinst postinst prerm postrm config; do
      [ ! -e "$work/control-$pkg/$script" ] || fail "$pkg has a $script script"
    done
  done
  grep -qx 'activate-noawait ldconfig' "$work/control-libcorvane1/triggers" || fail "libcorvane1: no ldconfig trigger"
  grep -qx "libcorvane 1 libcorvane1 (>= $version)" "$work/control-libcorvane1/shlibs" || fail "libcorvane1: shlibs"
  # The symbols file lists exactly what the library exports: a function added
  # to or taken from corvane.h without packaging/libcorvane1.symbols fails here.
  # (dpkg-gensymbols wants a source tree: an empty debian/control will do.)
  mkdir -p "$work/gensymbols/debian"
  : >"$work/gensymbols/debian/control"
  (cd "$work/gensymbols" && dpkg-gensymbols -plibcorvane1 -v"$version" -P"$work/x-libcorvane1" \
      -e"$work/x-libcorvane1/usr/lib/libcorvane.so.1" -I"$work/control-libcorvane1/symbols" -c4 \
      -O"$work/gensymbols/symbols") || fail "libcorvane1: the symbols file does not match the library"

  # The licence and the changelog in every package: the copyright file as
  # written, the changelog compressed with gzip -9n (no name, no time), and
  # its newest entry the packages' version.
  for pkg in "${packages[@]}"; do
    cmp -s "$work/x-$pkg/usr/share/doc/$pkg/copyright" "$src/packaging/copyright" || fail "$pkg: copyright file"
    cmp -s "$work/x-$pkg/usr/share/doc/$pkg/changelog.gz" <(gzip -9nc "$src/packaging/changelog") \
      || fail "$pkg: changelog.gz is not gzip -9n of packaging/changelog"
  done
  grep -q '^License: Expat$' "$src/packaging/copyright" && grep -q 'LICENSE' "$src/packaging/copyright" \
    || fail "the copyright file names no licence"
  head -1 "$src/packaging/changelog" | grep -qF "quillan ($version) " || fail "the changelog's newest entry is not $version"

  # Debian's own checker: any error or warning fails. An override needs its
  # reason, a comment, on the line above it.
  local override
  for override in "$work"/x-*/usr/share/lintian/overrides/*; do
    [ -e "$override" ] || continue
    awk 'NF && $1 !~ /^#/ && prev !~ /^#/ {bad = 1} {prev = $0} END {exit bad}' "$override" \
      || fail "$(basename "$override"): an override without its reason on the line above"
  done
  lintian --fail-on error,warning "${debs[quillan]}" "${debs[libcorvane1]}" "${debs[libcorvane-dev]}" \
    >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
  if grep -E '^[EW]: ' "$work/lintian.log"; then fail "lintian reports errors or warnings"; fi

  # What software centres and desktops read.
  appstreamcli validate --no-net "$src/packaging/quillan.metainfo.xml" >"$work/appstream.log" 2>&1 \
    || { cat "$work/appstream.log"; fail "appstreamcli validate"; }
  appstreamcli validate-tree --no-net "$work/x-quillan" >"$work/appstream.log" 2>&1 \
    || { cat "$work/appstream.log"; fail "appstreamcli validate-tree on the quillan package"; }
  desktop-file-validate "$work/x-quillan/usr/share/applications/quillan.desktop" >"$work/desktop.log" 2>&1 \
    && [ ! -s "$work/desktop.log" ] || { cat "$work/desktop.log"; fail "desktop-file-validate"; }

  # The manual pages render without a warning and describe their program.
  local rendered
  for prog in $programs; do
    rendered="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$work/x-quillan/usr/share/man/man1/$prog.1.gz" 2>"$work/man.log")" \
      || { cat "$work/man.log"; fail "man -l $prog.1.gz"; }
    [ ! -s "$work/man.log" ] || { cat "$work/man.log"; fail "man -l $prog.1.gz warns"; }
    grep -Eq "^ +$prog - .+" <<<"$rendered" || { echo "$rendered" | head -20; fail "$prog(1) has no NAME line"; }
    grep -q -- '--version' <<<"$rendered" || fail "$prog(1) does not describe --version"
  done

  # Installed with dpkg into a scratch root (the Debian libraries they depend
  # on are the host's), every program answers --version and --help without a
  # display and finds the library in the installed place; then all is purged.
  local root="$work/root"
  [ -n "$work" ] && [ -d "$work" ] || fail "no scratch directory"  # never the host's dpkg database
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  : >"$root/var/lib/dpkg/status"
  local dpkg_root=(dpkg --root="$root" --log=/dev/null --force-depends)
  [ "$(id -u)" -eq 0 ] || dpkg_root+=(--force-not-root)
  "${dpkg_root[@]}" -i "${debs[libcorvane1]}" "${debs[libcorvane-dev]}" "${debs[quillan]}" >"$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log"; fail "dpkg --root -i"; }
  local said
  for prog in $programs; do
    said="$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb timeout 10 "$root/usr/bin/$prog" --version)" \
      || fail "$prog --version in the scratch root failed"
    [ "$(echo "$said" | head -1)" = "$prog $version" ] || fail "$prog --version says '$said'"
    said="$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb timeout 10 "$root/usr/bin/$prog" --help)" \
      || fail "$prog --help in the scratch root failed"
    [[ "$said" == "Usage: $prog "* ]] || fail "$prog --help begins '$(echo "$said" | head -1)'"
    said="$(ldd "$root/usr/bin/$prog")"
    grep -qF "libcorvane.so.1 => $root/usr/bin/../lib/libcorvane.so.1 " <<<"$said" \
      || { echo "$said"; fail "$prog loads libcorvane from elsewhere"; }
  done
  "${dpkg_root[@]}" --purge quillan libcorvane-dev libcorvane1 >>"$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log"; fail "dpkg --root --purge"; }
  [ -z "$(find "$root/usr" -mindepth 1 2>/dev/null)" ] || { find "$root/usr"; fail "files left after the purge"; }

  echo "PASS: quillan, libcorvane1, libcorvane-dev $version: files, Depends, trigger, symbols, copyright, changelog, lintian, AppStream, desktop entry, manual pages ($programs), dpkg --root install and purge"
}

case "$mode" in
  prefix) check_prefix ;;
  deb) check_deb ;;
  *) echo "usage: $0 prefix|deb <build dir> <source dir>"; exit 2 ;;
esac
