#!/usr/bin/env bash
# Unpacks the FTP servers of the interoperability tests into DIR, without installing
# them: vsftpd, proftpd and pure-ftpd conflict in apt (each provides ftp-server), and a
# user may have one of them installed, so apt downloads their Debian packages and
# dpkg-deb unpacks them under DIR/root. Nothing on the system changes.
#
#   scripts/fetch-ftp-servers.sh DIR
#
# Afterwards DIR/root/usr/sbin/{vsftpd,proftpd,pure-ftpd}, DIR/root/usr/bin/pure-pw and
# proftpd's mod_tls (DIR/root/usr/lib/proftpd/mod_tls.so) exist, and DIR/versions names
# the packages unpacked.
# Running it again does nothing once they are there. The shared libraries the servers
# need beyond a base system are installed by scripts/setup-debian.sh.
set -euo pipefail

if [ "$#" -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
dir=$1

# proftpd-basic, the package that provides ftp-server, only pulls in proftpd-core
# (the daemon and its built-in modules) and two loadable modules the tests do not use;
# proftpd-mod-crypto brings mod_tls for the TLS tests.
packages=(vsftpd proftpd-core proftpd-mod-crypto pure-ftpd)
wanted=(root/usr/sbin/vsftpd root/usr/sbin/proftpd root/usr/sbin/pure-ftpd root/usr/bin/pure-pw
  root/usr/lib/proftpd/mod_tls.so)

complete() {
  local file
  for file in "${wanted[@]}"; do
    [ -e "$dir/$file" ] || return 1
  done
  [ -s "$dir/versions" ]
}

if complete; then
  exit 0
fi

mkdir -p "$dir"
exec 9>"$dir/.lock"
flock 9
if complete; then  # another run finished it while this one waited
  exit 0
fi

work=$(mktemp -d "$dir/.fetch-XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt's download helper runs as _apt, which cannot write into a root-owned temporary
# directory; as root, let it run as root instead.
apt_options=()
if [ "$(id -u)" -eq 0 ]; then
  apt_options=(-o APT::Sandbox::User=root)
fi
if ! (cd "$work" && apt-get "${apt_options[@]}" download "${packages[@]}"); then
  # A machine whose package lists were never fetched knows no such package yet.
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update
  else
    sudo apt-get update
  fi
  (cd "$work" && apt-get "${apt_options[@]}" download "${packages[@]}")
fi

mkdir -p "$work/root"
for deb in "$work"/*.deb; do
  dpkg-deb -x "$deb" "$work/root"
  dpkg-deb -f "$deb" Package Version | paste -sd ' ' >>"$work/versions"
done

rm -rf "$dir/root"
mv "$work/root" "$dir/root"
mv "$work/versions" "$dir/versions"
complete
