#!/usr/bin/env bash
# The dark-desktop tests once more under GTK's dark theme, the way a GNOME user runs Qt
# programs: there even the style's own standard palette is dark.
set -euo pipefail
test_program=$1
plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
if ! command -v xvfb-run >/dev/null || [ ! -e "$plugins/platformthemes/libqgtk3.so" ]; then
  echo "skipped: needs xvfb-run and qt6-gtk-platformtheme (scripts/deps)"
  exit 77
fi
QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark xvfb-run -a "$test_program" --gtest_filter='DarkDesktop.*' \
  --gtest_brief=1
