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
# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer: any
# report ends its test with a failure.
run_pass sanitize -DKLV_SANITIZE=ON -DKLV_BUILD_BENCH=OFF
# The suites below the window under ThreadSanitizer: the workflows on plain threads, the
# cancelling and resolver threads. Any report fails its test. The window's tests are not
# in it: Debian's Qt is not instrumented, and its image threads allocate and free across
# threads in ways ThreadSanitizer reports through its allocator, which no suppression by
# library reaches without also hiding every race with a Qt frame on the stack (the event
# loop, queued calls), that is, all of the window's own threading.
run_pass tsan -DKLV_TSAN=ON -DKLV_BUILD_APP=OFF -DKLV_BUILD_BENCH=OFF

# Every reader of outside bytes under libFuzzer, briefly (scripts/run-fuzzers.sh with a
# longer time for a real hunt).
echo "==== fuzzing every target for ${KLV_FUZZ_SECONDS:=20}s"
KLV_FUZZ_BUILD="$build_root/fuzz" scripts/run-fuzzers.sh "$KLV_FUZZ_SECONDS"

echo "==== every test pass succeeded"
