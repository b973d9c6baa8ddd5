#!/bin/sh
# Builds the Debian package of BUILD into SCRATCH with CPACK, unpacks it as dpkg would
# install it, and checks what lands where.   tests/package_check.sh CPACK BUILD SCRATCH
set -eu
rm -rf "$3"
"$1" -G DEB -B "$3" --config "$2/CPackConfig.cmake" >"$3.log" 2>&1 || { cat "$3.log"; exit 1; }
deb=$(ls "$3"/klv_*_amd64.deb)
dpkg-deb -f "$deb" Depends | grep libqt6widgets6 | grep libcurl4 | grep -q libc6
dpkg -x "$deb" "$3/root"; cd "$3/root"
test -x usr/bin/klv; ls usr/share/icons/hicolor/48x48/apps/klv.png usr/share/icons/hicolor/scalable/apps/klv.svg >/dev/null
grep -qx 'Exec="/usr/bin/klv"' usr/share/applications/klv.desktop
appstreamcli validate --no-net usr/share/metainfo/example.kolvane.klv.metainfo.xml
