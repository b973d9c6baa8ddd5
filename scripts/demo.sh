#!/usr/bin/env bash
# The built-in demo: sets up this machine (Debian 12), starts a local vendor site and a
# local FTP server on loopback, builds the program against both and starts it. The FTP
# server's "www" directory is also served as the demo's web host, with cgi-bin scripts
# run, so the set-up page that Install Script opens really shows.
#
# When the program closes, the servers stop and the script lists what landed on the FTP
# server. Without a display the program runs under xvfb-run, where it cannot be seen.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/setup-debian.sh

python=/usr/bin/python3  # Debian's pyftpdlib belongs to Debian's interpreter
work=$(mktemp -d "${TMPDIR:-/tmp}/klv-demo.XXXXXX")
home="$work/ftp-home"
mkdir -p "$home/www/cgi-bin" "$home/www/klv"
chmod 755 "$work"  # run as root, the web host runs CGI scripts as nobody
pids=()

stop_servers() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}

finish() {
  stop_servers
  echo
  echo "demo: what landed on the FTP server (mode, bytes, path):"
  (cd "$home" && find . -type f -printf '  %m %6s %P\n' | sort -k3)
  rm -rf "$work"
}
trap finish EXIT

# wait_for_line FILE PATTERN: waits up to 10 s for a line matching PATTERN in FILE.
wait_for_line() {
  for _ in $(seq 100); do
    if grep -qE "$2" "$1" 2>/dev/null; then
      grep -m1 -E "$2" "$1"
      return 0
    fi
    sleep 0.1
  done
  echo "demo: a server did not start; its output:" >&2
  cat "$1" >&2
  return 1
}

# The FTP server ends when its standard input closes: this script holds the pipe open.
mkfifo "$work/ftp.stdin"
exec 3<>"$work/ftp.stdin"
"$python" testkit/servers.py pyftpd "$home" demo demo \
  <"$work/ftp.stdin" >"$work/ftp.out" 2>&1 &
pids+=($!)
ftp_port=$(wait_for_line "$work/ftp.out" '^127\.0\.0\.1 [0-9]+$' | cut -d' ' -f2)

"$python" -u -m http.server 0 --bind 127.0.0.1 --directory "$top/demo/vendor-site" \
  >"$work/vendor.out" 2>&1 &
pids+=($!)
vendor_port=$(wait_for_line "$work/vendor.out" 'port [0-9]+' | sed -E 's/.*port ([0-9]+).*/\1/')

# The web host: CGI scripts under /cgi-bin/ run with the uploaded klvcfg.cgi beside them.
(cd "$home/www" && exec "$python" -u -m http.server 0 --bind 127.0.0.1 --cgi) \
  >"$work/host.out" 2>&1 &
pids+=($!)
host_port=$(wait_for_line "$work/host.out" 'port [0-9]+' | sed -E 's/.*port ([0-9]+).*/\1/')

build_dir=${KLV_BUILD_DIR:-build-demo}
cmake -S . -B "$build_dir" -G Ninja -DKLV_BUILD_TESTS=OFF -DKLV_BUILD_BENCH=OFF \
  -DKLV_VENDOR_BASE_URL="http://127.0.0.1:$vendor_port" -DKLV_FTP_PORT="$ftp_port" >/dev/null
cmake --build "$build_dir" --target klv
program="$build_dir/app/klv"

cat <<TXT

demo: vendor site  http://127.0.0.1:$vendor_port  (demo/vendor-site)
demo: FTP server   127.0.0.1 port $ftp_port, user demo, password demo
demo: web host     http://127.0.0.1:$host_port  (the FTP server's www directory)

Type into the form:
  Username       demo
  Password       demo
  Server         127.0.0.1
  HTTP CGI Path  http://127.0.0.1:$host_port/cgi-bin
  Main Email     you@example.org
  PayPal Email   pay@example.org
then press Install Script, and afterwards Update Pages. Or, while the window is open,
from another terminal, without it:
  KLV_PASSWORD=demo $program install-script --username demo \\
    --server 127.0.0.1 --http-cgi-path http://127.0.0.1:$host_port/cgi-bin \\
    --main-email you@example.org --paypal-email pay@example.org

TXT

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$program" || true
else
  echo "demo: no display (DISPLAY is not set): running under xvfb-run, where nothing" \
    "can be seen; stop it with Ctrl+C"
  xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" "$program" || true
fi
