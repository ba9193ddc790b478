#!/usr/bin/env bash
# Builds and runs every test: the layer and format checks, the thread tests under
# ThreadSanitizer, the normal build, the fuzz corpora, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

echo "=== layer check ==="
bash scripts/check_layers.sh
echo "=== format check ==="
bash scripts/check_format.sh

# build_preset PRESET [TARGET...]: configures and builds the preset, only the
# given targets when there are any.
build_preset() {
  local preset=$1; shift
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"
}

run_preset() {
  local preset=$1; shift
  build_preset "$preset"
  echo "=== $preset tests ==="
  ctest --preset "$preset" -j "$jobs" "$@"
}

# Thread tests (suites named *Threads*) under ThreadSanitizer first, so the
# last summary printed is the full sanitizer run. Only the test binaries that
# hold such suites are built: the rest would take minutes and run nothing.
thread_binaries=$(grep -rlE 'TEST(_F)?\(\w*Threads' tests | cut -d/ -f2 | sort -u | sed 's/^/test_/')
# shellcheck disable=SC2086
build_preset tsan $thread_binaries
echo "=== tsan tests ==="
ctest --preset tsan -j "$jobs" -R Threads --no-tests=error
run_preset dev

# The fuzz targets, built with clang in their own directory, replay their
# committed corpora as regression tests (no fuzzing here).
echo "=== fuzz corpus replay ==="
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCONTFS_BUILD_FUZZ=ON -DCONTFS_BUILD_TESTS=OFF -DCONTFS_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target fuzz_url fuzz_container fuzz_names fuzz_model fuzz_file_object -j "$jobs"
./build/fuzz/fuzz/fuzz_url fuzz/corpus/url/*
# Only the summary: libFuzzer prints a line per input.
for target in container names model file_object; do
  replay_log=$(mktemp)
  if ./build/fuzz/fuzz/fuzz_"$target" fuzz/corpus/"$target"/* >"$replay_log" 2>&1; then
    echo "fuzz_$target: replayed $(ls fuzz/corpus/"$target" | wc -l) inputs"
    rm -f "$replay_log"
  else
    tail -n 40 "$replay_log"
    rm -f "$replay_log"
    exit 1
  fi
done

run_preset asan
