#!/bin/sh
# Builds the 32-bit deliverable and its release package from these sources,
# in a build tree of the tests' own (never the maintainer's build/win32),
# configuring it first where it has none, so that the tests which use them
# test what the sources make now. Never signs: the signing variables are left
# out. The package is the suite's own, never published: it is made even where
# Debian's archive no longer offers a recorded package version.
#
#   build-deliverable.sh SOURCE_DIR BUILD_DIR
set -eu
source=$1 build=$2
quietly="$source/scripts/quietly"
[ -f "$build/build.ninja" ] || "$quietly" cmake -S "$source" -B "$build" --preset win32 \
    -DLAYERCLEANUP_REQUIRE_ARCHIVE_VERSIONS=OFF || {
    echo "FAIL: cannot configure $build"
    exit 1
}
"$quietly" env -u LAYERCLEANUP_SIGN_CERT -u LAYERCLEANUP_SIGN_KEY -u LAYERCLEANUP_SIGN_KEY_PASSWORD \
    -u LAYERCLEANUP_SIGN_TIMESTAMP_URL -u LAYERCLEANUP_SIGNATURE cmake --build "$build" --target package || {
    echo "FAIL: cannot build the deliverable and its package in $build"
    exit 1
}
echo "built: $build/LayerCleanup.exe and its package"
