#!/bin/sh
# Runs scripts/verify-release as someone checking a release would: on the
# suite's own release, in a clean Debian root, where it must confirm the
# program; and on a copy whose program has one byte changed and whose
# SHA256SUMS was made to match, where it must say that the program is not the
# build of the source.
#
#   check-verify-release.sh PYTHON SOURCE_DIR BUILD_DIR PACKAGE_NAME
set -u
python=$1 source=$2 build=$3 name=$4
. "$(dirname "$0")/findings.sh"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/layercleanup-verify-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM

verify() { # EXPECTED-STATUS EXPECTED-LAST-LINE VERIFY-RELEASE-ARGUMENT...
    want_status=$1 want_last=$2
    shift 2
    status=0
    "$source/scripts/verify-release" "$@" >"$scratch/output" 2>&1 || status=$?
    last=$(tail -n 1 "$scratch/output")
    [ "$status" -eq "$want_status" ] && [ "$last" = "$want_last" ] ||
        fail "verify-release $* exited $status (expected $want_status), saying:
$(cat "$scratch/output")
instead of ending with: $want_last"
}

verify 0 "VERIFIED: LayerCleanup.exe in $name.zip is the build of ${name%-*}-source.zip." "$build/$name.zip"

mkdir "$scratch/tampered"
cp "$build/${name%-*}-source.zip" "$build/$name.buildinfo" "$scratch/tampered/"
"$python" - "$build/$name.zip" "$scratch/tampered/$name.zip" <<'PYTHON'
import hashlib, sys, zipfile
source, target = zipfile.ZipFile(sys.argv[1]), zipfile.ZipFile(sys.argv[2], "w", zipfile.ZIP_DEFLATED)
program = bytearray(source.read("LayerCleanup.exe"))
program[0x1000] ^= 0x01
for entry in source.infolist():
    data = source.read(entry)
    if entry.filename == "LayerCleanup.exe":
        data = bytes(program)
    elif entry.filename == "SHA256SUMS":
        data = ("%s  LayerCleanup.exe\n" % hashlib.sha256(program).hexdigest()).encode()
    target.writestr(entry, data)
target.close()
PYTHON
verify 1 "NOT VERIFIED: LayerCleanup.exe in $name.zip is NOT the build of ${name%-*}-source.zip." \
    --here "$scratch/tampered/$name.zip"

[ "$findings" -eq 0 ] || exit 1
echo "verify-release: confirms the suite's release in a clean root; rejects a changed program whose SHA256SUMS matches"
