#!/bin/sh
# Builds the 32-bit deliverable and its release again, from its own source ZIP
# unpacked at another path (no git, new file times), and compares the
# program, its ZIP, the source ZIP and the buildinfo byte for byte with those
# already built. Then packages that copy signed, with throwaway keys: in a PEM
# file behind a password, and on a SoftHSM2 token behind a PIN with a source
# address set in the sources. Checks that each signed program verifies, that removing
# its signature gives back exactly the reproducible program, and that nothing
# of a key, its password or PIN was kept or shown.
#
#   check-reproducible.sh SOURCE_DIR BUILD_DIR PACKAGE_NAME
set -eu
source=$1 build=$2 name=$3
release="$name.zip ${name%-*}-source.zip $name.buildinfo"
for made in LayerCleanup.exe $release; do
    [ -f "$build/$made" ] || { echo "FAIL: $build/$made does not exist"; exit 1; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/layercleanup-reproduce.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/another"
# Unpacked with the entries' modes and this moment's times.
(cd "$scratch/another" && cmake -E tar xf "$build/${name%-*}-source.zip" --touch)
copy=$(ls -d "$scratch"/another/*/)
copy=${copy%/}

other="$copy/build/win32"
sh "$(dirname "$0")/build-deliverable.sh" "$copy" "$other" || exit 1
for made in LayerCleanup.exe $release; do
    cmp "$build/$made" "$other/$made" || { echo "FAIL: $made built at $copy differs from $build/$made"; exit 1; }
done
echo "identical: $build and a second build from its source ZIP at $copy, without git: LayerCleanup.exe" \
    "($(wc -c <"$build/LayerCleanup.exe") bytes), $release"

# Signing. osslsigncode is wrapped to record the command lines that ps would show.
keys="$scratch/keys"
mkdir -p "$keys/bin" "$keys/tokens"
password="throwaway-$$-p4ss word" pin="pin-$$-t0ken"
PASSWORD=$password "$source/scripts/quietly" openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=LayerCleanup test signer" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
    -keyout "$keys/key.pem" -out "$keys/cert.pem" -passout env:PASSWORD
# The same key on a SoftHSM2 token of this test's own.
export SOFTHSM2_CONF="$keys/softhsm2.conf"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$keys/tokens" >"$SOFTHSM2_CONF"
PASSWORD=$password "$source/scripts/quietly" openssl pkcs8 -topk8 -nocrypt -passin env:PASSWORD -in "$keys/key.pem" \
    -out "$keys/plain.pem"
"$source/scripts/quietly" softhsm2-util --init-token --free --label layercleanup-test --so-pin "$pin" --pin "$pin"
"$source/scripts/quietly" softhsm2-util --import "$keys/plain.pem" --token layercleanup-test --label signer --id 01 --pin "$pin"
rm "$keys/plain.pem"
real=$(command -v osslsigncode)
cat >"$keys/bin/osslsigncode" <<WRAPPER
#!/bin/sh
printf '%s\n' "\$*" >>"$keys/command-lines"
exec "$real" "\$@"
WRAPPER
chmod +x "$keys/bin/osslsigncode"
secret_line=$(sed -n 2p "$keys/key.pem")

. "$(dirname "$0")/findings.sh"
signed_round() { # KEY SECRET SOURCE_URL
    : >"$keys/command-lines"
    # The address is part of the source, as a publisher would set it.
    sed -i "s|^set(LAYERCLEANUP_SOURCE_URL \".*\")\$|set(LAYERCLEANUP_SOURCE_URL \"$3\")|" "$copy/CMakeLists.txt"
    grep -qx "set(LAYERCLEANUP_SOURCE_URL \"$3\")" "$copy/CMakeLists.txt" || fail "the address could not be set"
    "$source/scripts/quietly" cmake "$other"
    if ! PATH="$keys/bin:$PATH" LAYERCLEANUP_SIGN_CERT="$keys/cert.pem" LAYERCLEANUP_SIGN_KEY="$1" \
        LAYERCLEANUP_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so LAYERCLEANUP_SIGN_KEY_PASSWORD="$2" \
        cmake --build "$other" --target package >"$keys/package.log" 2>&1; then
        cat "$keys/package.log"
        fail "the package signed with $1 was not made"
        return
    fi
    signed="$scratch/signed"
    rm -rf "$signed" && mkdir -p "$signed"
    (cd "$signed" && cmake -E tar xf "$other/$name.zip")
    cmp -s "$signed/LayerCleanup.exe" "$build/LayerCleanup.exe" && fail "$1: the packaged program is not signed"
    (cd "$signed" && sha256sum --quiet -c SHA256SUMS) || fail "$1: SHA256SUMS does not list the signed program"
    osslsigncode verify -CAfile "$keys/cert.pem" -in "$signed/LayerCleanup.exe" >"$keys/verify.log" 2>&1 ||
        fail "$1: the signature does not verify: $(cat "$keys/verify.log")"
    grep -q 'Message digest algorithm *: SHA256' "$keys/verify.log" || fail "$1: the signature is not SHA-256"
    grep -q 'Text description: LayerCleanup$' "$keys/verify.log" || fail "$1: the signature does not name the program"
    # An address only where one was configured, in the signature and the readme alike.
    [ "$(sed -n 's/.*URL description: //p' "$keys/verify.log")" = "$3" ] || fail "$1: the signature's address is not '$3'"
    [ "$(grep -c '://' "$signed/readme.txt")" = "$([ -n "$3" ] && echo 1 || echo 0)" ] ||
        fail "$1: readme.txt does not give exactly the address '$3'"
    for line in "Program-Signed: yes" "Program-Unsigned-SHA256: $(sha256sum <"$build/LayerCleanup.exe" | cut -d' ' -f1)"; do
        grep -qx "$line" "$other/$name.buildinfo" || fail "$1: the buildinfo does not say \"$line\""
    done
    rm -f "$keys/stripped.exe"
    "$source/scripts/quietly" osslsigncode remove-signature -in "$signed/LayerCleanup.exe" -out "$keys/stripped.exe"
    cmp -s "$keys/stripped.exe" "$build/LayerCleanup.exe" ||
        fail "$1: the signed program without its signature is not the reproducible one"

    # The password or PIN never on a command line, nothing of it or of the key
    # kept in the build tree (cache and logs included) or shown while packaging.
    [ -s "$keys/command-lines" ] || fail "$1: osslsigncode was not run"
    grep -qF "$2" "$keys/command-lines" && fail "$1: a command line held the password"
    for secret in "$2" "$secret_line"; do
        grep -rqF "$secret" "$other" "$keys/package.log" && fail "$1: the build tree or the packaging output keeps a secret"
    done
    grep -rqs LAYERCLEANUP_SIGN "$other/CMakeCache.txt" && fail "$1: the CMake cache holds a signing variable"
    return 0
}
signed_round "$keys/key.pem" "$password" ""
signed_round "pkcs11:token=layercleanup-test;object=signer;type=private" "$pin" "https://example.org/layercleanup"

[ "$findings" -eq 0 ] || exit 1
echo "signed with a key file and with a key on a token: each program verifies, SHA256SUMS lists it, and without" \
    "its signature it is the reproducible one; an address only where configured; no secret kept or shown"
