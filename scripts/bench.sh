#!/usr/bin/env bash
# Builds a Release tree and runs every benchmark: each executable named *_bench that
# bench/ builds. Benchmarks compare the program's path with a reference tool on local
# servers; they print their figures and are not tests.
#
#   scripts/bench.sh [name-filter]        e.g. scripts/bench.sh ftp
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KLV_BENCH_BUILD:-build-bench}
filter=${1:-}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKLV_BUILD_APP=OFF \
  -DKLV_BUILD_TESTS=OFF -DKLV_BUILD_BENCH=ON
cmake --build "$build"

failed=()
ran=0
while IFS= read -r bench; do
  name=$(basename "$bench")
  if [ -n "$filter" ] && [[ "$name" != *"$filter"* ]]; then
    continue
  fi
  echo "==== $name"
  ran=$((ran + 1))
  if ! "$bench"; then
    failed+=("$name")
  fi
done < <(find "$build/bench" -type f -name '*_bench' -perm -u+x | sort)

if [ "$ran" -eq 0 ]; then
  echo "no benchmark matched" >&2
  exit 1
fi
if [ "${#failed[@]}" -gt 0 ]; then
  echo "benchmarks that failed: ${failed[*]}" >&2
  exit 1
fi
