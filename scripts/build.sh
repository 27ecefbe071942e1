#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [plain|asan|tsan|fuzz|locks]   (default: plain)
# Build folders: build/, build-asan/, build-tsan/, build-fuzz/, build-locks/.
# "locks" builds the product code (no tests, no benchmarks) with clang and
# -Wthread-safety: a field read without the lock that guards it fails the
# build. "tsan" builds only what the concurrency tests need.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-plain}"
jobs="$(nproc)"
case "$flavour" in
  plain) dir=build; args=() ;;
  asan)  dir=build-asan; args=(-DSENTREL_SANITIZE=address -DSENTREL_BENCH=OFF) ;;
  tsan)  dir=build-tsan; args=(-DSENTREL_SANITIZE=thread -DSENTREL_BENCH=OFF) ;;
  fuzz)  dir=build-fuzz; args=(-DSENTREL_FUZZ=ON -DSENTREL_TESTS=OFF -DSENTREL_BENCH=OFF
                               -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  locks) dir=build-locks; args=(-DSENTREL_THREAD_SAFETY=ON -DSENTREL_BENCH=OFF -DSENTREL_TESTS=OFF
                                -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: scripts/build.sh [plain|asan|tsan|fuzz|locks]" >&2; exit 2 ;;
esac

# A compiler cache keyed on paths relative to the checkout, so a fresh clone
# (CI) reuses what an earlier build of the same sources compiled.
if command -v ccache >/dev/null; then
  # Five flavours of the tree share it: the default 5 GB would evict one
  # flavour's objects while another builds.
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-25G}"
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" >/dev/null
targets=()
if [ "$flavour" = tsan ]; then targets=(--target concurrency_tests); fi
cmake --build "$dir" -j "$jobs" "${targets[@]}"
