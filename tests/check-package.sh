#!/bin/sh
# Checks what the release package of a build tree holds, as a player who
# downloads it gets it: exactly the program (unsigned, as built), readme.txt,
# LICENSE.txt and SHA256SUMS, in that order and dated SOURCE_DATE_EPOCH; a
# checksum that verifies the program; a readme and a licence that Notepad
# shows as they are (ASCII, CRLF, at most 80 columns), the readme saying what
# a player needs to know.
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

entries=$("$python" -c '
import sys, time, zipfile
for entry in zipfile.ZipFile(sys.argv[1]).infolist():
    print(entry.filename, time.strftime("%Y-%m-%dT%H:%M:%S", entry.date_time + (0, 0, -1)))
' "$package")
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
    tr -d '\r' <"$file" | sed 's/$/\r/' | cmp -s - "$file" || fail "$text has lines not ended by CRLF"
    long=$(tr -d '\r' <"$file" | awk 'length($0) > 80 { print NR }' | tr '\n' ' ')
    [ -z "$long" ] || fail "$text has lines longer than 80 columns: $long"
done
grep -q '^MIT License' "$scratch/LICENSE.txt" || fail "LICENSE.txt is not the MIT licence"

# What a player needs to read, in the readme's own words (across its line breaks).
words=$(tr -d '\r' <"$scratch/readme.txt" | tr '\n' ' ')
for phrase in "LayerCleanup $version" ViceCity.exe LibertyCity.exe SanAndreas.exe \
    "Change settings for all users" "Start in" "More info" "Run anyway" \
    "certutil -hashfile LayerCleanup.exe SHA256" "Get-FileHash LayerCleanup.exe" \
    "Successfully removed the registry value" "Compatibility tab" "MIT licence" "byte for byte"; do
    printf '%s' "$words" | grep -qF "$phrase" || fail "readme.txt does not say \"$phrase\""
done

[ "$findings" -eq 0 ] || exit 1
echo "ok: $package: $(echo "$entries" | cut -d' ' -f1 | tr '\n' ' ')dated $date"
