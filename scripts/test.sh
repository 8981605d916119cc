#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite headless:
# first the normal build, then the same suite built with the address and
# undefined-behaviour sanitizers, then with the thread sanitizer, then every
# fuzzer for a short while on its corpus. Any failure or finding fails the run.
#   BUILD_DIR       normal build folder (default: build)
#   TARVOLIN_QUICK  set to 1 to run only the normal suite (and the Windows
#                   build with its checks)
#   TARVOLIN_QT_MINGW  a Qt cross-built for Windows (see scripts/windows.sh);
#                   with it, or with one in the cache, the Windows build and
#                   its Wine checks run after the normal suite
#   FUZZ_SECONDS    seconds per fuzzer (default 20)
#   FUZZ_SKIP       fuzzers to leave out (see scripts/fuzz.sh; default: none)
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

bash scripts/setup.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --parallel 2 --timeout 300

windows_cache=${TARVOLIN_WINDOWS_CACHE:-$HOME/.cache/tarvolin-windows}
if [ -n "${TARVOLIN_QT_MINGW:-}" ] || [ -f "$windows_cache/source/.complete" ] ||
   [ -f "$windows_cache/prebuilt/.unpacked-from" ]; then
  LINUX_BUILD_DIR="${BUILD_DIR:-build}" bash scripts/windows.sh
else
  echo "SKIPPED: the Windows build and its Wine checks (no Qt for Windows: set TARVOLIN_QT_MINGW or run scripts/windows.sh once)"
fi

if [ "${TARVOLIN_QUICK:-0}" = 1 ]; then
  exit 0
fi

# The package test packs whatever the build holds; it runs on the normal build.
BUILD_DIR=build-asan BUILD_TYPE=RelWithDebInfo CMAKE_ARGS="-DTARVOLIN_SANITIZE=ON" bash scripts/setup.sh
UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --parallel 2 --timeout 600 -E '^tst_package$'

# The thread sanitizer: the worker, the link and the flight recorder's lock.
# The three command-line suites are disabled in this build (tests/cli): they
# fork the tool dozens of times beside the meter's thread, which the sanitizer
# cannot follow; the same worker and link run here in the window's tests.
BUILD_DIR=build-tsan BUILD_TYPE=RelWithDebInfo CMAKE_ARGS="-DTARVOLIN_TSAN=ON" bash scripts/setup.sh
ctest --test-dir build-tsan --output-on-failure --parallel 2 --timeout 600 -E '^tst_package$'

if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
fi
