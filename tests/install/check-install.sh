#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop needs is there
# and valid, and that every program runs and tells the project's version.
#   check-install.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
id=com.example.vqrn.kv7702rtool
for f in bin/kv7702r-tool bin/kv7702r bin/kv7702r-sim share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$id.svg lib/systemd/system/kv7702r-collector.service \
         etc/kv7702r/collector.toml; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
for p in kv7702r-tool kv7702r kv7702r-sim; do
  [ -x "$prefix/bin/$p" ] || { echo "$p is not executable" >&2; exit 1; }
  said=$("$prefix/bin/$p" --version) || { echo "$p --version failed: $said" >&2; exit 1; }
  [ "$said" = "$p $version" ] || { echo "$p --version says '$said', not '$p $version'" >&2; exit 1; }
done
"$prefix/bin/kv7702r-tool" --help | grep -q -- --monitor || { echo "the installed tool does not run" >&2; exit 1; }
# The entry's English action asks for a language the installed tool speaks.
grep -qx "Exec=kv7702r-tool --lang en" "$prefix/share/applications/$id.desktop"
"$prefix/bin/kv7702r-tool" --help | grep -q -- "--lang <LANG>.*zh or en" || { echo "no --lang en" >&2; exit 1; }
# A log that cannot be opened is refused with a clear message, before anything starts.
if "$prefix/bin/kv7702r-tool" --log "$prefix/no/such/folder/log.csv" 2>"$prefix/err"; then
  echo "an unwritable log was accepted" >&2; exit 1
fi
grep -q "cannot open the log file" "$prefix/err" || { cat "$prefix/err" >&2; exit 1; }
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$prefix/share/applications/$id.desktop" 2>&1)
  [ -z "$out" ] || { echo "$out" >&2; exit 1; }
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/$id.metainfo.xml"
fi
# The icon named by the entry is the one installed.
grep -qx "Icon=$id" "$prefix/share/applications/$id.desktop"
echo "installed and valid under $prefix"
