#!/usr/bin/env bash
# compile_headers.sh COMPILER STANDARD SOURCE_DIR
# Every SDK header alone, then the layout checks over all of them, as the
# given language standard with warnings as errors: what a host compiling
# against the installed headers with strict settings meets.
set -euo pipefail
compiler=$1 standard=$2 source_dir=$3
language=c
[[ $standard == c++* ]] && language=c++
flags=(-x "$language" -std="$standard" -Wall -Wextra -Werror -pedantic -fsyntax-only -I "$source_dir/include")
for header in "$source_dir"/include/qlx/*.h; do
  name=qlx/$(basename "$header")
  printf '#include <%s>\n#include <%s>\ntypedef int after_the_header;\n' "$name" "$name" | "$compiler" "${flags[@]}" - ||
    { echo "$name does not compile alone as $standard with $compiler"; exit 1; }
done
"$compiler" "${flags[@]}" "$source_dir/tests/sdk/sdk_layout_check.c"
echo "$compiler $standard: every header compiles"
