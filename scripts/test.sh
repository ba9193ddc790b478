#!/usr/bin/env bash
# Builds and runs every test: the thread tests under ThreadSanitizer, the
# normal build, then the AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

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

# The URL fuzz target, built with clang in its own directory, replays its
# committed corpus as a regression test (no fuzzing here).
echo "=== fuzz corpus replay ==="
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCONTFS_BUILD_FUZZ=ON -DCONTFS_BUILD_TESTS=OFF -DCONTFS_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target fuzz_url -j "$jobs"
./build/fuzz/fuzz/fuzz_url fuzz/corpus/url/*

run_preset asan
