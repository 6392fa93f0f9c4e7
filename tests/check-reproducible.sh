#!/bin/sh
# Builds the 32-bit deliverable and its release package again, from a copy of
# the sources written anew at another path, and compares both byte for byte
# with those already built.
#
#   check-reproducible.sh SOURCE_DIR BUILD_DIR PACKAGE_NAME
set -eu
source=$1 build=$2 name=$3
for built in "$build/LayerCleanup.exe" "$build/$name.zip"; do
    [ -f "$built" ] || { echo "FAIL: $built does not exist"; exit 1; }
done

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

other="$copy/build/win32"
sh "$(dirname "$0")/build-deliverable.sh" "$copy" "$other" >/dev/null || exit 1
for made in LayerCleanup.exe "$name.zip"; do
    cmp "$build/$made" "$other/$made" || { echo "FAIL: $made built at $copy differs from $build/$made"; exit 1; }
done
echo "identical: $build and a second build at $copy: LayerCleanup.exe ($(wc -c <"$build/LayerCleanup.exe") bytes)" \
    "and $name.zip ($(wc -c <"$build/$name.zip") bytes)"

