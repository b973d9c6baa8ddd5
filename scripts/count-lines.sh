#!/usr/bin/env bash
# Prints the lines of code (cloc: blank and comment lines left out) of the product
# (ftp/ with the SFTP client beside it, web/ installer/ app/, and base/ where it exists), of the tests (tests/: cases,
# fixtures, test servers, fuzz targets, in any language; and testkit/, the process,
# scratch and server helpers the tests share with bench/), and the ratio. The tests may
# be at most half of the product.
set -euo pipefail
cd "$(dirname "$0")/.."

code_lines() {
  cloc --quiet --csv --sum-one "$@" | awk -F, '$2 == "SUM" { print $NF }'
}

product_dirs=()
for dir in base ftp web installer app; do
  [ -d "$dir" ] && product_dirs+=("$dir")
done
product=$(code_lines "${product_dirs[@]}")
tests=$(code_lines tests testkit)
echo "product (${product_dirs[*]}): $product lines"
echo "tests (tests/ testkit/): $tests lines"
awk -v t="$tests" -v p="$product" 'BEGIN {
  printf "tests / product: %.2f (at most 0.50); tests / (product + tests): %.2f\n", t / p, t / (p + t)
}'
