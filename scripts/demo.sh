#!/usr/bin/env bash
# Sets up this machine (Debian 12), builds the program and starts it with the
# configuration it was built with. It runs on your display; without one it runs under
# xvfb-run, where it cannot be seen (stop it with Ctrl+C).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh

build_dir=${KLV_BUILD_DIR:-build-demo}
cmake -S . -B "$build_dir" -G Ninja
cmake --build "$build_dir" --target klv
program="$build_dir/app/klv"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: starting $program"
  exec "$program"
fi
echo "demo: no display (DISPLAY is not set): starting $program under xvfb-run;" \
  "nothing will be seen, stop it with Ctrl+C"
exec xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" "$program"
