#!/usr/bin/env bash
# Installs the Debian packages Quillan needs. Safe to run again: packages
# already present are left alone.
#
#   scripts/install-deps.sh          what building and running need (run.sh)
#   scripts/install-deps.sh --test   that and the test tools (test.sh)
set -euo pipefail

# Building and running: compiler, CMake and Ninja, Qt 6 Widgets/Network (its
# development package brings moc, the platform plugins and the OpenGL headers
# Qt's CMake files ask for), Qt Charts and Qt SVG (the trend chart and its
# SVG pictures; Qt Charts' CMake files ask for Qt OpenGL's, which Debian
# ships apart), the JSON library of the setup files and the command-line
# parser of the programs without a window (both headers only).
# dpkg-dev, for the Debian package, comes with build-essential.
RUN_PKGS=(
  build-essential
  cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  qt6-charts-dev qt6-svg-dev libqt6opengl6-dev
  nlohmann-json3-dev libcli11-dev
)

# Tests, benchmarks and fuzzing, one group of packages a line.
TEST_PKGS=(
  socat
  python3 python3-pymodbus python3-serial python3-serial-asyncio
  mbpoll libmodbus-dev
  xvfb xauth x11-apps x11-utils
  imagemagick xdotool
  clang libclang-rt-14-dev
  lintian appstream desktop-file-utils help2man man-db  # the package test (e2e_deb) checks with these
  tshark  # reads the saved traffic captures back
)

PKGS=("${RUN_PKGS[@]}")
case "${1:-}" in
  "") ;;
  --test) PKGS+=("${TEST_PKGS[@]}") ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# wireshark-common (with tshark) would ask whether users may capture, which
# stops a non-interactive install; the answer is given ahead (no: the tests
# only read files, they never capture).
if [ "${1:-}" = "--test" ]; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
fi

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
