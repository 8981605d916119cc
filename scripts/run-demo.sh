#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated meter and the program
# connected to it through the virtual link. Without a display the program runs
# under Xvfb (invisible; useful only to check that it starts).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build_dir=${BUILD_DIR:-build}
port=${SIM_PORT:-47001}

"$build_dir/sim/zevq-sim" --port "$port" --config resources/ZEVQ-BLE.INI &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
sleep 0.5

export TARVOLIN_LINK="vlink:127.0.0.1:$port"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$build_dir/app/tarvolin"
else
  echo "No display found: running the program under Xvfb (close it with Ctrl+C)."
  xvfb-run -a "$build_dir/app/tarvolin"
fi
