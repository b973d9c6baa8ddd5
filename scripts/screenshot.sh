#!/usr/bin/env bash
# Builds the program, starts it on a virtual X display and writes a screenshot of its
# main window to docs/window.png (a real X capture of the window, without a window
# manager, so without a title bar).
set -euo pipefail
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$0")/.."

caption="Kolvane Installer 1.0"
output=docs/window.png

if [ "${1:-}" = "--on-this-display" ]; then
  # Second half: runs inside xvfb-run. Start the program, wait for its window, take
  # the picture, end the program.
  program=$2
  "$program" &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
  window=""
  for _ in $(seq 100); do
    window=$(xwininfo -name "$caption" 2>/dev/null | awk '/Window id:/ { print $4 }') || true
    [ -n "$window" ] && break
    kill -0 "$pid" || { echo "screenshot: the program ended early" >&2; exit 1; }
    sleep 0.1
  done
  [ -n "$window" ] || { echo "screenshot: no window named '$caption' appeared" >&2; exit 1; }
  sleep 1  # let the first paint reach the screen
  import -window "$window" "$output.tmp.png"
  convert "$output.tmp.png" -strip "$output"  # no time stamps: same window, same bytes
  rm -f "$output.tmp.png"
  echo "screenshot: wrote $output ($(identify -format '%wx%h' "$output"))"
  exit 0
fi

scripts/setup-debian.sh
build_dir=${KLV_BUILD_DIR:-build-demo}
cmake -S . -B "$build_dir" -G Ninja
cmake --build "$build_dir" --target klv
mkdir -p docs
xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
  "$self" --on-this-display "$build_dir/app/klv"
