#!/bin/sh
# Installs the build BUILD into PREFIX and checks that the program, its menu entry and
# its icons land in their freedesktop places.   tests/install_check.sh BUILD PREFIX
set -eu
rm -rf "$2"
cmake --install "$1" --prefix "$2" >/dev/null
cd "$2"
test -x bin/klv
ls share/icons/hicolor/16x16/apps/klv.png share/icons/hicolor/32x32/apps/klv.png \
  share/icons/hicolor/48x48/apps/klv.png share/icons/hicolor/scalable/apps/klv.svg >/dev/null
grep -qx "Exec=\"$2/bin/klv\"" share/applications/klv.desktop
! desktop-file-validate share/applications/klv.desktop | grep error
