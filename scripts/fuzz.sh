#!/usr/bin/env bash
# Builds the fuzzers (clang, libFuzzer; see tests/fuzz) and runs each for
# SECONDS (default 20) on a copy of its starting corpus in tests/fuzz/corpus,
# so the tree is never written. Any finding fails the run; its input is kept
# in $FUZZ_BUILD_DIR/fuzz-findings.
#   FUZZ_BUILD_DIR  build folder (default: build-fuzz)
#   FUZZ_SKIP       fuzzers to leave out, by corpus name ("templates hexfile";
#                   default: none)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}

BUILD_DIR="$build_dir" BUILD_TARGETS=fuzzers \
  CMAKE_ARGS="-DCMAKE_CXX_COMPILER=clang++ -DTARVOLIN_FUZZ=ON -DTARVOLIN_TEST_GROUPS=fuzz" \
  bash scripts/setup.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings="$build_dir/fuzz-findings"
mkdir -p "$findings"
failed=()
for corpus in tests/fuzz/corpus/*/; do
  name=$(basename "$corpus")
  case " ${FUZZ_SKIP:-} " in *" $name "*) echo "fuzz_$name: left out"; continue ;; esac
  cp -r "$corpus" "$work/$name"
  echo "fuzz_$name: ${seconds} s"
  if ! "$build_dir/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=30 \
       -artifact_prefix="$findings/$name-" -print_final_stats=1 "$work/$name" >"$work/$name.log" 2>&1; then
    tail -n 40 "$work/$name.log"
    failed+=("$name")
  else
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$work/$name.log" || true
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "Findings in: ${failed[*]} (inputs in $findings)"
  exit 1
fi
echo "All fuzzers ran ${seconds} s without a finding."
