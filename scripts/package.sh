#!/usr/bin/env bash
# Installs what is missing, builds the programs, manual pages and documents, and
# makes the Debian package build/package/tarvolin_<version>_<arch>.deb.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_TARGETS="tarvolin tarvolin-cli zevq-sim tarvolin-docs" bash scripts/setup.sh
build_dir=${BUILD_DIR:-build}
cpack --config "$build_dir/CPackConfig.cmake" -B "$build_dir/package"
ls "$build_dir"/package/*.deb
