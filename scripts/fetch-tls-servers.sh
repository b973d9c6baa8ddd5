#!/usr/bin/env bash
# Unpacks Debian's vsftpd, proftpd (with mod_tls from proftpd-mod-crypto) and pure-ftpd
# into DIR for the TLS tests, without installing them (they conflict in apt): afterwards
# DIR/root/usr/sbin/{vsftpd,proftpd,pure-ftpd}. Does nothing once they are there.
#
#   scripts/fetch-tls-servers.sh DIR
set -euo pipefail
[ "$#" -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
[ -x "$dir/root/usr/sbin/vsftpd" ] && [ -e "$dir/root/usr/lib/proftpd/mod_tls.so" ] && [ -x "$dir/root/usr/sbin/pure-ftpd" ] && exit 0
mkdir -p "$dir"
exec 9>"$dir/.lock"
flock 9
[ -x "$dir/root/usr/sbin/vsftpd" ] && [ -e "$dir/root/usr/lib/proftpd/mod_tls.so" ] && [ -x "$dir/root/usr/sbin/pure-ftpd" ] && exit 0
work=$(mktemp -d "$dir/.fetch-XXXXXX")
trap 'rm -rf "$work"' EXIT
options=()
[ "$(id -u)" -eq 0 ] && options=(-o APT::Sandbox::User=root)
(cd "$work" && apt-get "${options[@]}" download vsftpd proftpd-core proftpd-mod-crypto pure-ftpd)
for deb in "$work"/*.deb; do
  dpkg-deb -x "$deb" "$work/root"
done
rm -rf "$dir/root"
mv "$work/root" "$dir/root"
