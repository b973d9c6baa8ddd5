#!/bin/sh
# Builds the Debian package of BUILD into SCRATCH with CPACK, holds it to lintian (no
# error, no warning), unpacks it as dpkg would install it, and checks what lands where:
# the program, its menu entry, icons, metainfo, manual page and bash completion.
#   tests/package_check.sh CPACK BUILD SCRATCH
set -eu
rm -rf "$3"
"$1" -G DEB -B "$3" --config "$2/CPackConfig.cmake" >"$3.log" 2>&1 || { cat "$3.log"; exit 1; }
deb=$(ls "$3"/klv_*_amd64.deb)
dpkg-deb -f "$deb" Depends | grep libqt6widgets6 | grep libcurl4 | grep libsecret-1-0 | grep -q libc6
lintian --fail-on error,warning "$deb" 2>&1 | { ! grep -E '^[EW]: '; }
dpkg -x "$deb" "$3/root"; cd "$3/root"
test -x usr/bin/klv; ls usr/share/icons/hicolor/48x48/apps/klv.png usr/share/icons/hicolor/scalable/apps/klv.svg >/dev/null
grep -qx 'Exec="/usr/bin/klv"' usr/share/applications/klv.desktop
appstreamcli validate --no-net usr/share/metainfo/example.kolvane.klv.metainfo.xml
# `man klv` finds and renders the page without a complaint from groff.
MANPATH=$PWD/usr/share/man MANWIDTH=80 man --warnings klv 2>"$3/man.err" | grep -q 'klv update-pages'
test ! -s "$3/man.err"
# The completion offers the commands, then a command's options.
test "$(bash -c '. usr/share/bash-completion/completions/klv; COMP_WORDS=(klv up); COMP_CWORD=1
  _klv; echo "${COMPREPLY[*]}"; COMP_WORDS=(klv install-script --op); COMP_CWORD=2; _klv
  echo "${COMPREPLY[*]}"')" = "update-pages
--open"
