#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a while on its seeds.
#   scripts/fuzz.sh [seconds per target]   (default: 60)
# Fails on the first finding; the crashing input is left in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
scripts/install-deps.sh
scripts/build.sh fuzz

mkdir -p build-fuzz/findings build-fuzz/corpus
status=0
for entry in build-fuzz/fuzzers/*.txt; do
  [ -e "$entry" ] || { echo "no fuzz targets were built" >&2; exit 1; }
  target="$(sed -n 1p "$entry")"
  seed_dir="$(sed -n 2p "$entry")"
  name="$(basename "$target")"
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -n "$seed_dir" ] && [ -d "$seed_dir" ] && seeds=("$seed_dir")
  # Inputs that once failed are run every time.
  [ -n "$seed_dir" ] && [ -d "$seed_dir/../regressions" ] && seeds+=("$seed_dir/../regressions")
  echo "== fuzzing $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="build-fuzz/findings/$name-" -print_final_stats=1 \
       "$corpus" "${seeds[@]}" 2>build-fuzz/findings/"$name".log; then
    echo "!! $name found a failure:"; tail -n 40 build-fuzz/findings/"$name".log
    status=1
  else
    grep -E '^stat::number_of_executed_units' build-fuzz/findings/"$name".log || true
  fi
done
exit $status
