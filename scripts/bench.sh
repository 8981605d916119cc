#!/usr/bin/env bash
# Builds the benchmarks on an optimised build, runs them all and prints one
# table: each figure next to the reference measured in the same run and its
# goal. Not part of CI: the figures depend on the machine and its load.
#
#   scripts/bench.sh            (BUILD_DIR defaults to build/)
#   scripts/bench.sh soak       only the soak (some minutes; bench/soakbench.cpp)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cd "$root"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")
case "$type" in
  Release|RelWithDebInfo|MinSizeRel) ;;
  *) echo "bench.sh: $build is a '$type' build; configure it with -DCMAKE_BUILD_TYPE=RelWithDebInfo" >&2; exit 2 ;;
esac
if grep -q '^TARVOLIN_\(SANITIZE\|TSAN\):BOOL=ON' "$build/CMakeCache.txt"; then
  echo "bench.sh: $build is a sanitizer build; use a plain optimised one" >&2
  exit 2
fi
# The soak needs only its own bench, so it runs where Qt Charts is missing too.
if [ "${1:-}" = soak ]; then
  cmake --build "$build" --target bench_soak zevq-sim >/dev/null
else
  cmake --build "$build" --target bench_session bench_table bench_chart bench_startup bench_soak zevq-sim >/dev/null
fi

work=$(mktemp -d)
sim_pids=()
cleanup() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts zevq-sim with the given options in a process of its own; sets $port.
start_sim() {
  local out="$work/sim${#sim_pids[@]}.out"
  # Made here: the background job may not have opened it when sed looks.
  : >"$out"
  "$build/sim/zevq-sim" --port 0 --config resources/ZEVQ-BLE.INI "$@" >"$out" 2>>"$work/log" &
  sim_pids+=($!)
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^zevq-sim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "bench.sh: zevq-sim did not start" >&2
  exit 1
}
export QT_QPA_PLATFORM=offscreen

# Each bench prints its rows as ROW|what|figure|reference|goal|verdict; what
# they say besides goes to a log shown only on failure.
bench() {
  if ! "$@" >"$work/out" 2>>"$work/log"; then
    echo "bench.sh: $* failed" >&2
    tail -20 "$work/log" >&2
    exit 1
  fi
  grep '^ROW|' "$work/out" >>"$work/rows" || true
}

if [ "${1:-}" = soak ]; then
  # The phases wait on the meter's pauses far more than they compute: side
  # by side, each in its own process against a meter of its own.
  soak_pids=()
  for phase in keepalive tool live window refused; do
    if [ "$phase" = refused ]; then start_sim --subscribe-status 133; else start_sim; fi
    "$build/bench/bench_soak" "$phase" --link "vlink:127.0.0.1:$port" >"$work/soak-$phase" 2>>"$work/log" &
    soak_pids+=($!)
  done
  for pid in "${soak_pids[@]}"; do
    wait "$pid" || { echo "bench.sh: a soak phase failed" >&2; tail -20 "$work/log" >&2; exit 1; }
  done
  cat "$work"/soak-* | grep '^ROW|' >>"$work/rows" || true
else
bench "$build/bench/bench_table"
bench "$build/bench/bench_chart"
bench "$build/bench/bench_session" all
bench "$build/bench/bench_session" choose

# Peak RSS of a whole download: the program's side in a process of its own,
# the meter in another, so neither's memory is counted for the other.
start_sim --records 65535 --notify-size 244
bench /usr/bin/time -f 'TIME|%M|%e' -o "$work/time" \
  "$build/bench/bench_session" download --link "vlink:127.0.0.1:$port"
IFS='|' read -r _ rss_kb seconds <"$work/time"
rss_mb=$(awk -v kb="$rss_kb" 'BEGIN { printf "%.1f", kb / 1024 }')
verdict=$(awk -v kb="$rss_kb" 'BEGIN { print (kb < 150 * 1024) ? "PASS" : "MISS" }')
echo "ROW|Peak RSS, 65,535-record download|$rss_mb MB|whole process $seconds s|< 150 MB|$verdict" >>"$work/rows"

bench "$build/bench/bench_startup"
fi

echo "Tarvolin benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), build $type"
echo
{
  echo "Figure|Measured|Reference (same run)|Goal|Result"
  cut -d'|' -f2- "$work/rows"
} | awk -F'|' '
  { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } n = NR; m = (NF > m) ? NF : m }
  END { for (r = 1; r <= n; r++) { line = ""; for (i = 1; i <= m; i++) line = line sprintf("%-*s  ", w[i], cell[r, i]); sub(/ +$/, "", line); print line } }'
if grep -q '|MISS$' "$work/rows"; then
  echo
  echo "Goals missed: $(grep -c '|MISS$' "$work/rows")"
fi
