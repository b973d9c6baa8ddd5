#!/usr/bin/env bash
# Takes docs/window-running.png: the main window in the middle of Update Pages, with its
# progress bar and Cancel button. On a virtual X display (xvfb-run, no window manager)
# it starts a local FTP server and a vendor site that sends each page slowly, types the
# form with xdotool, runs Install Script, closes its transcript box, presses Update
# Pages and captures the window while the pages go up.
set -euo pipefail
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$0")/.."
top=$PWD
python=/usr/bin/python3  # Debian's pyftpdlib belongs to Debian's interpreter
caption="Kolvane Installer 1.0"
output=docs/window-running.png

if [ "${1:-}" = "--on-this-display" ]; then
  program=$2
  # A scratch settings folder: nothing the user saved shows, nothing is saved for them.
  XDG_CONFIG_HOME=$3 "$program" &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
  # The id of the first visible window whose title is $1, within 10 s; else the message $2.
  await_window() {
    local id=""
    for _ in $(seq 100); do
      id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) || true
      [ -n "$id" ] && { echo "$id"; return; }
      sleep 0.1
    done
    echo "screenshot: $2" >&2
    exit 1
  }
  window=$(await_window "$caption" "no window named '$caption' appeared")
  sleep 1
  xdotool windowfocus --sync "$window"
  # The fields in tab order from Username; empty entries keep the defaults.
  for text in demo demo 127.0.0.1 "" "" "" letmein owner@example.org pay@example.org "" "" ""; do
    [ -n "$text" ] && xdotool type --delay 5 "$text"
    xdotool key Tab
  done
  xdotool key Tab space  # past Read Docs to Install Script
  box=$(await_window klv "Install Script showed no transcript")
  xdotool windowfocus --sync "$box" key Return
  sleep 0.5
  xdotool windowfocus --sync "$window" key Tab space  # focus went back to Install Script
  sleep 3
  import -window "$window" "$output.tmp.png"
  convert "$output.tmp.png" -strip "$output"
  rm -f "$output.tmp.png"
  echo "screenshot: wrote $output ($(identify -format '%wx%h' "$output"))"
  exit 0
fi

scripts/setup-debian.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/klv-shot.XXXXXX")
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
mkdir -p "$work/ftp-home/www/cgi-bin" "$work/ftp-home/www/klv" "$work/config"

# The FTP server ends when its standard input closes: this script holds the pipe open.
mkfifo "$work/ftp.stdin"
exec 3<>"$work/ftp.stdin"
"$python" testkit/servers.py pyftpd "$work/ftp-home" demo demo \
  <"$work/ftp.stdin" >"$work/ftp.out" 2>&1 &
pids+=($!)
# The vendor site: the scripts and the list at once, every page in 32-byte pieces.
"$python" -u - "$top/demo/vendor-site" >"$work/vendor.out" 2>&1 <<'PY' &
import functools, http.server, os, sys, time
class Slow(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        path = self.translate_path(self.path)
        if not os.path.isfile(path):
            return self.send_error(404)
        data = open(path, "rb").read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        slow = not path.endswith(("list.txt", "cgi.txt"))
        for i in range(0, len(data), 32):
            self.wfile.write(data[i:i + 32])
            self.wfile.flush()
            time.sleep(0.1 if slow else 0)
handler = functools.partial(Slow, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
print("port", server.server_address[1])
server.serve_forever()
PY
pids+=($!)
for _ in $(seq 100); do
  grep -qE '^127\.0\.0\.1 [0-9]+$' "$work/ftp.out" 2>/dev/null && grep -q '^port' "$work/vendor.out" && break
  sleep 0.1
done
ftp_port=$(grep -m1 -E '^127\.0\.0\.1 [0-9]+$' "$work/ftp.out" | cut -d' ' -f2)
vendor_port=$(grep -m1 '^port' "$work/vendor.out" | cut -d' ' -f2)

build_dir=${KLV_BUILD_DIR:-build-shot}
cmake -S . -B "$build_dir" -G Ninja -DKLV_BUILD_TESTS=OFF -DKLV_BUILD_BENCH=OFF \
  -DKLV_VENDOR_BASE_URL="http://127.0.0.1:$vendor_port" -DKLV_FTP_PORT="$ftp_port" >/dev/null
cmake --build "$build_dir" --target klv
mkdir -p docs
xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
  "$self" --on-this-display "$build_dir/app/klv" "$work/config"
