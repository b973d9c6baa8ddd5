#!/bin/sh
# Installs the build BUILD into PREFIX and checks that the program, its menu entry, its
# icons, its manual page and bash completion land in their places.
#   tests/install_check.sh BUILD PREFIX
set -eu
rm -rf "$2"
cmake --install "$1" --prefix "$2" >/dev/null
cd "$2"
test -x bin/klv
ls share/icons/hicolor/16x16/apps/klv.png share/icons/hicolor/32x32/apps/klv.png \
  share/icons/hicolor/48x48/apps/klv.png share/icons/hicolor/scalable/apps/klv.svg \
  share/man/man1/klv.1.gz share/bash-completion/completions/klv share/doc/klv/copyright >/dev/null
grep -qx "Exec=\"$2/bin/klv\"" share/applications/klv.desktop
! desktop-file-validate share/applications/klv.desktop | grep error
