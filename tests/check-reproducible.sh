#!/bin/sh
# Builds the 32-bit deliverable and its release package again, from a copy of
# the sources written anew at another path, and compares both byte for byte
# with those already built. Then packages the copy signed, with a throwaway
# certificate and a key behind a password, and checks that the signed program
# verifies, that removing its signature gives back exactly the reproducible
# program, and that nothing of the key or its password was kept or shown.
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
    git -C "$source" ls-files -z --cached --others --exclude-standard |
        tar -C "$source" --null -T - --ignore-failed-read -cf - 2>/dev/null
else
    tar -C "$source" --exclude=./build -cf - .
fi | tar -C "$copy" -xmf -

other="$copy/build/win32"
sh "$(dirname "$0")/build-deliverable.sh" "$copy" "$other" || exit 1
for made in LayerCleanup.exe "$name.zip"; do
    cmp "$build/$made" "$other/$made" || { echo "FAIL: $made built at $copy differs from $build/$made"; exit 1; }
done
echo "identical: $build and a second build at $copy: LayerCleanup.exe ($(wc -c <"$build/LayerCleanup.exe") bytes)" \
    "and $name.zip ($(wc -c <"$build/$name.zip") bytes)"

# Signing. osslsigncode is wrapped to record the command lines that ps would show.
keys="$scratch/keys"
mkdir -p "$keys/bin"
password="throwaway-$$-p4ss word"
PASSWORD=$password "$source/scripts/quietly" openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=LayerCleanup test signer" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
    -keyout "$keys/key.pem" -out "$keys/cert.pem" -passout env:PASSWORD
real=$(command -v osslsigncode)
cat >"$keys/bin/osslsigncode" <<WRAPPER
#!/bin/sh
printf '%s\n' "\$*" >>"$keys/command-lines"
exec "$real" "\$@"
WRAPPER
chmod +x "$keys/bin/osslsigncode"
if ! PATH="$keys/bin:$PATH" LAYERCLEANUP_SIGN_CERT="$keys/cert.pem" LAYERCLEANUP_SIGN_KEY="$keys/key.pem" \
    LAYERCLEANUP_SIGN_KEY_PASSWORD="$password" cmake --build "$other" --target package >"$keys/package.log" 2>&1; then
    cat "$keys/package.log"
    echo "FAIL: the signed package was not made"
    exit 1
fi

. "$(dirname "$0")/findings.sh"
signed="$scratch/signed"
mkdir -p "$signed"
(cd "$signed" && cmake -E tar xf "$other/$name.zip")
cmp -s "$signed/LayerCleanup.exe" "$build/LayerCleanup.exe" && fail "the packaged program is not signed"
(cd "$signed" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not list the signed program"
osslsigncode verify -CAfile "$keys/cert.pem" -in "$signed/LayerCleanup.exe" >"$keys/verify.log" 2>&1 ||
    fail "the signature does not verify: $(cat "$keys/verify.log")"
grep -q 'Message digest algorithm *: SHA256' "$keys/verify.log" || fail "the signature is not SHA-256"
grep -q 'Text description: LayerCleanup$' "$keys/verify.log" || fail "the signature does not name the program"
grep -q 'URL description: https://' "$keys/verify.log" || fail "the signature gives no address"
"$source/scripts/quietly" osslsigncode remove-signature -in "$signed/LayerCleanup.exe" -out "$keys/stripped.exe"
cmp -s "$keys/stripped.exe" "$build/LayerCleanup.exe" ||
    fail "the signed program without its signature is not the reproducible one"

# The password never on a command line, nothing of it or of the key kept in
# the build tree (cache and logs included) or shown while packaging.
[ -s "$keys/command-lines" ] || fail "osslsigncode was not run"
grep -qF "$password" "$keys/command-lines" && fail "a command line held the password"
secret_line=$(sed -n 2p "$keys/key.pem")
for secret in "$password" "$secret_line"; do
    grep -rqF "$secret" "$other" "$keys/package.log" && fail "the build tree or the packaging output keeps a secret"
done
grep -rqs LAYERCLEANUP_SIGN "$other/CMakeCache.txt" && fail "the CMake cache holds a signing variable"

[ "$findings" -eq 0 ] || exit 1
echo "signed: the program verifies, SHA256SUMS lists it, and without its signature it is the reproducible one;" \
    "no secret kept or shown"
