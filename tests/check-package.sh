#!/bin/sh
# Checks what the release package of a build tree holds, as a player who
# downloads it gets it: exactly the program (unsigned, as built), readme.txt,
# LICENSE.txt and SHA256SUMS, in that order and dated SOURCE_DATE_EPOCH; a
# checksum that verifies the program; a readme and a licence that Notepad
# shows as they are (ASCII, CRLF, at most 80 columns), the readme saying what
# a player needs to know and giving no address. Then the two files published
# beside it: the source ZIP (the sources under one folder, dated alike, no git
# or build output) and the buildinfo (checksums of what was made, this
# machine's toolchain versions, nothing of the machine or the person). And
# that the ZIPs' bytes depend on their contents alone, not on the Python.
#
#   check-package.sh PYTHON BUILD_DIR PACKAGE_NAME VERSION SOURCE_DATE_EPOCH
set -u
python=$1 build=$2 name=$3 version=$4 epoch=$5
package="$build/$name.zip"
[ -f "$package" ] || { echo "FAIL: $package was not made"; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/layercleanup-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
(cd "$scratch" && cmake -E tar xf "$package") || { echo "FAIL: cannot unpack $package"; exit 1; }

. "$(dirname "$0")/findings.sh"

list() { # ZIP: each entry's name, date and mode
    "$python" -c '
import sys, time, zipfile
for entry in zipfile.ZipFile(sys.argv[1]).infolist():
    print(entry.filename, time.strftime("%Y-%m-%dT%H:%M:%S", entry.date_time + (0, 0, -1)), oct(entry.external_attr >> 16))
' "$1"
}
entries=$(list "$package" | cut -d' ' -f1,2)
date=$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%S)
expected="LayerCleanup.exe $date
readme.txt $date
LICENSE.txt $date
SHA256SUMS $date"
[ "$entries" = "$expected" ] || fail "the package holds, in this order and with these times:
$entries
instead of:
$expected"

cmp -s "$scratch/LayerCleanup.exe" "$build/LayerCleanup.exe" || fail "the packaged program is not the one built"
(cd "$scratch" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not verify the program"

# Text as Notepad shows it: printable ASCII only, every line ended by CRLF.
for text in readme.txt LICENSE.txt; do
    file="$scratch/$text"
    [ -s "$file" ] || { fail "$text is missing or empty"; continue; }
    LC_ALL=C grep -q '[^ -~'"$(printf '\r')"']' "$file" && fail "$text holds characters other than printable ASCII"
    # The text rewritten with CRLF after every line is the text itself.
    # shellcheck disable=SC2094 # both ends only read it
    tr -d '\r' <"$file" | sed 's/$/\r/' | cmp -s - "$file" || fail "$text has lines not ended by CRLF"
    long=$(tr -d '\r' <"$file" | awk 'length($0) > 80 { print NR }' | tr '\n' ' ')
    [ -z "$long" ] || fail "$text has lines longer than 80 columns: $long"
done
grep -q '^MIT License' "$scratch/LICENSE.txt" || fail "LICENSE.txt is not the MIT licence"

# What a player needs to read, in the readme's own words (across its line breaks).
words=$(tr -d '\r' <"$scratch/readme.txt" | tr '\n' ' ')
for phrase in "LayerCleanup $version" ViceCity.exe LibertyCity.exe SanAndreas.exe \
    "Change settings for all users" "Start in" "Digital Signatures tab" "names the publisher" \
    "certutil -hashfile LayerCleanup.exe SHA256" "Get-FileHash LayerCleanup.exe" "other than the ZIP" \
    "Never click \"Run anyway\" just because the checksum matches SHA256SUMS" \
    "Successfully removed the registry value" "Compatibility tab" "MIT licence" \
    "LayerCleanup-$version-source.zip" "verify-release $name.zip" "did not take from these files" \
    "tag v$version" "byte for byte"; do
    printf '%s' "$words" | grep -qF "$phrase" || fail "readme.txt does not say \"$phrase\""
done
grep -q '://' "$scratch/readme.txt" && fail "readme.txt gives an address, though none was configured"

source_zip="$build/LayerCleanup-$version-source.zip" buildinfo="$build/$name.buildinfo"
sources=$(list "$source_zip") || fail "the source ZIP $source_zip cannot be read"
stray=$(printf '%s\n' "$sources" | grep -v "^LayerCleanup-$version/[^ ]* $date 0o100\(644\|755\)\$")
[ -z "$stray" ] || fail "source ZIP entries not under the top folder, dated $date, mode 644 or 755: $stray"
[ "$(printf '%s\n' "$sources" | cut -d' ' -f1)" = "$(printf '%s\n' "$sources" | cut -d' ' -f1 | LC_ALL=C sort)" ] ||
    fail "the source ZIP's entries are not in sorted order"
for present in "CMakeLists.txt $date 0o100644" "cleanup/RunCleanup.cpp" "scripts/verify-release $date 0o100755"; do
    printf '%s\n' "$sources" | grep -qF "LayerCleanup-$version/$present" || fail "the source ZIP lacks $present"
done
printf '%s\n' "$sources" | grep -q '/\.git/\|/build/' && fail "the source ZIP holds git or build output"

# The buildinfo: what was made, and this machine's versions of the toolchain.
sum() { sha256sum <"$1" | cut -d' ' -f1; }
for line in "Version: $version" "Source-Date-Epoch: $epoch" "Source-Archive-SHA256: $(sum "$source_zip")" \
    "Program-Unsigned-SHA256: $(sum "$build/LayerCleanup.exe")" "Program-Packaged-SHA256: $(sum "$scratch/LayerCleanup.exe")" \
    "Package-SHA256: $(sum "$package")" "Build-Release: $(. /etc/os-release && echo "$VERSION_CODENAME")"; do
    grep -qxF "$line" "$buildinfo" || fail "the buildinfo does not say \"$line\""
done
for package_name in g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix-runtime binutils-mingw-w64-i686 \
    mingw-w64-i686-dev mingw-w64-common cmake ninja-build; do
    line=" $package_name (= $(dpkg-query -W -f '${Version}' "$package_name"))"
    grep -qF "$line" "$buildinfo" || fail "the buildinfo does not record \"$line\""
done
for index in /var/lib/apt/lists/*_InRelease; do # the date of each of Debian's signed indices apt has
    archive=$(sed -n 's/^Label: Debian-Security$/debian-security/p; s/^Label: Debian$/debian/p' "$index")
    [ -n "$archive" ] || continue
    line=" $archive $(sed -n 's/^Codename: //p' "$index") $(date -u -d "$(sed -n 's/^Date: //p' "$index")" +%Y%m%dT%H%M%SZ)"
    grep -q "^$line,\?\$" "$buildinfo" || fail "the buildinfo does not record the archive's state \"$line\""
done
grep -e / -e "$(id -un)" -e "$(hostname)" "$buildinfo" && fail "the buildinfo holds a path or a user or host name"

# ZIPs whose bytes no interpreter or zlib decides: these inputs, packaged by
# any Python (Debian 12's, 13's), give exactly these ZIPs.
fixed="$scratch/fixed"
mkdir -p "$fixed/source" "$fixed/out"
printf 'MZ fixed program\n' >"$fixed/prog.exe" && printf 'readme\r\n' >"$fixed/readme.txt"
printf 'licence\r\n' >"$fixed/LICENSE.txt" && printf 'int main(){}\n' >"$fixed/source/main.cpp"
"$python" "$(dirname "$0")/../release/package.py" --program "$fixed/prog.exe" --readme "$fixed/readme.txt" \
    --license "$fixed/LICENSE.txt" --name LayerCleanup --version 1.0.0 --platform win32 --source-dir "$fixed/source" \
    --output-dir "$fixed/out" --epoch 1700000000 --allow-unavailable >"$fixed/package.log" 2>&1 ||
    fail "the fixed inputs could not be packaged: $(cat "$fixed/package.log")"
made=$(cd "$fixed/out" && sha256sum LayerCleanup-1.0.0-win32.zip LayerCleanup-1.0.0-source.zip)
[ "$made" = "aee36fbdb39a8feaeb9a421efa8c7c5980307b30ebc083f28cd2d8214e8b4309  LayerCleanup-1.0.0-win32.zip
bace310c089cd45de585e8b810de58a397dff38fe92923c679d347c8f53fdd19  LayerCleanup-1.0.0-source.zip" ] ||
    fail "the fixed inputs packaged by $("$python" --version) give other ZIPs: $made"

[ "$findings" -eq 0 ] || exit 1
echo "ok: $package: $(echo "$entries" | cut -d' ' -f1 | tr '\n' ' ')dated $date"
