#!/bin/sh
# Builds the 32-bit deliverable again, from a copy of the sources at another
# path, and compares it byte for byte with the deliverable already built.
#
#   check-reproducible.sh SOURCE_DIR DELIVERABLE
set -eu
source=$1 deliverable=$2
[ -f "$deliverable" ] || { echo "FAIL: $deliverable does not exist"; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/layercleanup-reproduce.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
copy="$scratch/another/checkout"
mkdir -p "$copy"

# The sources as they stand (committed or not), without any build output,
# written anew: the copy's files carry this moment's times.
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$source" ls-files --cached --others --exclude-standard | while IFS= read -r file; do
        if [ -f "$source/$file" ]; then
            mkdir -p "$copy/$(dirname "$file")"
            cp "$source/$file" "$copy/$file"
        fi
    done
else
    tar -C "$source" --exclude=./build -cf - . | tar -C "$copy" -xmf -
fi

quietly="$source/scripts/quietly"
if ! "$quietly" cmake -S "$copy" --preset win32 || ! "$quietly" cmake --build "$copy/build/win32" --target LayerCleanup
then
    echo "FAIL: the second build did not complete"
    exit 1
fi

if ! cmp "$deliverable" "$copy/build/win32/LayerCleanup.exe"; then
    echo "FAIL: a build at $copy differs from $deliverable"
    exit 1
fi
echo "identical: $deliverable and a second build at $copy ($(wc -c <"$deliverable") bytes)"
