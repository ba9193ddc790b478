#!/usr/bin/env bash
# Holds the C and C++ lines changed since .clang-format was last changed to
# its layout (git clang-format formats only those lines): older lines keep
# the layout they were written in until someone changes them. Prints what
# clang-format would change and fails when there is anything.
set -euo pipefail
cd "$(dirname "$0")/.."
base=$(git log -1 --format=%H -- .clang-format)
if [ -z "$base" ]; then
  echo "format check: .clang-format is not committed" >&2
  exit 1
fi
out=$(git clang-format --diff --extensions c,cc,cpp,h,hpp "$base" -- src host tools tests bench fuzz gst examples include 2>&1 || true)
case "$out" in
  ""|"no modified files to format"*|"clang-format did not modify any files"*)
    echo "format check: every line changed since $(git log -1 --format=%h "$base") is formatted" ;;
  *)
    echo "$out"
    echo "format check: the lines above are not laid out as .clang-format says (git clang-format $base fixes them)" >&2
    exit 1 ;;
esac
