#!/usr/bin/env bash
# Sets up this machine (Debian 12), then configures, builds and runs every test.
# Each pass is a build of its own with its own CMake options, in
# ${KLV_BUILD_ROOT:-build-test}/<pass>; a pass is added with one line at the bottom.
# Warnings fail the build. Exits non-zero on the first failure.
#
#   scripts/test.sh                     every pass
#   CTEST_PARALLEL_LEVEL=2 scripts/test.sh   tests of a pass two at a time
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh

build_root=${KLV_BUILD_ROOT:-build-test}

# run_pass NAME [CMAKE_OPTION...]
run_pass() {
  local name=$1
  shift
  local dir="$build_root/$name"
  echo "==== test pass '$name' in $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error
}

run_pass default
