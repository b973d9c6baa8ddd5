#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs every one of them for a bounded time.
#
#   scripts/run-fuzzers.sh [seconds-per-target]      (default 60)
#
# Every <name>_fuzz.cpp in tests/fuzz is a target. Each starts from its seed inputs in
# tests/fuzz/corpus/<name>/ (kept in the repository; add a crashing input there once
# it is fixed) and writes what it discovers to tests/fuzz/corpus-work/<name>/ (not kept).
# A crash leaves its input in ${KLV_FUZZ_BUILD:-build-fuzz}/artifacts/ and makes the
# script exit non-zero after the other targets have run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${KLV_FUZZ_BUILD:-build-fuzz}

CXX=clang++ cmake -S . -B "$build" -G Ninja -DKLV_FUZZ=ON -DKLV_BUILD_APP=OFF \
  -DKLV_BUILD_TESTS=OFF -DKLV_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"

mkdir -p "$build/artifacts"
failed=()
shopt -s nullglob
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" .cpp)
  target="$build/tests/fuzz/$name"
  if [ ! -x "$target" ]; then
    echo "==== $name: not built" >&2
    failed+=("$name")
    continue
  fi
  seeds="tests/fuzz/corpus/$name"
  work="tests/fuzz/corpus-work/$name"
  mkdir -p "$seeds" "$work"
  echo "==== $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/artifacts/$name-" -print_final_stats=1 \
      "$work" "$seeds"; then
    failed+=("$name")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
echo "every fuzz target ran ${seconds}s without a failure"
