#!/usr/bin/env bash
# Unpacks Debian's vsftpd into DIR for the TLS tests, without installing it (it
# conflicts in apt with the other FTP servers): afterwards DIR/root/usr/sbin/vsftpd.
# Does nothing once it is there.
#
#   scripts/fetch-vsftpd.sh DIR
set -euo pipefail
[ "$#" -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
[ -x "$dir/root/usr/sbin/vsftpd" ] && exit 0
mkdir -p "$dir"
exec 9>"$dir/.lock"
flock 9
[ -x "$dir/root/usr/sbin/vsftpd" ] && exit 0
work=$(mktemp -d "$dir/.fetch-XXXXXX")
trap 'rm -rf "$work"' EXIT
options=()
[ "$(id -u)" -eq 0 ] && options=(-o APT::Sandbox::User=root)
(cd "$work" && apt-get "${options[@]}" download vsftpd)
dpkg-deb -x "$work"/vsftpd_*.deb "$work/root"
rm -rf "$dir/root"
mv "$work/root" "$dir/root"
