#!/usr/bin/env bash
# Installs the package from scripts/package as a user would, uses what it installed, removes
# it and checks nothing of it is left. Needs root (apt-get) and build/bin/kv7702r-sim, whose
# copy is not the one under test.
#   tests/install/check-deb.sh [PACKAGE.deb]
set -euo pipefail
cd "$(dirname "$0")/../.."
deb=$(realpath "${1:-$(ls build-package/kv7702r_*.deb)}")
export DEBIAN_FRONTEND=noninteractive
fail() { echo "check-deb: FAIL: $*" >&2; exit 1; }
step() { printf '== %s\n' "$*"; }

step "apt-get install $(basename "$deb")"
apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
trap 'apt-get purge -y -qq kv7702r >/dev/null 2>&1 || true' EXIT
files=$(dpkg -L kv7702r | while read -r f; do [ -d "$f" ] || echo "$f"; done)

step "the three programs' --version"
version=$(sed -n 's/^project(kv7702r_tool VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for p in kv7702r-tool kv7702r kv7702r-sim; do
  said=$(QT_QPA_PLATFORM=offscreen "/usr/bin/$p" --version 2>/dev/null)
  [ "$said" = "$p $version" ] || fail "$p --version says '$said'"
done
step "man -w kv7702r"
for p in kv7702r-tool kv7702r kv7702r-sim; do man -w "$p" >/dev/null || fail "no man page for $p"; done
man -P cat kv7702r-tool 2>/dev/null | grep -q 'kv7702r-tool/comm.set' || fail "the tool's man page does not name comm.set"

step "bash completion"
# As an interactive shell loads it: bash-completion finds the file by the command's name.
completion() {
  bash --norc -c 'source /usr/share/bash-completion/bash_completion
    __load_completion kv7702r || exit 1
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()
    _kv7702r; printf "%s\n" "${COMPREPLY[@]}"' bash "$@"
}
[ "$(completion kv7702r re)" = read ] || fail "kv7702r re<TAB> is not read"
# Every option a help page lists is offered after that subcommand's '-'.
for sub in "" scan read params "params set" address "address set" calibrate history collect export soil-fit watered; do
  # shellcheck disable=SC2086 # "params set" is two words
  offered=$(completion kv7702r $sub -)
  # shellcheck disable=SC2086
  for opt in $(kv7702r $sub --help | sed '/^Subcommands:/,$d' | grep -oE '^  -[^ =[]+' | tr ',' ' '); do
    grep -qx -- "$opt" <<<"$offered" || fail "kv7702r $sub -<TAB> does not offer $opt"
  done
done

step "a reading through /usr/bin/kv7702r, port and rate from the user's comm.set"
home=$(mktemp -d)
export HOME=$home XDG_CONFIG_HOME=$home/.config
config=$XDG_CONFIG_HOME/kv7702r-tool
mkdir -p "$config"
build/bin/kv7702r-sim --link "$config/COM4" --baud 19200 --moisture 23.45 --temperature 24 >"$home/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -rf "$home"; apt-get purge -y -qq kv7702r >/dev/null 2>&1 || true' EXIT
for _ in $(seq 300); do grep -q '^ready' "$home/sim.log" && break; sleep 0.1; done
grep -q '^ready' "$home/sim.log" || fail "the virtual sensor did not start: $(cat "$home/sim.log")"
printf '4,19200\r\n' >"$config/comm.set"
out=$(kv7702r read -n 2) || fail "kv7702r read: $out"
echo "$out" | sed 's/^/   /'
[ "$(grep -c '23\.45' <<<"$out")" = 2 ] || fail "two readings of 23.45 % expected"

step "the installed tool opens its monitor, loading the module from its own folder"
QT_QPA_PLATFORM=offscreen kv7702r-tool --monitor >"$home/tool.log" 2>&1 &
tool=$!
module=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/kv7702r/kv7702r-monitor.so
for _ in $(seq 100); do grep -q "$module" "/proc/$tool/maps" 2>/dev/null && break; sleep 0.1; done
opened=$(grep -c "$module" "/proc/$tool/maps" 2>/dev/null || true)
kill "$tool" 2>/dev/null || true
wait "$tool" 2>/dev/null || true
[ "${opened:-0}" -gt 0 ] || fail "kv7702r-tool --monitor did not load $module: $(cat "$home/tool.log")"

step "the collector's service"
unit=$(grep '/systemd/system/kv7702r-collector\.service$' <<<"$files") || fail "no kv7702r-collector.service"
said=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify $unit: $said"
[ -z "$said" ] || fail "systemd-analyze verify $unit: $said"
id -nG kv7702r | tr ' ' '\n' | grep -qx dialout || fail "the kv7702r user is not in dialout: $(id kv7702r)"
dpkg-query -W -f='${Conffiles}' kv7702r | grep -q ' /etc/kv7702r/collector.toml ' ||
  fail "/etc/kv7702r/collector.toml is not a conffile"
# As the service reads it: its own user, the serial port only checked for its form.
said=$(runuser -u kv7702r -- kv7702r collect --check --config /etc/kv7702r/collector.toml 2>&1) ||
  fail "the example configuration: $said"
wants=/etc/systemd/system/multi-user.target.wants/kv7702r-collector.service
[ ! -e "$wants" ] || fail "the package enabled the service"
# What an admin and the running service leave: the service enabled, a spool, a secret.
systemctl enable kv7702r-collector.service 2>/dev/null
[ -L "$wants" ] || fail "systemctl enable kv7702r-collector made no $wants"
install -d -o kv7702r -g kv7702r /var/lib/kv7702r
runuser -u kv7702r -- touch /var/lib/kv7702r/spool.db
echo edited >>/etc/kv7702r/collector.toml

step "apt-get remove kv7702r keeps the spool and the configuration"
apt-get remove -y -qq kv7702r >/dev/null
[ -f /var/lib/kv7702r/spool.db ] || fail "remove took the spool"
grep -q edited /etc/kv7702r/collector.toml || fail "remove took the edited configuration"

step "apt-get purge kv7702r"
apt-get purge -y -qq kv7702r >/dev/null
left=$(for f in $files /var/lib/kv7702r /etc/kv7702r "$wants"; do [ -e "$f" ] || [ -L "$f" ] && echo "$f"; done || true)
[ -z "$left" ] || fail "left after purge: $left"
! dpkg -s kv7702r >/dev/null 2>&1 || fail "dpkg still knows kv7702r"
[ -f "$config/comm.set" ] || fail "the user's comm.set went with the package"
echo "check-deb: all passed ($(wc -w <<<"$files") files installed and removed; the user's comm.set stays," \
  "and the kv7702r system user, as Debian keeps them)"
