#!/usr/bin/env bash
# tst_package BUILD_DIR: the package carries the whole program and follows
# Debian's policy (lintian finds no error or warning). Unpacked into a
# temporary root, tarvolin-cli started through its /usr/bin link must find the
# configuration beside the real executable and its libraries, and read the
# block of the unpacked simulated meter.
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 \
  || { cat "$tmp/cpack.log"; fail "cpack"; }
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarvolin ] || fail "Package: $(field Package)"
[ "$(field Version)" = 2.2.0 ] || fail "Version: $(field Version)"
[ "$(field Section)" = electronics ] || fail "Section: $(field Section)"
[ "$(field Recommends)" = bluez ] || fail "Recommends: $(field Recommends)"
# Computed from the binaries: Qt's libraries with their versions.
depends=$(field Depends)
echo "Depends: $depends"
grep -Eq 'libqt6core6[a-z0-9]* \(>=' <<<"$depends" || fail "Depends not computed: $depends"
grep -Eq 'libqt6widgets6' <<<"$depends" || fail "Depends lacks Qt Widgets: $depends"
# An edited configuration survives an upgrade: it is the one conffile, in /etc.
conffiles=$(dpkg-deb -I "$deb" conffiles)
[ "$conffiles" = /etc/tarvolin/ZEVQ-BLE.INI ] || fail "conffiles: $conffiles"

# Errors and warnings fail; what lintian says at lower levels is shown only.
rc=0
lintian --fail-on error,warning "$deb" >"$tmp/lintian.out" 2>&1 || rc=$?
cat "$tmp/lintian.out"
[ "$rc" -eq 0 ] && ! grep -q '^[EW]: ' "$tmp/lintian.out" || fail "lintian exited $rc"

root=$tmp/root
dpkg-deb -x "$deb" "$root"
doc=usr/share/doc/tarvolin
for f in etc/tarvolin/ZEVQ-BLE.INI \
         usr/share/man/man1/tarvolin.1.gz usr/share/man/man1/tarvolin-cli.1.gz \
         usr/share/man/man1/zevq-sim.1.gz \
         $doc/copyright $doc/changelog.gz \
         usr/share/icons/hicolor/scalable/apps/org.tarvolin.Tarvolin.svg \
         usr/share/icons/hicolor/48x48/apps/org.tarvolin.Tarvolin.png; do
  [ -f "$root/$f" ] || fail "missing /$f"
done
[ "$(readlink "$root/usr/lib/tarvolin/ZEVQ-BLE.INI")" = /etc/tarvolin/ZEVQ-BLE.INI ] \
  || fail "/usr/lib/tarvolin/ZEVQ-BLE.INI is not a link to /etc/tarvolin/ZEVQ-BLE.INI"
head -n1 <(gzip -dc "$root/$doc/changelog.gz") | grep -q "^tarvolin ($(field Version)) " \
  || fail "the changelog's last entry is not $(field Version)"
# The documents the README and the manual pages refer to, as they stand.
docs=(cli.md vlink.md trace.md ble.md support.md)
for d in "${docs[@]}"; do
  gzip -dc "$root/$doc/$d.gz" | cmp -s - "$source_dir/docs/$d" || fail "/$doc/$d.gz is not docs/$d"
done
for d in $(gzip -dc "$root"/usr/share/man/man1/*.gz | grep -o '[a-z]*\.md\.gz' | sort -u); do
  [ -f "$root/$doc/$d" ] || fail "a manual page names $d, which /$doc lacks"
done
for p in tarvolin tarvolin-cli zevq-sim; do
  [ "$(readlink "$root/usr/bin/$p")" = "../lib/tarvolin/$p" ] || fail "/usr/bin/$p is not a link to /usr/lib/tarvolin/$p"
  [ -x "$root/usr/lib/tarvolin/$p" ] || fail "/usr/lib/tarvolin/$p not executable"
done
desktop-file-validate "$root"/usr/share/applications/org.tarvolin.Tarvolin.desktop
appstreamcli validate --no-net "$root"/usr/share/metainfo/org.tarvolin.Tarvolin.metainfo.xml

# Installed, the link beside the programs leads to /etc; here it is pointed
# at the unpacked /etc instead, so the programs follow a link to it.
ln -sfn "$root/etc/tarvolin/ZEVQ-BLE.INI" "$root/usr/lib/tarvolin/ZEVQ-BLE.INI"

# The unpacked meter on a free port, laying out its records from the
# configuration beside it; it names the port once it listens.
"$root/usr/bin/zevq-sim" --port 0 --serial 4242 --records 9 >"$tmp/sim.out" 2>&1 &
sim_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^zevq-sim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/sim.out")
  [ -n "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$tmp/sim.out"; fail "zevq-sim ended"; }
  sleep 0.1
done
[ -n "$port" ] || fail "zevq-sim did not listen"

# From another folder, so nothing but the executable's own folder can supply
# the configuration.
cd "$tmp"
rc=0
env -u TARVOLIN_LINK "$root/usr/bin/tarvolin-cli" --link "vlink:127.0.0.1:$port" --scan-seconds 5 read \
  >"$tmp/block.json" 2>"$tmp/cli.err" || rc=$?
[ "$rc" -eq 0 ] || { cat "$tmp/cli.err"; fail "tarvolin-cli read exited $rc"; }
python3 -c 'import json,sys; b=json.load(open(sys.argv[1])); assert b["serialNumber"]==4242, b["serialNumber"]' \
  "$tmp/block.json" || fail "not the meter's block: $(head -c 300 "$tmp/block.json")"

# The README's download against that meter: its records fit the layout the
# tool reads, because both found the same configuration.
rc=0
env -u TARVOLIN_LINK "$root/usr/bin/tarvolin-cli" --link "vlink:127.0.0.1:$port" --scan-seconds 5 download \
  --from 2 --to 4 -o "$tmp/records.csv" 2>"$tmp/cli.err" || rc=$?
[ "$rc" -eq 0 ] || { cat "$tmp/cli.err"; fail "tarvolin-cli download exited $rc"; }
python3 - "$tmp/records.csv" <<'PY' || fail "records.csv is not three records under the configured captions"
import sys
lines = open(sys.argv[1], 'rb').read().decode('utf-16-le').split('\r\n')
assert lines[-1] == '' and len(lines) == 5, lines
assert 'Wood species' in lines[0], lines[0]
keys = [l[:6].strip() for l in lines[1:4]]
assert keys == ['2', '3', '4'], keys
PY
