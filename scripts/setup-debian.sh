#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the demo
# need. Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev libcurl4-openssl-dev libssl-dev
  # the desktop keyring: QtKeychain, and the libsecret it loads at run time
  qtkeychain-qt6-dev libsecret-1-0
  # the status line's test turns on Qt's accessibility as a screen reader would
  qt6-base-private-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # tests and demo: real servers on loopback, a display for whole-program runs, the
  # font the window's layout is measured with, a check of the installed menu entry
  python3 python3-pyftpdlib python3-openssl openssl xvfb xauth xdg-utils curl fonts-dejavu-core desktop-file-utils
  # SFTP: libssh to build with (not libssh2); OpenSSH's client for the benchmark's sftp -b
  libssh-dev openssh-client
  # interoperability runs and benchmarks; the libraries are those of vsftpd, proftpd
  # and pure-ftpd, which scripts/fetch-ftp-servers.sh unpacks without installing them:
  # the three conflict in apt, and a user's own FTP server must stay as it is
  lftp iproute2 procps util-linux libpam-modules libwrap0 libpam0g libssl3
  libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23 libcap2
  # the icon is drawn as SVG and rendered to PNG (app/icons/render.sh); the screenshot
  librsvg2-bin imagemagick x11-utils
  # scripts/count-lines.sh
  cloc
  # the screenshot of a run (scripts/screenshot-running.sh) types into the window
  xdotool
  # the Debian package: cpack's dependency list (dpkg-shlibdeps), the check of its
  # AppStream metainfo, lintian, and `man` for its manual page
  dpkg-dev appstream lintian man-db
  # the keyring's test: a real Secret Service on a private session bus, and a client of
  # its own to read what the program stored
  dbus-daemon gnome-keyring libsecret-tools
)

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
  updated=yes
fi

# The keyring tests start gnome-keyring on a bus of their own. When this script brought the
# package in, its per-user sockets (which would start a keyring in every later login
# session) are not left enabled; a desktop that had the keyring before keeps it.
if [[ " ${missing[*]} " == *" gnome-keyring "* ]]; then
  "${sudo[@]}" systemctl --global disable --quiet gnome-keyring-daemon.socket \
    gcr-ssh-agent.socket 2>/dev/null || true
fi

# The FTP servers are unpacked into the build tree by scripts/fetch-ftp-servers.sh when
# the interoperability tests need them; nothing here installs or removes an FTP server.

# OpenSSH's sshd for the SFTP tests, which start it themselves with host keys and a
# configuration of their own on a loopback port. The package's own service must neither
# start nor stay enabled: a policy-rc.d that refuses every start guards the installation
# (unless the machine has a policy of its own), and afterwards ssh.service and ssh.socket
# are disabled: their wants/ and alias links go, and the SysV start links become stop links.
if ! dpkg-query -W -f='${Status}' openssh-server 2>/dev/null | grep -q 'install ok installed'; then
  guard=/usr/sbin/policy-rc.d
  own_guard=
  if [ ! -e "$guard" ]; then
    printf '#!/bin/sh\n# left by setup-debian.sh while openssh-server installs\nexit 101\n' |
      "${sudo[@]}" tee "$guard" >/dev/null
    "${sudo[@]}" chmod 755 "$guard"
    own_guard=yes
  fi
  [ -n "${updated:-}" ] || "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends \
    openssh-server || { [ -z "$own_guard" ] || "${sudo[@]}" rm -f "$guard"; exit 1; }
  [ -z "$own_guard" ] || "${sudo[@]}" rm -f "$guard"
  # systemctl works on the unit files whether or not systemd runs, and passes the SysV
  # script's links on to update-rc.d. An sshd the machine had before is left as it was.
  if command -v systemctl >/dev/null; then
    "${sudo[@]}" systemctl disable --quiet ssh.service ssh.socket
  else
    "${sudo[@]}" update-rc.d ssh disable
  fi
fi
