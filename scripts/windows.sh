#!/usr/bin/env bash
# Builds the Windows programs and their installer on Debian 12 by
# cross-compiling with MinGW-w64, then checks them under Wine.
#   bash scripts/windows.sh          Qt for Windows (once per cache), the
#                                    programs, the installer, the checks
#   bash scripts/windows.sh --check  only the checks, on the last build
# Environment:
#   TARVOLIN_QT_MINGW       a prebuilt Qt for MinGW (qt6-mingw/ and deps-mingw/):
#                           the .tar.xz (unpacked into the cache) or its folder.
#                           Without it, Qt is built from Debian's source packages
#                           into the cache, once (about 50 min of CPU on 2 cores).
#   TARVOLIN_WINDOWS_CACHE  the cache (default ~/.cache/tarvolin-windows)
#   BUILD_DIR               the Windows build (default build-windows)
#   LINUX_BUILD_DIR         the Linux build the checks compare with (default build)
#   TARVOLIN_WINE_TESTS     0 leaves out the product's test programs (their
#                           build and their run under Wine after the checks)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

mode=all
case "${1:-}" in
  "") ;;
  --check) mode=check ;;
  *) echo "usage: $0 [--check]" >&2; exit 1 ;;
esac

cache=${TARVOLIN_WINDOWS_CACHE:-$HOME/.cache/tarvolin-windows}
build_dir=${BUILD_DIR:-build-windows}
linux_build=${LINUX_BUILD_DIR:-build}
version=$(sed -n 's/^project(Tarvolin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
installer=$build_dir/tarvolin-$version-win64-setup.exe
stage=$build_dir/stage
triplet=x86_64-w64-mingw32

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# --- Qt for Windows --------------------------------------------------------

# A prebuilt: a folder holding both prefixes, or the archive of them, unpacked
# once into the cache (again when the archive changes).
qt_from_prebuilt() {
  local given=$1
  if [ -d "$given" ]; then
    qt_root=$(cd "$given" && pwd)
  elif [ -f "$given" ]; then
    qt_root=$cache/prebuilt
    local mark
    mark="$(realpath "$given") $(stat -c '%s %Y' "$given")"
    if [ "$(cat "$qt_root/.unpacked-from" 2>/dev/null)" != "$mark" ]; then
      echo "Unpacking $given into $qt_root"
      rm -rf "$qt_root" && mkdir -p "$qt_root"
      tar -xJf "$given" -C "$qt_root"
      echo "$mark" > "$qt_root/.unpacked-from"
    fi
  else
    echo "TARVOLIN_QT_MINGW=$given is neither a folder nor an archive" >&2
    exit 1
  fi
  if [ ! -d "$qt_root/qt6-mingw" ] || [ ! -d "$qt_root/deps-mingw" ]; then
    echo "$given holds no qt6-mingw/ and deps-mingw/" >&2
    exit 1
  fi
}

# Source packages need a deb-src entry beside the deb one: the same archive
# and keyring.
add_deb_src() {
  apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Package:' && return
  local list=/etc/apt/sources.list.d/tarvolin-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # deb822: each stanza of type deb, again as deb-src.
    awk 'BEGIN { RS = ""; ORS = "\n\n" } /(^|\n)Types:[^\n]*deb/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
      /etc/apt/sources.list.d/debian.sources | "${sudo_cmd[@]}" tee "$list" > /dev/null
  else
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/tarvolin-src.list > /dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
}

# Qt 6.4.2 qtbase and qtconnectivity and libxlsxwriter, for x86_64 MinGW-w64,
# from Debian's source packages with Debian's patches applied (apt-get source
# unpacks them so). Qt Charts' source is not in the archive: left out.
qt_from_source() {
  qt_root=$cache/source
  [ -f "$qt_root/.complete" ] && return
  echo "Building Qt for Windows from Debian's sources into $qt_root (about 50 min of CPU on 2 cores, once)"
  install_missing dpkg-dev xz-utils
  add_deb_src
  local src=$cache/src work=$cache/work qt=$qt_root/qt6-mingw deps=$qt_root/deps-mingw
  mkdir -p "$src" "$work" "$qt_root"
  # The toolchain file goes with the prefix: Qt's own toolchain file
  # (qt.toolchain.cmake, used by qt-configure-module) names it.
  cp cmake/mingw-w64-x86_64.cmake "$qt_root/mingw-w64-x86_64.cmake"
  local toolchain=$qt_root/mingw-w64-x86_64.cmake
  (cd "$src" && { ls -d qt6-base-*/ qt6-connectivity-*/ libxlsxwriter-*/ > /dev/null 2>&1 ||
    apt-get source -qq qt6-base qt6-connectivity libxlsxwriter; })
  local base conn xlsx
  base=$(ls -d "$src"/qt6-base-*/ | head -1)
  conn=$(ls -d "$src"/qt6-connectivity-*/ | head -1)
  xlsx=$(ls -d "$src"/libxlsxwriter-*/ | head -1)
  local jobs
  jobs=$(nproc)

  # opengl=no also turns dynamicgl off; the +dfsg tarball lacks the tablet
  # sources.
  nice cmake -S "$base" -B "$work/qtbase" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$qt" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
    -DQT_BUILD_TESTS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF \
    -DINPUT_opengl=no -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF
  nice cmake --build "$work/qtbase" --parallel "$jobs"
  cmake --install "$work/qtbase"

  mkdir -p "$work/qtconnectivity"
  (cd "$work/qtconnectivity" && nice "$qt/bin/qt-configure-module" "$conn" -- -G Ninja)
  nice cmake --build "$work/qtconnectivity" --parallel "$jobs"
  cmake --install "$work/qtconnectivity"

  nice cmake -S "$xlsx" -B "$work/libxlsxwriter" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
    -DBUILD_SHARED_LIBS=ON -DUSE_DTOA_LIBRARY=ON
  nice cmake --build "$work/libxlsxwriter" --parallel "$jobs"
  cmake --install "$work/libxlsxwriter"

  date -u +%FT%TZ > "$qt_root/.complete"
}

find_qt() {
  if [ -n "${TARVOLIN_QT_MINGW:-}" ]; then
    qt_from_prebuilt "$TARVOLIN_QT_MINGW"
  elif [ -f "$cache/source/.complete" ]; then
    qt_root=$cache/source
  elif [ -f "$cache/prebuilt/.unpacked-from" ]; then
    qt_root=$cache/prebuilt
  else
    qt_from_source
  fi
  qt_prefix=$qt_root/qt6-mingw
  deps_prefix=$qt_root/deps-mingw
}

# --- The programs ----------------------------------------------------------

build_programs() {
  local prefixes="$qt_prefix;$deps_prefix"
  # libxlsxwriter is found through pkg-config: only its Windows .pc, with
  # the prefix taken from where the file lies (the prebuilt was moved).
  PKG_CONFIG_LIBDIR=$deps_prefix/lib/pkgconfig cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPKG_CONFIG_ARGN=--define-prefix \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    "-DTARVOLIN_MINGW_PREFIXES=$prefixes" "-DCMAKE_PREFIX_PATH=$prefixes" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64
  # The test programs only when they are to run: they are most of the build.
  local targets=()
  [ "${TARVOLIN_WINE_TESTS:-1}" = 1 ] || targets=(--target tarvolin tarvolin-cli zevq-sim)
  cmake --build "$build_dir" --parallel "${targets[@]}"
}

# Every DLL a file imports that is ours to ship (Qt, libxlsxwriter, zlib, the
# MinGW runtime), copied beside the programs, and what those import in turn.
# DLLs found in none of the folders are Windows' own.
dll_dirs=()
gather_imports() {
  local file=$1 dll dir found
  for dll in $(${triplet}-objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r'); do
    [ -n "$(find "$stage" -maxdepth 1 -iname "$dll" -print -quit)" ] && continue
    found=
    for dir in "${dll_dirs[@]}"; do
      found=$(find "$dir" -maxdepth 1 -iname "$dll" -print -quit)
      [ -n "$found" ] && break
    done
    [ -z "$found" ] && continue
    cp "$found" "$stage/"
    gather_imports "$stage/$(basename "$found")"
  done
}

make_stage() {
  rm -rf "$stage" && mkdir -p "$stage/platforms" "$stage/styles" "$stage/doc"
  local program
  for program in app/tarvolin cli/tarvolin-cli sim/zevq-sim; do
    cp "$build_dir/$program.exe" "$stage/"
    ${triplet}-strip "$stage/$(basename "$program").exe"
  done
  # Qt loads these at run time, so no import table names them.
  cp "$qt_prefix/plugins/platforms/qwindows.dll" "$stage/platforms/"
  cp "$qt_prefix/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
  local file
  for file in "$stage"/*.exe "$stage"/platforms/*.dll "$stage"/styles/*.dll; do
    gather_imports "$file"
  done
  cp resources/ZEVQ-BLE.INI "$stage/"
  # The guides the Debian package ships, from its own list.
  local docs
  docs=$(sed -n 's/^set(docs \(.*\))$/\1/p' packaging/CMakeLists.txt)
  for file in $docs; do cp "docs/$file" "$stage/doc/"; done
  cp packaging/copyright "$stage/doc/copyright.txt"
  # For the uninstaller: what was installed, files first, deepest folders first.
  local list=$stage/uninstall-files.nsh rel
  : > "$list.tmp"
  (cd "$stage" && find . -type f ! -name uninstall-files.nsh.tmp | sort -r) | while read -r rel; do
    rel=${rel#./}; echo "Delete \"\$INSTDIR\\${rel//\//\\}\""
  done >> "$list.tmp"
  (cd "$stage" && find . -mindepth 1 -type d | sort -r) | while read -r rel; do
    rel=${rel#./}; echo "RMDir \"\$INSTDIR\\${rel//\//\\}\""
  done >> "$list.tmp"
  mv "$list.tmp" "$list"
}

make_installer() {
  makensis -V2 -DVERSION="$version" -DSTAGE="$(realpath "$stage")" -DOUTFILE="$(realpath "$build_dir")/$(basename "$installer")" \
    packaging/windows/tarvolin.nsi
  echo "Installer: $installer ($(du -h "$installer" | cut -f1))"
}

# --- Checks under Wine -----------------------------------------------------

# The product's own test programs under Wine (CTest runs them through the
# emulator). The Windows build leaves out the groups that drive Unix tools
# (tests/CMakeLists.txt). The prefix is made first: its first start takes
# longer than a test may. Wine hands a QT_ variable to its programs only in
# its WINE-prefixed form.
run_test_programs() {
  local path="" dir
  for dir in "$qt_prefix/bin" "$deps_prefix/bin" "${dll_dirs[@]:2}"; do
    path+="Z:${dir//\//\\};"
  done
  local wine_env=(WINEPREFIX="$(realpath "$build_dir")/wine-tests" WINEARCH=win64 WINEDEBUG=-all
                  WINEDLLOVERRIDES="mscoree,mshtml=")
  local rc=0
  env "${wine_env[@]}" /usr/lib/wine/wine64 wineboot -i > /dev/null 2>&1
  # Wine passes no QT_ variable on; WINEQT_x reaches the program as QT_x.
  # Qt's offscreen platform on Windows reads its fonts from one folder only,
  # and without any draws every character as a box of the same width.
  local fonts=/usr/share/wine/fonts
  env "${wine_env[@]}" WINEPATH="$path" WINEQT_PLUGIN_PATH="Z:${qt_prefix//\//\\}\\plugins" \
    WINEQT_QPA_FONTDIR="Z:${fonts//\//\\}" \
    ctest --test-dir "$build_dir" --output-on-failure --parallel 2 --timeout 300 || rc=$?
  env "${wine_env[@]}" /usr/lib/wine/wineserver64 -k 2> /dev/null || true
  return "$rc"
}

run_checks() {
  [ -f "$installer" ] || { echo "No installer at $installer: run $0 first" >&2; exit 1; }
  BUILD_TARGETS="tarvolin-cli zevq-sim" BUILD_DIR="$linux_build" bash scripts/setup.sh > /dev/null
  bash tests/windows/check.sh "$installer" "$linux_build" docs/screenshot-windows.png
  # Under Wine 8.0 all 33 programs pass (docs/windows.md).
  if [ "${TARVOLIN_WINE_TESTS:-1}" = 1 ]; then
    run_test_programs
  fi
}

# fonts-wine is only recommended by Wine, and without it the folder the
# checks' offscreen platform reads its fonts from is empty.
install_missing g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev \
  wine wine64 fonts-wine nsis xvfb xauth x11-utils imagemagick unzip cmake ninja-build \
  qt6-base-dev qt6-base-dev-tools qt6-connectivity-dev
find_qt
# Where the DLLs the programs import come from: Qt, libxlsxwriter, the MinGW
# runtime (libstdc++, libgcc, winpthread, zlib).
dll_dirs=("$qt_prefix/bin" "$deps_prefix/bin"
          "$(dirname "$(${triplet}-g++-posix -print-libgcc-file-name)")" "/usr/$triplet/lib")
if [ "$mode" = all ]; then
  build_programs
  make_stage
  make_installer
fi
run_checks
