#!/bin/sh
# Runs scripts/verify-release as a careful user and as an attacker would: on
# the suite's own release and on releases made from it by one change each,
# every one as its publisher could make it (the buildinfo's checksums made to
# match). Each row names the change, where the release is rebuilt (a clean
# root, or --here), the status and the verdict, the last line, it must get.
#
#   check-verify-release.sh PYTHON SOURCE_DIR BUILD_DIR PACKAGE_NAME
set -u
python=$1 source=$2 build=$3 name=$4
source_zip=${name%-*}-source.zip
. "$(dirname "$0")/findings.sh"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/layercleanup-verify-test.XXXXXX")
mkdir "$scratch/tmp"
trap 'kill "$listener" 2>/dev/null; rm -rf "$scratch"' EXIT INT TERM
export XDG_CACHE_HOME="$scratch/cache"
listener=""

# Edits a copy of the release in FOLDER, then makes the buildinfo's checksums match.
edit() { # FOLDER CHANGE [ARGUMENT]
    "$python" - "$@" "$name" "$source_zip" <<'PYTHON'
import hashlib, re, sys, warnings, zipfile
warnings.simplefilter("ignore")  # the duplicate entry is meant
folder, change, argument, name, source_zip = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[-2], sys.argv[-1]
package, buildinfo = "%s/%s.zip" % (folder, name), "%s/%s.buildinfo" % (folder, name)
def rewrite(path, edit):  # rewrites a ZIP entry by entry: edit(entry, data) gives (entry, data) pairs
    entries = [(entry, zipfile.ZipFile(path).read(entry)) for entry in zipfile.ZipFile(path).infolist()]
    with zipfile.ZipFile(path, "w") as target:
        for entry, data in entries:
            for written, bytes_ in edit(entry, data):
                target.writestr(written, bytes_)  # stored, as the package target packs
def program_with(program):
    sums = ("%s  LayerCleanup.exe\n" % hashlib.sha256(program).hexdigest()).encode()
    rewrite(package, lambda entry, data: [(entry, {"LayerCleanup.exe": program, "SHA256SUMS": sums}.get(entry.filename, data))])
def changed():  # the packaged program with one byte changed
    program = bytearray(zipfile.ZipFile(package).read("LayerCleanup.exe")); program[0x1000] ^= 1
    return bytes(program)
text = open(buildinfo).read()
if change == "duplicate-program":  # a changed program first, the genuine one after it
    program = changed()
    rewrite(package, lambda entry, data: [(entry, program)] * (entry.filename == "LayerCleanup.exe") + [(entry, data)])
elif change == "readme":
    rewrite(package, lambda entry, data: [(entry, data.replace(b"Never click", b"Just click") if entry.filename == "readme.txt" else data)])
elif change == "program":
    program_with(changed())
elif change == "program-from":  # the program replaced by the file ARGUMENT
    program_with(open(argument, "rb").read())
elif change == "buildinfo":  # a package line replaced by ARGUMENT
    text = re.sub(r"(?m)^ cmake \(= .*\),$", argument, text)
elif change == "hostile-source":  # a CMakeLists.txt that reports its user, reaches for 127.0.0.1:ARGUMENT, leaves a process and a file
    probe = ('cmake_minimum_required(VERSION 3.25)\nexecute_process(COMMAND id -u OUTPUT_VARIABLE user OUTPUT_STRIP_TRAILING_WHITESPACE)\n'
             'execute_process(COMMAND sh -c "touch /dev/shm/layercleanup-left; setsid sleep 8765 >/dev/null 2>&1 &")\n'
             'file(DOWNLOAD http://127.0.0.1:%s/ ${CMAKE_BINARY_DIR}/probe STATUS reached TIMEOUT 10)\n'
             'message(FATAL_ERROR "hostile build: user ${user}, download ${reached}")\n' % argument).encode()
    rewrite("%s/%s" % (folder, source_zip), lambda entry, data: [(entry, probe + data if entry.filename.endswith("-1.0.0/CMakeLists.txt") else data)])
elif change == "copying-source":  # a changed program, and a source whose build takes any readable file with its checksum for its own
    program = changed(); program_with(program)
    copy = ('\nexecute_process(COMMAND sh -c "find / -type f -size %dc -exec sha256sum {} + 2>/dev/null | grep -m1 ^%s | cut -c67-" OUTPUT_VARIABLE hit OUTPUT_STRIP_TRAILING_WHITESPACE)\n'
            'if(hit)\n  add_custom_command(TARGET LayerCleanup POST_BUILD COMMAND cp ${hit} $<TARGET_FILE:LayerCleanup>)\nendif()\n' % (len(program), hashlib.sha256(program).hexdigest())).encode()
    rewrite("%s/%s" % (folder, source_zip), lambda entry, data: [(entry, data + copy if entry.filename.endswith("-1.0.0/CMakeLists.txt") else data)])
elif change == "corrupt-deflate":  # readme.txt deflated, its data starting with a block of the reserved type
    def deflated(entry, data):
        entry.compress_type = zipfile.ZIP_DEFLATED if entry.filename == "readme.txt" else entry.compress_type
        return [(entry, data)]
    rewrite(package, deflated)
    data = bytearray(open(package, "rb").read()); entry = zipfile.ZipFile(package).getinfo("readme.txt")
    data[entry.header_offset + 30 + sum(__import__("struct").unpack("<HH", data[entry.header_offset + 26:entry.header_offset + 30]))] = 0xFF
    open(package, "wb").write(data)
elif change == "escaping-source":  # an entry that would land beside the verifier's folder
    rewrite("%s/%s" % (folder, source_zip), lambda entry, data: [(entry, data)] + [(zipfile.ZipInfo(
        entry.filename.split("/")[0] + "/../../../ESCAPED"), b"out")] * entry.filename.endswith("/LICENSE"))
def sum_of(path): return hashlib.sha256(open(path, "rb").read()).hexdigest()
program = zipfile.ZipFile(package).read("LayerCleanup.exe") if change != "duplicate-program" else None
for field, value in (("Package-SHA256", sum_of(package)), ("Source-Archive-SHA256", sum_of("%s/%s" % (folder, source_zip))),
                     ("Program-Packaged-SHA256", program and hashlib.sha256(program).hexdigest())):
    text = re.sub(r"(?m)^%s: .*$" % field, "%s: %s" % (field, value), text) if value else text
open(buildinfo, "w").write(text.replace("Program-Signed: no", "Program-Signed: yes") if change == "program-from" else text)
PYTHON
}

release() { # FOLDER [RELEASE]: a copy of the suite's release, or of RELEASE (a folder)
    mkdir -p "$1"
    cp "${2:-$build}/$name.zip" "${2:-$build}/$source_zip" "${2:-$build}/$name.buildinfo" "$1/"
}

verify() { # FOLDER EXPECTED-STATUS EXPECTED-LAST-LINE VERIFY-RELEASE-OPTION...
    folder=$1 want_status=$2 want_last=$3
    shift 3
    status=0
    (cd "$folder" && TMPDIR="$scratch/tmp" $runner "$source/scripts/verify-release" "$@" "$name.zip") </dev/null >"$folder.out" 2>&1 || status=$?
    last=$(tail -n 1 "$folder.out")
    { [ "$status" -eq "$want_status" ] && [ "$last" = "$want_last" ]; } ||
        fail "verify-release $* on $(basename "$folder") exited $status (expected $want_status), saying:
$(cat "$folder.out")
instead of ending with: $want_last"
}

# A signed release of these sources, with a throwaway key; and its program's
# signature made for a program one byte different.
keys="$scratch/keys"
mkdir -p "$keys"
"$source/scripts/quietly" openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=Microsoft Corporation" \
    -addext extendedKeyUsage=codeSigning -keyout "$keys/key.pem" -out "$keys/cert.pem"
fingerprint=$(openssl x509 -in "$keys/cert.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
"$source/scripts/quietly" cmake -S "$source" -B "$scratch/signed-build" --preset win32 -DLAYERCLEANUP_REQUIRE_ARCHIVE_VERSIONS=OFF
LAYERCLEANUP_SIGN_CERT="$keys/cert.pem" LAYERCLEANUP_SIGN_KEY="$keys/key.pem" \
    "$source/scripts/quietly" cmake --build "$scratch/signed-build" --target package
flip() { # IN OUT: a copy of the program IN with one byte changed
    "$python" -c 'import sys; p = bytearray(open(sys.argv[1], "rb").read()); p[0x1000] ^= 1; open(sys.argv[2], "wb").write(p)' "$@"
}
flip "$build/LayerCleanup.exe" "$keys/other.exe"
"$source/scripts/quietly" osslsigncode sign -certs "$keys/cert.pem" -key "$keys/key.pem" -h sha256 -n LayerCleanup \
    -in "$keys/other.exe" -out "$keys/other-signed.exe"
flip "$keys/other-signed.exe" "$keys/mismatched.exe"
# A forged signer: the program signed with another key, whose certificate
# copies the throwaway one's serial and its issuer but for letter case; the
# signature also carries the throwaway certificate and names its issuer
# exactly, and is attached to the genuine program. And the genuine signed
# program with a second signature nested in.
"$source/scripts/quietly" openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -sha256 -days 2 -nodes \
    -subj "/CN=microsoft corporation" -set_serial "0x$(openssl x509 -in "$keys/cert.pem" -noout -serial | sed 's/.*=//')" \
    -addext extendedKeyUsage=codeSigning -keyout "$keys/forger.key" -out "$keys/forger.pem"
cat "$keys/forger.pem" "$keys/cert.pem" >"$keys/forger-bag.pem"
"$source/scripts/quietly" osslsigncode sign -certs "$keys/forger-bag.pem" -key "$keys/forger.key" -h sha256 \
    -n LayerCleanup -in "$build/LayerCleanup.exe" -out "$keys/forger-signed.exe"
"$source/scripts/quietly" osslsigncode extract-signature -in "$keys/forger-signed.exe" -out "$keys/forger.sig"
"$python" -c 'import sys; p = open(sys.argv[1], "rb").read(); at = p.rindex(b"microsoft corporation")
open(sys.argv[1], "wb").write(p[:at] + b"Microsoft Corporation" + p[at + 21:])' "$keys/forger.sig"
"$source/scripts/quietly" osslsigncode attach-signature -sigin "$keys/forger.sig" -CAfile "$keys/forger-bag.pem" \
    -in "$build/LayerCleanup.exe" -out "$keys/forged.exe"
"$python" -c 'import sys, zipfile; open(sys.argv[2], "wb").write(zipfile.ZipFile(sys.argv[1]).read("LayerCleanup.exe"))' \
    "$scratch/signed-build/$name.zip" "$keys/signed.exe"
"$source/scripts/quietly" osslsigncode sign -nest -certs "$keys/forger.pem" -key "$keys/forger.key" -h sha256 \
    -n LayerCleanup -in "$keys/signed.exe" -out "$keys/nested.exe"

# Where Debian's mirror no longer offers a recorded version (this machine is
# behind it), a clean root would come from Debian's snapshot archive on the
# internet, which the suite never reaches: then only the --here rows run.
behind=$("$python" - "$build/$name.buildinfo" <<'PYTHON'
import re, subprocess, sys
pins = re.findall(r"(?m)^ (\S+) \(= (\S+)\),?$", open(sys.argv[1]).read())
listed = subprocess.run(["apt-cache", "madison"] + [name for name, _ in pins], stdout=subprocess.PIPE, text=True).stdout
offered = {tuple(cell.strip() for cell in line.split("|")[:2]) for line in listed.splitlines()}
print(" ".join("%s=%s" % pin for pin in pins if pin not in offered))
PYTHON
)
built="VERIFIED: $name.zip is, byte for byte, the package that $source_zip builds."
not_built="CANNOT VERIFY: $source_zip did not build (its output is above), so nothing was compared."
not_same="NOT VERIFIED: LayerCleanup.exe in $name.zip is NOT the program that $source_zip builds."
missing="CANNOT VERIFY: the recorded toolchain is not available, so nothing was built."
[ -z "$behind" ] || echo "note: Debian's archive lacks recorded versions ($behind); only the --here rows run"
status_of() { case $1 in VERIFIED*) echo 0 ;; NOT*) echo 1 ;; *) echo 3 ;; esac; }

# A listener on this machine's loopback, which the build in a clean root must not reach.
"$python" -c '
import socket, sys
server = socket.socket(); server.bind(("127.0.0.1", 0)); server.listen()
open(sys.argv[1] + ".part", "w").write(str(server.getsockname()[1])); __import__("os").rename(sys.argv[1] + ".part", sys.argv[1])
while True:
    server.accept(); open(sys.argv[2], "a").write("connected\n")' "$scratch/port" "$scratch/reached" &
listener=$!
for _ in $(seq 1 100); do [ -s "$scratch/port" ] && break; sleep 0.1; done

# Years later: no network but the loopback, where a snapshot-shaped service
# serves the archive that the genuine row kept, and a clock in 2032, when
# Debian 12's keys that signed it have expired. Each process keeps its own
# clock: one shared by the first would be out of reach of apt's helpers,
# which drop their privileges.
offline() { # COMMAND...
    # shellcheck disable=SC2016 # the inner shell expands them
    unshare --net sh -euc 'ip link set lo up
        "$0" -m http.server --bind 127.0.0.1 --directory "$1" 8642 >/dev/null 2>&1 & server=$!
        for _ in $(seq 1 100); do "$0" -c "import socket; socket.create_connection((\"127.0.0.1\", 8642))" 2>/dev/null && break; sleep 0.1; done
        shift; status=0; FAKETIME_DISABLE_SHM=1 faketime "2032-06-01 12:00:00" "$@" || status=$?
        kill "$server"; exit "$status"' "$python" "$scratch/kept" "$@"
}
# A copy of the kept archive (linked, each changed file replaced) with a signed
# index signed again by a throwaway key, or a .deb with one byte changed.
tamper() { # CHANGE
    cp -al "$scratch/kept" "$scratch/$1-archive"
    if [ "$1" = resigned ]; then
        index=$(ls "$scratch"/kept/archive/debian-security/*/dists/*/InRelease)
        export GNUPGHOME="$scratch/gnupg" && mkdir -m 700 "$GNUPGHOME"
        "$source/scripts/quietly" gpg --batch --passphrase '' --quick-gen-key throwaway default default never
        sed -e '1,/^$/d' -e '/^-----BEGIN PGP SIGNATURE/,$d' "$index" | gpg --batch --clearsign >"$scratch/InRelease" 2>/dev/null
        mv "$scratch/InRelease" "$scratch/resigned-archive/${index#"$scratch/kept/"}"
    else
        deb=$(ls "$scratch"/kept/archive/debian/*/pool/main/c/cmake/cmake_*.deb)
        "$python" -c 'import sys; p = bytearray(open(sys.argv[1], "rb").read()); p[-1000] ^= 1; open(sys.argv[2], "wb").write(p)' \
            "$deb" "$scratch/flipped.deb" && mv "$scratch/flipped.deb" "$scratch/flipped-archive/${deb#"$scratch/kept/"}"
    fi
}

# The rows: a copy of a release (the suite's own, or the signed one above),
# its change and the change's argument, how it is checked, and the status and
# last line it must get. Checked in a clean root unless the options say --here.
signed_by="signed by the certificate you named, SHA-256 fingerprint $fingerprint; whether to trust that certificate is for Windows to judge."
signer=$(echo "$fingerprint" | tr -d : | tr A-F a-f)
# Rows whose options begin "offline" run years later, as above; where this
# machine is behind Debian's archive, only the --here rows can run.
rows() {
    while IFS='|' read -r row from change argument options want_status want_last; do
        [ -n "$behind" ] && [ "${options#*--here}" = "$options" ] && continue
        release "$scratch/$row" "$from"
        case $change in
        resigned | flipped) tamper "$change" ;;
        ?*) edit "$scratch/$row" "$change" "$argument" ;;
        esac
        runner="exec" && [ "${options#offline }" != "$options" ] && runner=offline options=${options#offline }
        # shellcheck disable=SC2086
        verify "$scratch/$row" "$want_status" "$want_last" $options
    done
}
rows <<ROWS
genuine|$build|||--keep-archive $scratch/kept|0|$built
hostile|$build|hostile-source|$(cat "$scratch/port")||3|$not_built
copying|$build|copying-source|||$(status_of "$not_same")|$not_same
corrupt|$build|corrupt-deflate||--here|1|NOT VERIFIED: $name.zip is not a well-formed release ZIP: Error -3 while decompressing data: invalid block type.
duplicate|$build|duplicate-program||--here|1|NOT VERIFIED: $name.zip is not a well-formed release ZIP: two entries are named LayerCleanup.exe.
readme|$build|readme||--here|1|NOT VERIFIED: $name.zip is NOT, byte for byte, the package that $source_zip builds: readme.txt differs.
program|$build|program||--here|1|NOT VERIFIED: LayerCleanup.exe in $name.zip is NOT the program that $source_zip builds.
escaping|$build|escaping-source||--here|1|NOT VERIFIED: $source_zip is not a well-formed source ZIP: it holds an entry named 'LayerCleanup-1.0.0/../../../ESCAPED'.
injected|$build|buildinfo| \$(touch\${IFS}INJECTED) (= 1),|--here|1|NOT VERIFIED: $name.buildinfo is not a LayerCleanup buildinfo: Installed-Build-Depends: ' \$(touch\${IFS}INJECTED) (= 1),' is not ' name (= version),'.
other-versions|$build|buildinfo| cmake (= 3.25.0-99),|--here|3|CANNOT VERIFY: this machine's packages are not the recorded versions (above), so --here cannot check this release; run without --here.
signed|$scratch/signed-build|||--here --signer $signer|0|VERIFIED: $name.zip is, byte for byte, the package that $source_zip builds, its program $signed_by
other-signer|$scratch/signed-build|||--here --signer $(printf '%064d' 7)|1|NOT VERIFIED: LayerCleanup.exe is signed by the certificate with SHA-256 fingerprint $fingerprint, not by the one you named.
mismatched|$scratch/signed-build|program-from|$keys/mismatched.exe|--here|1|NOT VERIFIED: the signature of LayerCleanup.exe does not match its contents, or not the certificate it names.
forged|$scratch/signed-build|program-from|$keys/forged.exe|--here --signer $signer|1|NOT VERIFIED: the signature of LayerCleanup.exe names its signer so that more than one certificate it carries fits (the same serial number and issuer, letter case and spacing aside), so which one it names is not certain.
nested|$scratch/signed-build|program-from|$keys/nested.exe|--here --signer $signer|1|NOT VERIFIED: LayerCleanup.exe carries more than one signature (one inside another, or several signers), and Windows would show each; a release is signed once.
ROWS
# Years later; the last two rows' verdicts name the kept file each changes.
rows <<ROWS
served|$build|||offline --snapshot http://127.0.0.1:8642/|0|$built
kept|$build|||offline --archive $scratch/kept|0|$built
missing-version|$build|buildinfo| cmake (= 3.25.0-99),|offline --snapshot http://127.0.0.1:8642/|3|$missing
resigned|$build|resigned||offline --archive $scratch/resigned-archive|3|CANNOT VERIFY: the signature of $(cd "$scratch/kept/archive" 2>/dev/null && ls -d debian-security/*/dists/*)/InRelease was made by a key that is not trusted (not one of Debian's archive keys, nor one given with --keyring), so nothing was built.
flipped|$build|flipped||offline --archive $scratch/flipped-archive|3|CANNOT VERIFY: $(cd "$scratch/kept/archive" 2>/dev/null && ls debian/*/pool/main/c/cmake/cmake_*.deb) does not match Debian's signed index (Hash Sum mismatch), so nothing was built.
ROWS
[ -n "$behind" ] || grep -q '^    cmake 3.25.0-99$' "$scratch/missing-version.out" || fail "the missing version is not named"
grep -qx 'verify-release: the signing certificate calls itself "CN=Microsoft Corporation"' "$scratch/signed.out" ||
    fail "the signing certificate's own name is not shown apart from the verdict"
[ -n "$behind" ] || grep -q "hostile build: user 65534, download [1-9]" "$scratch/hostile.out" ||
    fail "the hostile build did not run as nobody without a network: $(grep 'hostile build' "$scratch/hostile.out")"
[ -e "$scratch/reached" ] && fail "the build in the clean root reached this machine's loopback"
[ -n "$(find "$scratch" /tmp "$PWD" -maxdepth 3 \( -name ESCAPED -o -name INJECTED \))" ] &&
    fail "an entry of the source ZIP landed outside the verifier's folder, or the buildinfo's command was run"

# Interrupted while the clean root is made.
release "$scratch/interrupted"
(cd "$scratch/interrupted" && TMPDIR="$scratch/tmp" exec "$source/scripts/verify-release" "$name.zip") >"$scratch/interrupted.out" 2>&1 &
checking=$!
for _ in $(seq 1 300); do grep -q 'rebuilding' "$scratch/interrupted.out" && break; sleep 0.1; done
kill -TERM "$checking"
status=0 && wait "$checking" || status=$?
{ [ "$status" -eq 3 ] && [ "$(tail -n 1 "$scratch/interrupted.out")" = \
    "CANNOT VERIFY: the check was interrupted, so nothing was decided." ]; } ||
    fail "an interrupted check exited $status, saying: $(cat "$scratch/interrupted.out")"
{ pgrep -f "sleep 8765" || [ -e /dev/shm/layercleanup-left ] || grep layercleanup-verify /proc/self/mountinfo ||
    [ -n "$(ls -A "$scratch/tmp")" ]; } && fail "a check left a process, a file or a mount behind"

[ "$findings" -eq 0 ] || exit 1
echo "verify-release: every row got its verdict"
