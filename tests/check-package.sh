#!/bin/sh
# Checks what the release package of a build tree holds: the program, the
# README and a SHA256SUMS file that verifies the program.
#
#   check-package.sh SOURCE_DIR BUILD_DIR PACKAGE_NAME
set -eu
source=$1 build=$2 name=$3
package="$build/$name.zip"

[ -f "$package" ] || { echo "FAIL: $package was not made"; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/layercleanup-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
(cd "$scratch" && cmake -E tar xf "$package")

contents=$(cd "$scratch" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
[ "$contents" = "LayerCleanup.exe README.md SHA256SUMS " ] || { echo "FAIL: the package holds: $contents"; exit 1; }
cmp "$scratch/LayerCleanup.exe" "$build/LayerCleanup.exe" || { echo "FAIL: the packaged program is not the built one"; exit 1; }
cmp "$scratch/README.md" "$source/README.md" || { echo "FAIL: the packaged README is not the project's"; exit 1; }
(cd "$scratch" && sha256sum -c SHA256SUMS) || { echo "FAIL: SHA256SUMS does not verify the program"; exit 1; }
echo "$package: $contents"
