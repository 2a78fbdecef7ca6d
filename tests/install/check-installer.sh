#!/usr/bin/env bash
# The setup program from scripts/build-windows-installer under Wine, as a user would run it
# silently: per user with kv7702r.exe on PATH, then per machine. Each time: the files, the
# Apps & features entry, the Start-menu entries and the PATH entry are there; the installed
# kv7702r.exe tells its version and reads the virtual sensor on COM4 at the port and rate of
# the user's comm.set; the uninstaller named in the registry removes all of it.
# Needs build/bin/kv7702r-sim and build-windows/dist/kv7702r-setup-*.exe.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
KV_WITH_WINE=1 scripts/deps
setup=$(ls "$root"/build-windows/dist/kv7702r-setup-*-x86_64.exe)
version=$(sed -n 's/^project(kv7702r_tool VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko dialogs, and no menu entries on this machine for the Start-menu ones.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
sim=
cleanup() {
  [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-installer: FAIL: $*" >&2; exit 1; }
step() { printf '== %s\n' "$*"; }
run() { timeout 300 "$wine" "$@" 2>&1 | tr -d '\r'; }
unix() { "$wine" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
# A value of the Apps & features entry, or nothing.
uninstall_value() {
  run reg query "$1\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KV7702R" /v "$2" |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

step "a fresh Wine prefix"
timeout 600 "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot could not make a prefix"
"$wineserver" -w

step "the virtual sensor on COM4, the user's comm.set 4,19200"
build/bin/kv7702r-sim --link "$work/COM4" --baud 19200 --moisture 23.45 --temperature 24 >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 300); do grep -q '^ready' "$work/sim.log" && break; sleep 0.1; done
grep -q '^ready' "$work/sim.log" || fail "the virtual sensor did not start: $(cat "$work/sim.log")"
ln -sfn "$(readlink -f "$work/COM4")" "$WINEPREFIX/dosdevices/com4"
config=$(unix "$(run cmd /c echo %LOCALAPPDATA%)")/kv7702r-tool
mkdir -p "$config"
printf '4,19200\r\n' >"$config/comm.set"

for mode in CurrentUser AllUsers; do
  if [ $mode = CurrentUser ]; then hive=HKCU env=HKCU\\Environment; else
    hive=HKLM env='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
  fi
  step "$(basename "$setup") /S /$mode /AddToPath"
  run "$setup" /S /$mode /AddToPath >/dev/null
  "$wineserver" -w
  location=$(uninstall_value $hive InstallLocation)
  [ -n "$location" ] || fail "no Apps & features entry in $hive"
  dir=$(unix "$location")
  echo "   installed in $location"
  for f in kv7702r-tool.exe kv7702r-monitor.dll kv7702r.exe uninstall.exe Qt6Core.dll Qt6Network.dll platforms/qwindows.dll comm.set; do
    [ -f "$dir/$f" ] || fail "$f is not installed"
  done
  [ "$(uninstall_value $hive DisplayVersion)" = "$version" ] || fail "DisplayVersion is not $version"
  for v in DisplayName Publisher UninstallString EstimatedSize; do
    [ -n "$(uninstall_value $hive $v)" ] || fail "the Apps & features entry has no $v"
  done
  [ "$(find "$WINEPREFIX/drive_c" -name '*.lnk' -path '*KV7702R*' | wc -l)" = 3 ] || fail "not three Start-menu entries"
  run reg query "$env" /v Path | grep -qiF "$location" || fail "$location is not on PATH"

  said=$(run "$dir/kv7702r.exe" --version)
  [ "$said" = "kv7702r $version" ] || fail "kv7702r.exe --version says '$said'"
  out=$(run "$dir/kv7702r.exe" read -n 2) || fail "kv7702r.exe read: $out"
  echo "$out" | sed 's/^/   /'
  [ "$(grep -c '23\.45' <<<"$out")" = 2 ] || fail "two readings of 23.45 % expected"

  step "the QuietUninstallString"
  quiet=$(uninstall_value $hive QuietUninstallString)
  uninstaller=${quiet#\"}
  uninstaller=${uninstaller%%\"*}
  # shellcheck disable=SC2086 # the arguments after the quoted program
  run "$uninstaller" ${quiet##*\"} >/dev/null
  "$wineserver" -w
  [ ! -e "$dir" ] || fail "left after uninstall: $(find "$dir")"
  [ -z "$(uninstall_value $hive DisplayName)" ] || fail "the Apps & features entry stays"
  [ -z "$(find "$WINEPREFIX/drive_c" -path '*KV7702R*' -name '*.lnk')" ] || fail "Start-menu entries stay"
  ! run reg query "$env" /v Path | grep -qiF "$location" || fail "$location stays on PATH"
  [ -f "$config/comm.set" ] || fail "the user's comm.set went with the program"
done
echo "check-installer: all passed"
