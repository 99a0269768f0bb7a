#!/usr/bin/env bash
# Builds the .deb, unpacks it into a temporary root (dpkg-deb -x, no install)
# and runs the unpacked backup-host from there: it must find its libraries,
# plug-in, catalogue and page in that tree alone, publish its address for
# --url and back a folder up over HTTP.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill -9 "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$work/host.err" ] && sed 's/^/host: /' "$work/host.err"; exit 1; }

# Packaged in a folder of our own, so that a `make package` at the same time
# does not share cpack's staging folder.
cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pkg/backup-host_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libpoco* ]] || fail "no Poco among the dependencies: $depends"
[[ "$depends" != *hostkit* ]] || fail "the shipped libhostkit.so is taken for a dependency: $depends"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for f in bin/backup-host lib/backup-host/libbackup.so lib/backup-host/libhostkit.so \
         lib/backup-host/translations.zip share/backup-host/ui/backup/index.html \
         share/man/man1/backup-host.1 lib/systemd/user/backup-host.service; do
  [ -f "$root/usr/$f" ] || fail "missing /usr/$f"
done
grep -qx "ExecStart=/usr/bin/backup-host" "$root/usr/lib/systemd/user/backup-host.service" ||
  fail "the unit does not start /usr/bin/backup-host"
if grep -rlF "$build/" "$root"; then fail "these packaged files name the build folder"; fi

# No environment that could point the program back at the build.
profile="$work/profile"
mkdir -p "$work/source/sub" "$work/target"
printf 'alpha\n' >"$work/source/a.txt"
head -c 200000 /dev/urandom >"$work/source/sub/b.bin"
token=package-test
env -i HOME="$work" PATH=/usr/bin:/bin "$root/usr/bin/backup-host" --profile "$profile" \
  --port 0 --token "$token" --log-level information >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
for _ in $(seq 200); do grep -q "http://" "$work/host.out" && break; sleep 0.1; done
address=$(grep -o "http://.*" "$work/host.out") || fail "no address printed"
grep -q "from $root/usr/lib/backup-host/libbackup.so" "$work/host.err" ||
  fail "the plug-in was not loaded from the unpacked tree"
grep -q "$root/usr/lib/backup-host/libhostkit.so" "/proc/$host_pid/maps" ||
  fail "libhostkit.so was not loaded from the unpacked tree"

[ "$("$root/usr/bin/backup-host" --url --profile "$profile")" = "$address" ] ||
  fail "--url does not give the running host's address"

base=${address%%/ui/*}
api() { curl -sS --fail -H "X-Backup-Token: $token" "$base/api/backup/$1"; }
[ "$(curl -s -o /dev/null -w '%{http_code}' "$base/ui/backup/index.html")" = 200 ] ||
  fail "the page is not served"
api "addbackuprecord?localpath=$work/source&remotepath=$work/target&frequency=1&timeoffset=3" |
  grep -q "<success>true</success>" || fail "addbackuprecord"
recid=$(api getallbackuprecs | grep -o "<recid>[^<]*" | head -1 | cut -c8-)
[ -n "$recid" ] || fail "no record listed"
api "synconerecord?recid=$recid" | grep -q "<success>true</success>" || fail "synconerecord"
for _ in $(seq 300); do
  diff -r "$work/source" "$work/target/source" >/dev/null 2>&1 && break
  sleep 0.1
done
diff -r "$work/source" "$work/target/source" || fail "the backup did not copy the folder"

kill -TERM "$host_pid"
status=0
wait "$host_pid" || status=$?
host_pid=""
[ "$status" = 0 ] || fail "exit code $status after SIGTERM"
[ ! -e "$profile/page-address" ] || fail "the address file outlived the host"
if "$root/usr/bin/backup-host" --url --profile "$profile" 2>/dev/null; then
  fail "--url reports a host after it stopped"
fi
echo "installed package ran one backup"
