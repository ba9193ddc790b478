#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR SCRATCH_DIR
# Installs the build into a fresh prefix and builds the C host of this folder
# and the examples of examples/ against it twice, as hosts outside the tree
# do: through find_package(contfs CONFIG) and through pkg-config. Each build
# then runs on the installed module its package names: the examples pack
# files as interleaved entries and print each entry back, compared byte for
# byte with its file. The installed cont finds that module on its own, and
# so does the installed GStreamer plug-in, when the build has one.
set -euo pipefail
fail() { echo "install test: $*" >&2; exit 1; }
mkdir -p "$3"
build=$(realpath "$1") source=$(realpath "$2") scratch=$(realpath "$3")

prefix=$(mktemp -d "$scratch/install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
strict="-Wall -Wextra -Werror -pedantic"

# The inputs of the examples: the samples (one of them empty) and two files
# of several pieces each, so that their entries' bytes interleave.
inputs=$prefix/inputs
mkdir "$inputs"
cp "$source"/samples/* "$inputs/"
head -c 300000 /dev/urandom >"$inputs/big-a.bin"
head -c 200001 /dev/urandom >"$inputs/big-b.bin"

# run_examples DIR: DIR/pack_entries packs every input, DIR/read_entry gives
# each entry back; and a second pack over the container is refused without
# touching it.
run_examples() {
  local bin=$1 container=$1/packed.cnt file
  "$bin/pack_entries" "$container" "$inputs"/* || fail "$bin/pack_entries failed"
  for file in "$inputs"/*; do
    "$bin/read_entry" "$container" "${file##*/}" | cmp - "$file" ||
      fail "$bin/read_entry gave other bytes for ${file##*/}"
  done
  cp "$container" "$prefix/before.cnt"
  if "$bin/pack_entries" "$container" "$inputs/notes.txt" 2>/dev/null; then
    fail "$bin/pack_entries wrote over an existing container"
  fi
  cmp -s "$container" "$prefix/before.cnt" || fail "$bin/pack_entries changed the container it refused"
  # A failure is told by the result's name (QLXResultName in C), and both
  # find the module where CONT_MODULE says before anywhere else.
  local status=0
  "$bin/read_entry" "$container" no-such-entry 2>"$prefix/read.err" || status=$?
  [ "$status" = 1 ] || fail "$bin/read_entry ended with $status for a missing entry"
  grep -q "cannot open the entry: E_FAIL (0x80004005)" "$prefix/read.err" ||
    fail "$bin/read_entry did not name the result: $(cat "$prefix/read.err")"
  for run in "read_entry $container notes.txt" "pack_entries $prefix/other.cnt $inputs/notes.txt"; do
    # shellcheck disable=SC2086  # the words of the run
    if CONT_MODULE=$prefix/no-module.so "$bin"/$run 2>"$prefix/env.err"; then
      fail "$bin/${run%% *} did not load the module CONT_MODULE names"
    fi
    grep -q "no-module.so" "$prefix/env.err" || fail "$bin/${run%% *}: $(cat "$prefix/env.err")"
  done
}

for file in bin/cont include/qlx/interfaces.h include/qlx/language.h include/contfs/container.h \
            share/doc/contfs/host-guide.md share/doc/contfs/examples/read_entry.c; do
  [ -e "$prefix/$file" ] || fail "$file missing after install"
done
for guide in "$source"/docs/*.md; do
  cmp -s "$guide" "$prefix/share/doc/contfs/${guide##*/}" || fail "${guide##*/} not installed as it is"
done
[ -n "$(find "$prefix" -name libcontfs_host.a)" ] || fail "no libcontfs_host.a installed"
module_file=$(find "$prefix" -name contfs.so -path '*/contfs/contfs.so')
[ -n "$module_file" ] || fail "no contfs/contfs.so installed"

echo "--- find_package(contfs CONFIG)"
cmake -S "$source/tests/sdk/consumer" -B "$prefix/by-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/by-cmake" >/dev/null
module=$(cat "$prefix/by-cmake/module-path.txt")
[ "$module" = "$(cat "$prefix/by-cmake/module-variable.txt")" ] || fail "contfs::module and contfs_MODULE_PATH differ"
[ "$module" -ef "$module_file" ] || fail "the package names $module, not the installed module"
"$prefix/by-cmake/c_host" "$module" "$prefix"
cmake -S "$source/examples" -B "$prefix/examples-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$strict" -DCMAKE_CXX_FLAGS="$strict" >/dev/null
cmake --build "$prefix/examples-cmake" >/dev/null
run_examples "$prefix/examples-cmake"

echo "--- pkg-config contfs"
pc=$(find "$prefix" -name contfs.pc)
[ -n "$pc" ] || fail "no contfs.pc installed"
export PKG_CONFIG_PATH=${pc%/*}
pkg-config --exists contfs || fail "pkg-config does not find contfs"
pkg-config --exists contfs-host || fail "pkg-config does not find contfs-host"
module=$(pkg-config --variable=module contfs)
[ "$module" -ef "$module_file" ] || fail "contfs.pc names $module, not the installed module"
# shellcheck disable=SC2046,SC2086  # the flags are words
cc -std=c99 $strict $(pkg-config --cflags contfs) "$source/tests/sdk/c_host.c" \
  -o "$prefix/c_host" $(pkg-config --libs contfs)
"$prefix/c_host" "$module" "$prefix"
mkdir "$prefix/examples-pc"
# shellcheck disable=SC2046,SC2086
cc -std=c99 $strict $(pkg-config --cflags contfs) -DCONTFS_MODULE="\"$module\"" "$source/examples/read_entry.c" \
  -o "$prefix/examples-pc/read_entry" $(pkg-config --libs contfs)
# shellcheck disable=SC2046,SC2086
c++ -std=c++17 $strict $(pkg-config --cflags contfs-host) -DCONTFS_INSTALLED_MODULE="\"$module\"" \
  "$source/examples/pack_entries.cpp" -o "$prefix/examples-pc/pack_entries" $(pkg-config --libs contfs-host)
run_examples "$prefix/examples-pc"

echo "--- installed cont"
env -u CONT_MODULE "$prefix/bin/cont" pack "$prefix/samples.cnt" "$source/samples/notes.txt" >/dev/null
env -u CONT_MODULE "$prefix/bin/cont" cat "$prefix/samples.cnt" notes.txt | cmp - "$source/samples/notes.txt" ||
  fail "the installed cont did not read back what it packed"
if [ -e "$build/gst/libgstcont.so" ]; then
  echo "--- installed contsrc"
  plugin=$(find "$prefix" -name libgstcont.so)
  [ -n "$plugin" ] || fail "no libgstcont.so installed"
  [ "$(basename "$(dirname "$plugin")")" = gstreamer-1.0 ] || fail "libgstcont.so installed in $plugin, not a gstreamer-1.0 directory"
  export GST_PLUGIN_PATH=${plugin%/*} GST_REGISTRY=$prefix/gst-registry.bin
  env -u CONT_MODULE gst-launch-1.0 -q contsrc location="$prefix/samples.cnt" entry=notes.txt ! \
    filesink location="$prefix/notes.out" || fail "the installed contsrc did not play an entry"
  cmp "$prefix/notes.out" "$source/samples/notes.txt" || fail "the installed contsrc gave other bytes"
fi
echo "install test: passed"
