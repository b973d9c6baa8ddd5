#!/usr/bin/env bash
# Builds a Release tree and runs every benchmark: each executable named *_bench that
# bench/ builds. Benchmarks compare the program's path with a reference tool on local
# servers; they print their figures and are not tests. docs/performance.md records the
# figures of a run of this script.
#
#   scripts/bench.sh [name-filter]        e.g. scripts/bench.sh pages
#
# Needs root: the benchmarks start vsftpd, unpacked into the build tree, in a mount
# namespace of its own (its anonymous account is in a passwd of its own, and chrooted),
# and pages_bench also opens packet sockets and makes network namespaces. A benchmark
# whose transfers failed or came out damaged prints no figures and fails, and so does
# this script. Settings:
#   KLV_BENCH_BUILD           the build tree (default build-bench)
#   KLV_BENCH_JOBS            parallel build jobs (default 2)
#   KLV_FTP_BENCH_MIB         ftp_bench's file size in MiB (default 256)
#   KLV_WEB_BENCH_MIB         web_bench's body in MiB (default and largest 64, the most a
#                             fetch stores)
#   KLV_WEB_BENCH_ROUNDS      web_bench's rounds (default 9)
#   KLV_PAGES_BENCH_ROUNDS    pages_bench's rounds, loopback and delayed (default "21 3")
#   KLV_SFTP_BENCH_ROUNDS     sftp_bench's rounds, loopback and delayed (default "11 3");
#                             it starts OpenSSH's sshd (testkit/servers.py) the same way
#   KLV_UPDATE_PAGES_BENCH_ROUNDS  update_pages_bench's rounds, all at 20 ms (default 3);
#                             it also starts the vendor's HTTP site (testkit/servers.py)
#   KLV_UPDATE_PAGES_BENCH_PARTS   the parts it runs (default "ftp,workflow,unchanged")
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KLV_BENCH_BUILD:-build-bench}
filter=${1:-}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKLV_BUILD_APP=OFF \
  -DKLV_BUILD_TESTS=OFF -DKLV_BUILD_BENCH=ON
cmake --build "$build" --parallel "${KLV_BENCH_JOBS:-2}"
scripts/fetch-ftp-servers.sh "$build/ftp-servers"  # the vsftpd the benchmarks start

# The machine the figures come from, and how busy it was: the benchmarks share it.
machine() {
  echo "---- $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $(nproc) processors," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg), kernel $(uname -r)"
}

failed=()
ran=0
machine
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
  machine
done < <(find "$build/bench" -type f -name '*_bench' -perm -u+x | sort)

if [ "$ran" -eq 0 ]; then
  echo "no benchmark matched" >&2
  exit 1
fi
if [ "${#failed[@]}" -gt 0 ]; then
  echo "benchmarks that failed: ${failed[*]}" >&2
  exit 1
fi
echo "$ran benchmarks ran to their end, every transfer intact"
