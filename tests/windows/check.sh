#!/usr/bin/env bash
# The Windows installer and programs under Wine (64-bit only), in a private
# Wine prefix made for this run:
#   check.sh INSTALLER LINUX_BUILD SCREENSHOT
# installs silently, runs the installed tarvolin-cli.exe against the Linux
# zevq-sim and compares each result byte for byte with the Linux
# tarvolin-cli's on the same simulated meter, checks Ctrl+C, the machine's
# stack without an adapter and the window (its screenshot goes to
# SCREENSHOT), then uninstalls silently and checks that nothing is left.
# Every check is run; the run fails when one did.
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: $0 INSTALLER LINUX_BUILD SCREENSHOT" >&2; exit 1; }
installer=$(realpath "$1")
linux_cli=$(realpath "$2/cli/tarvolin-cli")
sim=$(realpath "$2/sim/zevq-sim")
screenshot=$(realpath -m "$3")
here=$(cd "$(dirname "$0")" && pwd)
config=$here/../../resources/ZEVQ-BLE.INI

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=wineserver
work=$(mktemp -d /tmp/tarvolin-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset TARVOLIN_LINK TARVOLIN_ADDRESS DISPLAY
sim_pid=
xvfb_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2> /dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2> /dev/null
  "$wineserver" -k 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

failed=()
pass() { echo "PASS  $1"; }
fail() { echo "FAIL  $1${2:+: $2}"; failed+=("$1"); }

# Waits up to $2 seconds (default 60) for the command $1 to succeed.
wait_for() {
  local tries=$((${2:-60} * 10))
  while [ $tries -gt 0 ]; do
    eval "$1" && return 0
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

# --- Installing ------------------------------------------------------------

"$wine" wineboot -i > /dev/null 2>&1
"$wineserver" -w
inst="$WINEPREFIX/drive_c/Program Files/Tarvolin"
link="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tarvolin.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvolin'
"$wine" "$installer" /S
rc=$?
"$wineserver" -w
if [ $rc -eq 0 ] && [ -f "$inst/tarvolin.exe" ] && [ -f "$inst/tarvolin-cli.exe" ] && [ -f "$inst/zevq-sim.exe" ] &&
   [ -f "$inst/ZEVQ-BLE.INI" ] && [ -f "$inst/platforms/qwindows.dll" ] && [ -f "$inst/doc/cli.md" ] &&
   [ -f "$inst/uninstall.exe" ] && [ -f "$link" ] && "$wine" reg query "$key" > /dev/null 2>&1; then
  pass "silent install ($(du -sh "$inst" | cut -f1) installed)"
else
  fail "silent install" "exit $rc; installed: $(ls "$inst" 2> /dev/null | tr '\n' ' ')"
fi
win_cli=$inst/tarvolin-cli.exe

# --- The tool, compared with the Linux tool ---------------------------------

# A fresh simulated meter on a free port for every run (a port just closed
# cannot be taken again at once); results name it PORT.
start_sim() {
  "$sim" --port 0 --config "$config" --records 40 "$@" > sim.log 2>&1 &
  sim_pid=$!
  # The whole line: a port read from half of it is no port.
  wait_for 'grep -q "listening on" sim.log && [ -z "$(tail -c1 sim.log)" ]' 60 || { echo "zevq-sim did not start: $(cat sim.log)"; return 1; }
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' sim.log)
}
stop_sim() {
  kill "$sim_pid" 2> /dev/null
  wait "$sim_pid" 2> /dev/null
  sim_pid=
}

# What a run left, with the meter's port as PORT and the time a block was
# read as TIME: exit code, stdout, stderr (Windows ends console lines with
# CR LF), the output file named by OUT if any, and what the Linux tool reads
# from the meter afterwards when AFTER is set.
result() {
  local side=$1
  {
    echo "exit $2"
    echo "--- stdout"; cat "$side.out"
    echo "--- stderr"; tr -d '\r' < "$side.err"
    if [ -n "${OUT:-}" ]; then
      echo "--- $OUT"
      case "$OUT" in
        *.xlsx) # The parts but the time stamps; numbers as their doubles:
                # libxlsxwriter prints 8.8 as 8.8 with its own dtoa (the
                # Windows build) and as 8.800000000000001 with printf.
                rm -rf "$side.parts" && mkdir "$side.parts" && unzip -q "$side.$OUT" -d "$side.parts"
                (cd "$side.parts" && find . -type f ! -path ./docProps/core.xml | sort | while read -r part; do
                   echo "[$part]"; perl -pe 's{<v>([-0-9.eE+]+)</v>}{sprintf("<v>%.15g</v>", $1)}ge' "$part"; echo
                 done) ;;
        *) cat "$side.$OUT" ;;
      esac
    fi
    [ -n "${AFTER:-}" ] && { echo "--- read afterwards"; cat "$side.after"; }
  } | sed -e "s/127\.0\.0\.1:$port/127.0.0.1:PORT/g" \
          -e 's/"time": "[0-9TZ:-]*"/"time": "TIME"/' > "$side.result"
}

# compare_tools NAME "SIM OPTIONS" TOOL ARGUMENTS...: the arguments run once with
# each tool, each against its own fresh meter; "OUT" in the arguments stands
# for that side's output file. SHELL_OUT=pipe or file sends stdout through a
# pipe or into a file instead of the capture.
compare_tools() {
  local name=$1 sim_options=$2 side code
  shift 2
  for side in linux windows; do
    local args=() a
    for a in "$@"; do
      if [ "$a" = OUT ]; then args+=("$side.$OUT"); else args+=("$a"); fi
    done
    local tool=("$linux_cli")
    [ $side = windows ] && tool=("$wine" "$win_cli")
    # shellcheck disable=SC2086
    start_sim $sim_options || { fail "$name" "no simulator"; return; }
    # The scan ends as soon as the meter is seen; its limit only has to
    # outlast a slow start of Wine on a busy machine.
    local command=("${tool[@]}" --link "vlink:127.0.0.1:$port" --scan-seconds "${SCAN:-60}" "${args[@]}")
    case "${SHELL_OUT:-}" in
      pipe) "${command[@]}" 2> "$side.err" < /dev/null | cat > "$side.out"; code=${PIPESTATUS[0]} ;;
      file) "${command[@]}" > "$side.out" 2> "$side.err" < /dev/null; code=$? ;;
      *) "${command[@]}" > "$side.out" 2> "$side.err" < /dev/null; code=$? ;;
    esac
    if [ -n "${AFTER:-}" ]; then
      "$linux_cli" --link "vlink:127.0.0.1:$port" read > "$side.after" 2> /dev/null
    fi
    result $side $code
    stop_sim
  done
  local expect=${EXPECT:-0}
  if ! head -1 linux.result | grep -qx "exit $expect"; then
    fail "$name" "the Linux tool gave $(head -1 linux.result), not exit $expect"
  elif cmp -s linux.result windows.result; then
    pass "$name ($(head -1 windows.result))"
  else
    fail "$name" "results differ:"
    diff <(cat -v linux.result) <(cat -v windows.result) | head -10
  fi
}

compare_tools "scan --json" "" scan --json
compare_tools "read" "" read
start_sim && "$linux_cli" --link "vlink:127.0.0.1:$port" read > block.json 2> block.err ||
  echo "the block to write back could not be read: $(cat block.err)"
stop_sim
sed 's/"infoText": "[^"]*"/"infoText": "Written back under Wine"/' block.json > edited.json
AFTER=1 compare_tools "write back" "" write edited.json
OUT=records.csv compare_tools "download to CSV" "" download -o OUT
OUT=records.xlsx compare_tools "download to a workbook" "" download --from 3 --to 30 -o OUT
SHELL_OUT=pipe compare_tools "download to a pipe" "" download --from 5 --to 25
SHELL_OUT=file compare_tools "download to a redirected file" "" download --utf8
compare_tools "live" "" live
compare_tools "upload --yes" "" upload "$here/firmware.HEX" --yes
EXPECT=3 SCAN=1 compare_tools "absent meter" "--name Another-device" read
EXPECT=4 compare_tools "lost link" "--close-after 300" download

# --- Ctrl+C during the link-up ---------------------------------------------

# Wine turns SIGINT to a console program into CTRL_C_EVENT. The meter's
# replies leave 8 s late, so the link-up waits on the block read.
if start_sim --delay 8000; then
  "$wine" "$win_cli" --link "vlink:127.0.0.1:$port" --scan-seconds 60 read > ctrlc.out 2> ctrlc.err < /dev/null &
  tool_pid=$!
  if wait_for 'grep -q "establishing the connection" ctrlc.err'; then
    kill -INT $tool_pid
    wait $tool_pid
    rc=$?
    if [ $rc -eq 130 ]; then pass "Ctrl+C during the link-up (exit 130)"; else fail "Ctrl+C during the link-up" "exit $rc"; fi
  else
    kill $tool_pid; wait $tool_pid
    fail "Ctrl+C during the link-up" "the link-up never began: $(tr -d '\r' < ctrlc.err)"
  fi
  stop_sim
fi

# --- The machine's stack ---------------------------------------------------

"$wine" "$win_cli" --scan-seconds 1 read > stack.out 2> stack.err < /dev/null
rc=$?
if [ $rc -eq 2 ]; then
  pass "no Bluetooth LE adapter (exit 2: $(tr -d '\r' < stack.err | tail -1))"
else
  fail "no Bluetooth LE adapter" "exit $rc: $(tr -d '\r' < stack.err)"
fi

# --- The window ------------------------------------------------------------

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> display.txt 2> /dev/null &
xvfb_pid=$!
if wait_for '[ -s display.txt ]' 20 && start_sim; then
  # The Wine session of the console checks has no display; a window started
  # while it lingers goes to it and never reaches Xvfb.
  "$wineserver" -k 2> /dev/null
  "$wineserver" -w 2> /dev/null
  export DISPLAY=:$(cat display.txt)
  TARVOLIN_LINK=vlink:127.0.0.1:$port "$wine" "$inst/tarvolin.exe" > window.out 2>&1 &
  window_pid=$!
  shown() { xwininfo -root -tree 2> /dev/null | grep -q '"Tarvolin 2.2 BLE"'; }
  # Painted once two pictures a moment apart are the same, and not blank.
  settled() {
    import -window root shot.png 2> /dev/null || return 1
    if [ -f last.png ] && [ "$(identify -format %k shot.png)" -gt 16 ] &&
       command compare -metric AE shot.png last.png null: 2> /dev/null; then return 0; fi
    mv -f shot.png last.png
    return 1
  }
  if ! wait_for shown 120; then
    fail "the window" "no main window: $(tr -d '\r' < window.out | tail -5)"
  elif wait_for settled 30 && convert shot.png -strip "$screenshot"; then
    pass "the window shows its main window (screenshot: $(basename "$screenshot"))"
  else
    fail "the window" "no steady picture of it"
  fi
  kill $window_pid 2> /dev/null
  "$wineserver" -k 2> /dev/null
  wait $window_pid 2> /dev/null
  stop_sim
  unset DISPLAY
else
  fail "the window" "Xvfb did not start"
fi
kill $xvfb_pid 2> /dev/null
xvfb_pid=

# --- Uninstalling ----------------------------------------------------------

"$wine" "$inst/uninstall.exe" /S
"$wineserver" -w
if [ ! -e "$inst" ] && [ ! -e "$link" ] && ! "$wine" reg query "$key" > /dev/null 2>&1; then
  pass "silent uninstall leaves nothing behind"
else
  fail "silent uninstall" "left: $(find "$inst" "$link" 2> /dev/null | head -5 | tr '\n' ' ')"
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "${#failed[@]} Wine check(s) failed: ${failed[*]}"
  exit 1
fi
echo "All Wine checks passed."
