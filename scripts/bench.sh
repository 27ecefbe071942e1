#!/usr/bin/env bash
# Builds and runs every benchmark. Extra arguments go to each benchmark
# binary (for example --benchmark_min_time=0.01 for a quick run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh plain
found=0
for b in build/benchmarks/*; do
  [ -x "$b" ] || continue
  found=1
  echo "== $(basename "$b")"
  "$b" "$@"
done
[ "$found" -eq 1 ] || echo "no benchmarks were built"
