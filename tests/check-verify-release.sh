#!/bin/sh
# Runs scripts/verify-release as a careful user and as an attacker would: on
# the suite's own release and on releases made from it by one change each,
# every one as its publisher could make it (the buildinfo's checksums made to
# match). Each row names the change, where the release is rebuilt (a clean
# root, or --here), the status and the verdict, the last line, it must get.
# "here" runs the rows checked --here; "clean-root" those rebuilt in a clean
# root, today and years later, which need Debian's mirror to offer the
# recorded versions: where it does not (this machine is behind it), none of
# them can run, and the check says why and exits 77 (skipped).
#
#   check-verify-release.sh PYTHON SOURCE_DIR BUILD_DIR PACKAGE_NAME here|clean-root
set -u
python=$1 source=$2 build=$3 name=$4 mode=$5
source_zip=${name%-*}-source.zip
top=${source_zip%-source.zip}
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
lists = source_zip[:-len("-source.zip")] + "/CMakeLists.txt"
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
             'execute_process(COMMAND sh -c "touch /dev/shm/layercleanup-left-%s; setsid sleep 8765.%s >/dev/null 2>&1 &")\n'
             'file(DOWNLOAD http://127.0.0.1:%s/ ${CMAKE_BINARY_DIR}/probe STATUS reached TIMEOUT 10)\n'
             'message(FATAL_ERROR "hostile build: user ${user}, download ${reached}")\n' % (argument, argument, argument)).encode()
    rewrite("%s/%s" % (folder, source_zip), lambda entry, data: [(entry, probe + data if entry.filename == lists else data)])
elif change == "copying-source":  # a changed program, and a source whose build takes any readable file with its checksum for its own
    program = changed(); program_with(program)
    copy = ('\nexecute_process(COMMAND sh -c "find / -type f -size %dc -exec sha256sum {} + 2>/dev/null | grep -m1 ^%s | cut -c67-" OUTPUT_VARIABLE hit OUTPUT_STRIP_TRAILING_WHITESPACE)\n'
            'if(hit)\n  add_custom_command(TARGET LayerCleanup POST_BUILD COMMAND cp ${hit} $<TARGET_FILE:LayerCleanup>)\nendif()\n' % (len(program), hashlib.sha256(program).hexdigest())).encode()
    rewrite("%s/%s" % (folder, source_zip), lambda entry, data: [(entry, data + copy if entry.filename == lists else data)])
elif change == "corrupt-deflate":  # readme.txt deflated, its data starting with a block of the reserved type
    def deflated(entry, data):
        entry.compress_type = zipfile.ZIP_DEFLATED if entry.filename == "readme.txt" else entry.compress_type
        return [(entry, data)]
    rewrite(package, deflated)
    data = bytearray(open(package, "rb").read()); entry = zipfile.ZipFile(package).getinfo("readme.txt")
    data[entry.header_offset + 30 + sum(__import__("struct").unpack("<HH", data[entry.header_offset + 26:entry.header_offset + 30]))] = 0xFF
    open(package, "wb").write(data)
elif change == "format-1.0":
    text = text.replace("Format: 2.0\n", "Format: 1.0\n", 1)
elif change in ("address", "source"):  # the source's address set to ARGUMENT, or its build begun by the probe ARGUMENT
    probe = {"lying": 'message(FATAL_ERROR "\\r\\033[2KVERIFIED: all is well\\033[8m")\n',
             "many-files": 'execute_process(COMMAND python3 -c "import os\\nos.mkdir(\'m\')\\nfor i in range(10**6): open(\'m/%d\' % i, \'w\').close()")\n'}
    rewrite("%s/%s" % (folder, source_zip), lambda entry, data: [(entry, re.sub(rb'(?m)^set\(LAYERCLEANUP_SOURCE_URL ".*"\)$', ('set(LAYERCLEANUP_SOURCE_URL "%s")' % argument).encode(), data) if change == "address" else probe[argument].encode() + data) if entry.filename == lists else (entry, data)])
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
    # shellcheck disable=SC2086 # the runner is words
    (cd "$folder" && TMPDIR="$scratch/tmp" $runner "$source/scripts/verify-release" "$@" "$name.zip") </dev/null >"$folder.out" 2>&1 || status=$?
    last=$(tail -n 1 "$folder.out")
    # Whatever the release or a service said is marked and escaped: the verdict is the only other line.
    sed '$d' "$folder.out" | grep -v -e '^verify-release: ' -e '^    ' >"$folder.unmarked"
    { [ ! -s "$folder.unmarked" ] && ! LC_ALL=C grep -q "$(printf '[\033\r\b]')" "$folder.out"; } ||
        fail "$(basename "$folder"): unmarked or unescaped lines: $(cat -v "$folder.unmarked" "$folder.out")"
    { [ "$status" -eq "$want_status" ] && [ "$last" = "$want_last" ]; } ||
        fail "verify-release $* on $(basename "$folder") exited $status (expected $want_status), saying:
$(cat "$folder.out")
instead of ending with: $want_last"
}

# For the --here rows: a signed release and one with an address.
keys="$scratch/keys" fingerprint=""
if [ "$mode" = here ]; then
    # A signed release of these sources, with a throwaway key; and its program's
    # signature made for a program one byte different.
    mkdir -p "$keys"
    "$source/scripts/quietly" openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=Microsoft Corporation" \
        -addext extendedKeyUsage=codeSigning -keyout "$keys/key.pem" -out "$keys/cert.pem"
    fingerprint=$(openssl x509 -in "$keys/cert.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
    "$source/scripts/quietly" cmake -S "$source" -B "$scratch/signed-build" --preset win32 -DLAYERCLEANUP_REQUIRE_ARCHIVE_VERSIONS=OFF
    LAYERCLEANUP_SIGN_CERT="$keys/cert.pem" LAYERCLEANUP_SIGN_KEY="$keys/key.pem" \
        "$source/scripts/quietly" cmake --build "$scratch/signed-build" --target package
    # A release whose sources give it an address, built from the source ZIP unpacked.
    mkdir "$scratch/addressed-source" && (cd "$scratch/addressed-source" && cmake -E tar xf "$build/$source_zip")
    sed -i 's|^set(LAYERCLEANUP_SOURCE_URL ".*")$|set(LAYERCLEANUP_SOURCE_URL "https://example.org/layercleanup")|' \
        "$scratch"/addressed-source/*/CMakeLists.txt
    "$source/scripts/quietly" cmake -S "$scratch"/addressed-source/* -B "$scratch/addressed-build" --preset win32 \
        -DLAYERCLEANUP_REQUIRE_ARCHIVE_VERSIONS=OFF && "$source/scripts/quietly" cmake --build "$scratch/addressed-build" --target package
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
fi

# Where Debian's mirror no longer offers a recorded version (this machine is
# behind it), a clean root would come from Debian's snapshot archive on the
# internet, which the suite never reaches.
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
if [ "$mode" = clean-root ] && [ -n "$behind" ]; then
    echo "SKIPPED: Debian's mirror no longer offers the recorded $behind, so a clean root would need Debian's" \
        "snapshot archive on the internet, which the suite never reaches: the clean-root rebuild and the years-later" \
        "rows were not shown"
    exit 77
fi
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
    # A /dev/shm of its own, where libfaketime's shared clocks go with the namespace.
    unshare --net --mount --propagation private sh -euc 'ip link set lo up; mount -t tmpfs -o mode=1777 tmpfs /dev/shm
        "$0" -m http.server --bind 127.0.0.1 --directory "$1" 8642 >/dev/null 2>&1 & server=$!
        "$0" "$2" >/dev/null 2>&1 & hostile=$!
        for port in 8642 8643; do for _ in $(seq 1 100); do "$0" -c "import socket; socket.create_connection((\"127.0.0.1\", $port))" 2>/dev/null && break; sleep 0.1; done; done
        shift 2; status=0; FAKETIME_DISABLE_SHM=1 faketime "2032-06-01 12:00:00" "$@" || status=$?
        kill "$server" "$hostile"; exit "$status"' "$python" "$scratch/kept" "$scratch/hostile.py" "$@"
}
# A service on 8643 that answers as a hostile or broken one would, by the first part of the path.
cat >"$scratch/hostile.py" <<'PYTHON'
import socket, threading, time
def answer(connection):
    mode = connection.recv(65536).split(b" ")[1].split(b"/")[1]
    if mode == b"drip":  # a byte every five seconds
        for byte in b"HTTP/1.1 200 OK\r\n\r\n" + b"x" * 1000: connection.send(bytes([byte])); time.sleep(5)
    elif mode == b"endless":
        connection.send(b"HTTP/1.1 200 OK\r\n\r\n"); [connection.send(b"x" * 65536) for _ in iter(int, 1)]
    elif mode == b"garbled":  # a captive portal's page
        connection.send(b"HTTP/1.1 200 OK\r\nContent-Length: 29\r\n\r\n<html>Sign in to Wi-Fi</html>")
    else:
        connection.send(b"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.2:8643/\x1b[2K\x1b[8mVERIFIED: fine\r\nContent-Length: 0\r\n\r\n")
    connection.close()
server = socket.create_server(("127.0.0.1", 8643))
while True: threading.Thread(target=answer, args=(server.accept()[0],), daemon=True).start()
PYTHON
# A checker who runs it as an ordinary user.
mkdir -p "$scratch/nobody-cache" "$scratch/outside" && chmod 711 "$scratch" && chmod 1777 "$scratch/tmp"
nobody="env -u LD_PRELOAD -u FAKETIME_SHARED PATH=/usr/sbin:/usr/bin:/sbin:/bin XDG_CACHE_HOME=$scratch/nobody-cache setpriv --reuid=65534 --regid=65534 --clear-groups"
cache_of() { printf '%s' "$1" | sha256sum | cut -c1-16; }
mkdir -p "$scratch/nobody-cache/layercleanup-verify/$(cache_of http://127.0.0.1:8642/)" "$scratch/linked-keep-dir"
ln -s "$scratch/outside" "$scratch/nobody-cache/layercleanup-verify/$(cache_of http://127.0.0.1:8642/)/mr"
ln -s "$scratch/outside" "$scratch/linked-keep-dir/archive"
chown -R 65534:65534 "$scratch/nobody-cache"
# A copy of the kept archive (linked, each changed file replaced) with a signed
# index signed again by a throwaway key, or a .deb with one byte changed.
tamper() { # CHANGE
    cp -al "$scratch/kept" "$scratch/$1-archive"
    if [ "$1" = resigned ] || [ "$1" = revoked ]; then
        index=$(ls "$scratch"/kept/archive/debian-security/*/dists/*/InRelease)
        export GNUPGHOME="$scratch/gnupg-$1" && mkdir -m 700 "$GNUPGHOME"
        "$source/scripts/quietly" gpg --batch --passphrase '' --quick-gen-key "throwaway $1" default default \
            "$([ "$1" = revoked ] && echo 1y || echo never)"
        sed -e '1,/^$/d' -e '/^-----BEGIN PGP SIGNATURE/,$d' "$index" | gpg --batch --clearsign >"$scratch/InRelease" 2>/dev/null
        mv "$scratch/InRelease" "$scratch/$1-archive/${index#"$scratch/kept/"}"
        if [ "$1" = revoked ]; then
            sed 's/^:-----BEGIN/-----BEGIN/' "$GNUPGHOME"/openpgp-revocs.d/*.rev | gpg --batch --import 2>/dev/null
            gpg --batch --export >"$scratch/revoked.gpg"
        fi
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
# Rows whose options begin "offline" run years later, as above; the mode
# picks the --here rows or all the others.
rows() {
    while IFS='|' read -r row from change argument options want_status want_last; do
        case $options in *--here*) [ "$mode" = here ] || continue ;; *) [ "$mode" = clean-root ] || continue ;; esac
        release "$scratch/$row" "$from"
        case $change in
        resigned | revoked | flipped) tamper "$change" ;;
        ?*) edit "$scratch/$row" "$change" "$argument" ;;
        esac
        runner="exec"
        for word in offline nobody; do
            [ "${options#"$word" }" = "$options" ] && continue
            options=${options#"$word" }
            case $word in offline) runner="offline" ;; *) runner="$runner $nobody" ;; esac
        done
        # shellcheck disable=SC2086
        verify "$scratch/$row" "$want_status" "$want_last" $options
    done
}
rows <<ROWS
genuine|$build|||--keep-archive $scratch/kept|0|$built
hostile|$build|hostile-source|$(cat "$scratch/port")||3|$not_built
copying|$build|copying-source|||$(status_of "$not_same")|$not_same
linked-keep|$build|||--keep-archive $scratch/linked-keep-dir|3|CANNOT VERIFY: $scratch/linked-keep-dir holds a link, $scratch/linked-keep-dir/archive, where the kept archive would be written, so nothing was checked.
format|$build|format-1.0||--here|1|NOT VERIFIED: $name.buildinfo is not a LayerCleanup buildinfo: format 1.0 is not read (no release was published in it).
lying|$build|source|lying|--here|3|$not_built
addressed|$scratch/addressed-build|||--here|0|$built
readdressed|$scratch/addressed-build|address|https://example.org/elsewhere|--here|1|NOT VERIFIED: $name.zip is NOT, byte for byte, the package that $source_zip builds: readme.txt differs.
corrupt|$build|corrupt-deflate||--here|1|NOT VERIFIED: $name.zip is not a well-formed release ZIP: Error -3 while decompressing data: invalid block type.
duplicate|$build|duplicate-program||--here|1|NOT VERIFIED: $name.zip is not a well-formed release ZIP: two entries are named LayerCleanup.exe.
readme|$build|readme||--here|1|NOT VERIFIED: $name.zip is NOT, byte for byte, the package that $source_zip builds: readme.txt differs.
program|$build|program||--here|1|NOT VERIFIED: LayerCleanup.exe in $name.zip is NOT the program that $source_zip builds.
escaping|$build|escaping-source||--here|1|NOT VERIFIED: $source_zip is not a well-formed source ZIP: it holds an entry named '$top/../../../ESCAPED'.
injected|$build|buildinfo| \$(touch\${IFS}INJECTED) (= 1),|--here|1|NOT VERIFIED: $name.buildinfo is not a LayerCleanup buildinfo: Installed-Build-Depends: ' \$(touch\${IFS}INJECTED) (= 1),' is not ' name (= version),'.
other-versions|$build|buildinfo| cmake (= 3.25.0-99),|--here|3|CANNOT VERIFY: this machine's packages are not the recorded versions (above), so --here cannot check this release; run without --here.
signed|$scratch/signed-build|||--here --signer $signer|0|VERIFIED: $name.zip is, byte for byte, the package that $source_zip builds, its program $signed_by
other-signer|$scratch/signed-build|||--here --signer $(printf '%064d' 7)|1|NOT VERIFIED: LayerCleanup.exe is signed by the certificate with SHA-256 fingerprint $fingerprint, not by the one you named.
mismatched|$scratch/signed-build|program-from|$keys/mismatched.exe|--here|1|NOT VERIFIED: the signature of LayerCleanup.exe does not match its contents, or not the certificate it names.
forged|$scratch/signed-build|program-from|$keys/forged.exe|--here --signer $signer|1|NOT VERIFIED: the signature of LayerCleanup.exe names its signer so that more than one certificate it carries fits (the same serial number and issuer, letter case and spacing aside), so which one it names is not certain.
nested|$scratch/signed-build|program-from|$keys/nested.exe|--here --signer $signer|1|NOT VERIFIED: LayerCleanup.exe carries more than one signature (one inside another, or several signers), and Windows would show each; a release is signed once.
ROWS
# Years later; some rows' verdicts name the kept file that they change.
security_index=$(cd "$scratch/kept/archive" 2>/dev/null && ls -d debian-security/*/dists/*)/InRelease
cmake_deb=$(cd "$scratch/kept/archive" 2>/dev/null && ls debian/*/pool/main/c/cmake/cmake_*.deb)
rows <<ROWS
served|$build|||offline --snapshot http://127.0.0.1:8642/|0|$built
kept|$build|||offline --archive $scratch/kept|0|$built
missing-version|$build|buildinfo| cmake (= 3.25.0-99),|offline --snapshot http://127.0.0.1:8642/|3|$missing
resigned|$build|resigned||offline --archive $scratch/resigned-archive|3|CANNOT VERIFY: the signature of $security_index was made by a key that is not trusted (not one of Debian's archive keys, nor one given with --keyring), so nothing was built.
revoked|$build|revoked||offline --archive $scratch/revoked-archive --keyring $scratch/revoked.gpg|3|CANNOT VERIFY: the signature of $security_index was made by a revoked key, which is never trusted, so nothing was built.
many-files|$build|source|many-files|offline --archive $scratch/kept|3|CANNOT VERIFY: the source's build was stopped at its limit of 16384 files made, so nothing was compared.
drip|$build|||offline --snapshot http://127.0.0.1:8643/drip/|3|CANNOT VERIFY: the snapshot archive at http://127.0.0.1:8643/drip/ answered less than 64 KiB in 30 s for mr/timestamp/, so nothing was built.
endless|$build|||offline --snapshot http://127.0.0.1:8643/endless/|3|CANNOT VERIFY: the answer for mr/timestamp/ is larger than 16 MiB, so nothing was built.
garbled|$build|||offline --snapshot http://127.0.0.1:8643/garbled/|3|CANNOT VERIFY: the snapshot archive at http://127.0.0.1:8643/garbled/ gave no readable answer at mr/timestamp/, so nothing was built.
redirect|$build|||offline --snapshot http://127.0.0.1:8643/moved/|3|CANNOT VERIFY: http://127.0.0.1:8643/ redirected the check to another host or scheme (http://127.0.0.2:8643/\x1b[2K\x1b[8mVERIFIED: fine), so nothing was built.
linked-cache|$build|||offline nobody --snapshot http://127.0.0.1:8642/|3|CANNOT VERIFY: the snapshot archive at http://127.0.0.1:8642/ holds a link, $scratch/nobody-cache/layercleanup-verify/$(cache_of http://127.0.0.1:8642/)/mr, where the check would read or write its files, so nothing was built.
flipped|$build|flipped||offline --archive $scratch/flipped-archive|3|CANNOT VERIFY: $cmake_deb does not match Debian's signed index (Hash Sum mismatch), so nothing was built.
ROWS
if [ "$mode" = here ]; then
    grep -qx 'verify-release: the signing certificate calls itself "CN=Microsoft Corporation"' "$scratch/signed.out" ||
        fail "the signing certificate's own name is not shown apart from the verdict"
    [ -n "$(find "$scratch" /tmp "$PWD" -maxdepth 3 \( -name ESCAPED -o -name INJECTED \))" ] &&
        fail "an entry of the source ZIP landed outside the verifier's folder, or the buildinfo's command was run"
    [ "$findings" -eq 0 ] || exit 1
    echo "verify-release: every --here row got its verdict"
    exit 0
fi
grep -q '^    cmake 3.25.0-99$' "$scratch/missing-version.out" || fail "the missing version is not named"
grep -q "hostile build: user 65534, download [1-9]" "$scratch/hostile.out" ||
    fail "the hostile build did not run as nobody without a network: $(grep 'hostile build' "$scratch/hostile.out")"
[ -e "$scratch/reached" ] && fail "the build in the clean root reached this machine's loopback"
{
    [ -z "$(find "$scratch/cache" "$scratch/outside" -name '*.part' -o -path '*/outside/*')" ] &&
        [ ! -e "$scratch/cache/layercleanup-verify/$(cache_of http://127.0.0.1:8643/garbled/)/mr/timestamp/index.html" ]
} || fail "a failed answer left a file in the cache, an unreadable one was kept, or a link was written through"
codename=$(sed -n 's/^Build-Release: //p' "$build/$name.buildinfo")
sed -n 's/^verify-release: trusting only these keys for Debian [a-z]*.s archive: //p' "$scratch/kept.out" |
    tr ';' '\n' | grep -q -v "/$codename)" && fail "keys that sign no part of Debian $codename were trusted"

# Stopped while the clean root is made: by a signal to the check's whole
# process group, as Ctrl-C sends it, and killed outright, whose leftovers
# the next check removes, saying so. Only the checks' own folder is looked at.
for stop in INT KILL; do
    release "$scratch/stopped-$stop"
    (cd "$scratch/stopped-$stop" && TMPDIR="$scratch/tmp" exec setsid "$source/scripts/verify-release" "$name.zip") \
        >"$scratch/stopped-$stop.out" 2>&1 &
    checking=$!
    for _ in $(seq 1 300); do grep -q 'rebuilding' "$scratch/stopped-$stop.out" && break; sleep 0.1; done
    kill -"$stop" -"$checking"
    status=0 && wait "$checking" || status=$?
    echo "status $status" >>"$scratch/stopped-$stop.out"
    for _ in $(seq 1 600); do pgrep -f "$scratch/tmp/layercleanup" >/dev/null || break; sleep 0.1; done
done
{ tail -n 2 "$scratch/stopped-INT.out" | tr '\n' ' ' |
    grep -qx 'CANNOT VERIFY: the check was interrupted, so nothing was decided. status 3 ' &&
    grep -qx 'status 137' "$scratch/stopped-KILL.out"; } || fail "a stopped check did not end so: $(cat "$scratch"/stopped-*.out)"
release "$scratch/after-kill" && edit "$scratch/after-kill" format-1.0
verify "$scratch/after-kill" 1 "NOT VERIFIED: $name.buildinfo is not a LayerCleanup buildinfo: format 1.0 is not read (no release was published in it)." --here
grep -q "^verify-release: removed what 1 earlier check killed outright left: $scratch/tmp/layercleanup-verify\." \
    "$scratch/after-kill.out" || fail "the check after a killed one did not remove its leftovers"
# The hostile build's leftovers are named after this check's own listener.
port=$(cat "$scratch/port")
{ pgrep -f "sleep 8765.$port" || pgrep -f "$scratch/tmp/layercleanup" || [ -e "/dev/shm/layercleanup-left-$port" ] ||
    grep "$scratch/tmp" /proc/self/mountinfo || [ -n "$(ls -A "$scratch/tmp")" ]; } &&
    fail "a check left a process, a file or a mount behind"

[ "$findings" -eq 0 ] || exit 1
echo "verify-release: every clean-root row got its verdict, today and years later"
