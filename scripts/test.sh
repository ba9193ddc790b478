#!/usr/bin/env bash
# Builds and runs every test: the layer check, the thread tests under
# ThreadSanitizer, the normal build, the fuzz corpora, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

echo "=== layer check ==="
bash scripts/check_layers.sh

run_preset() {
  local preset=$1; shift
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests ==="
  ctest --preset "$preset" -j "$jobs" "$@"
}

# Thread tests (suites named *Threads*) under ThreadSanitizer first, so the
# last summary printed is the full sanitizer run.
run_preset tsan -R Threads --no-tests=ignore
run_preset dev

# The fuzz targets, built with clang in their own directory, replay their
# committed corpora as regression tests (no fuzzing here).
echo "=== fuzz corpus replay ==="
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCONTFS_BUILD_FUZZ=ON -DCONTFS_BUILD_TESTS=OFF -DCONTFS_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target fuzz_url fuzz_container -j "$jobs"
./build/fuzz/fuzz/fuzz_url fuzz/corpus/url/*
# Only the summary: libFuzzer prints a line per input.
replay_log=$(mktemp)
if ./build/fuzz/fuzz/fuzz_container fuzz/corpus/container/* >"$replay_log" 2>&1; then
  echo "fuzz_container: replayed $(ls fuzz/corpus/container | wc -l) inputs"
  rm -f "$replay_log"
else
  tail -n 40 "$replay_log"
  rm -f "$replay_log"
  exit 1
fi

run_preset asan
