#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#   scripts/test.sh [plain|asan|tsan]   (default: plain)
# The tsan flavour runs only the tests labelled "concurrency".
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-plain}"
scripts/install-deps.sh
scripts/build.sh "$flavour"

case "$flavour" in
  plain) dir=build; filter=() ;;
  asan)  dir=build-asan; filter=() ;;
  tsan)  dir=build-tsan; filter=(-L concurrency) ;;
  *) echo "usage: scripts/test.sh [plain|asan|tsan]" >&2; exit 2 ;;
esac

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300 "${filter[@]}"
