#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR SCRATCH_DIR
# Installs the build into a fresh prefix and builds the C host of this folder
# against it twice, as hosts outside the tree do: through
# find_package(contfs CONFIG) and through pkg-config. Each build then runs on
# the installed module its package names; the installed cont finds that
# module on its own.
set -euo pipefail
fail() { echo "install test: $*" >&2; exit 1; }
mkdir -p "$3"
build=$(realpath "$1") source=$(realpath "$2") scratch=$(realpath "$3")

prefix=$(mktemp -d "$scratch/install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/cont include/qlx/interfaces.h include/qlx/language.h include/contfs/container.h; do
  [ -e "$prefix/$file" ] || fail "$file missing after install"
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

echo "--- pkg-config contfs"
pc=$(find "$prefix" -name contfs.pc)
[ -n "$pc" ] || fail "no contfs.pc installed"
export PKG_CONFIG_PATH=${pc%/*}
pkg-config --exists contfs || fail "pkg-config does not find contfs"
pkg-config --exists contfs-host || fail "pkg-config does not find contfs-host"
module=$(pkg-config --variable=module contfs)
[ "$module" -ef "$module_file" ] || fail "contfs.pc names $module, not the installed module"
# shellcheck disable=SC2046  # the flags are words
cc -std=c99 -pedantic -Wall -Wextra -Werror $(pkg-config --cflags contfs) "$source/tests/sdk/c_host.c" \
  -o "$prefix/c_host" $(pkg-config --libs contfs)
"$prefix/c_host" "$module" "$prefix"

echo "--- installed cont"
env -u CONT_MODULE "$prefix/bin/cont" pack "$prefix/samples.cnt" "$source/samples/notes.txt" >/dev/null
env -u CONT_MODULE "$prefix/bin/cont" cat "$prefix/samples.cnt" notes.txt | cmp - "$source/samples/notes.txt" ||
  fail "the installed cont did not read back what it packed"
echo "install test: passed"
