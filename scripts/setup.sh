#!/usr/bin/env bash
# Installs what Tarvolin needs on Debian 12 (only what is missing), then
# configures and builds it. Used by run-demo.sh and test.sh.
#   BUILD_DIR   build folder (default: build)
#   BUILD_TYPE  CMake build type (default: RelWithDebInfo)
#   BUILD_TARGETS  targets to build (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-connectivity-dev
  # Qt Charts' CMake files need Qt OpenGL's, which its package does not pull in.
  qt6-charts-dev libqt6opengl6-dev libxlsxwriter-dev unzip
  xvfb xauth fonts-dejavu-core
  dbus python3 python3-dbusmock
  dpkg-dev desktop-file-utils appstream lintian
  clang libclang-rt-14-dev
  # The firmware tests make Intel HEX files as other tools write them.
  binutils srecord
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" ${CMAKE_ARGS:-}
targets=()
for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build_dir" --parallel "${targets[@]}"
