#!/usr/bin/env bash
# Fails when a source includes a header of a layer above its own (or of a
# sibling on the same floor). The layers of src/, bottom first, as in
# docs/architecture.md; folders on one line share a floor and know nothing of
# each other:
#
#   platform quoting
#   frame
#   buffer
#   util datafile
#   container
#   vfile
#   module
#
# src/<layer>/ may include its own folder and the floors below. tests/<layer>/
# follows the same rule as the layer it tests; the other test folders (host,
# cont, support) drive the module through the SDK alone and include nothing
# from src/. The build enforces the same for src/ (each layer's include path
# shows only its own folder and the layers it links); this check says which
# line broke the rule, and covers the tests.
#
# Usage: scripts/check_layers.sh [ROOT]   (ROOT defaults to the repository)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}

declare -A floor=([platform]=1 [quoting]=1 [frame]=2 [buffer]=3 [util]=4 [datafile]=4 [container]=5 [vfile]=6 [module]=7)

failures=0
check_tree() {  # check_tree DIR: every file under DIR/<folder>/
    local base=$1 file folder line target own
    while IFS= read -r file; do
        folder=${file#"$base"/}
        folder=${folder%%/*}
        own=${floor[$folder]:-0}
        while IFS= read -r line; do
            target=$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$line")
            [ -n "${floor[$target]:-}" ] || continue
            if [ "$target" != "$folder" ] && { [ "$own" -eq 0 ] || [ "${floor[$target]}" -ge "$own" ]; }; then
                echo "${file#"$root"/}:${line%%:*}: ${folder} includes ${target}/, which is not below it" >&2
                failures=$((failures + 1))
            fi
        done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
    done < <(find "$base" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
}

for folder in "$root"/src/*/; do
    folder=$(basename "$folder")
    if [ -z "${floor[$folder]:-}" ]; then
        echo "src/$folder/ has no floor in scripts/check_layers.sh" >&2
        failures=$((failures + 1))
    fi
done
check_tree "$root/src"
check_tree "$root/tests"

if [ "$failures" -ne 0 ]; then
    echo "layer check: $failures include(s) against the layer order" >&2
    exit 1
fi
echo "layer check: every include of src/ and tests/ points down"
