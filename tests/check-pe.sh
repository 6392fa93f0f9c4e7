#!/bin/sh
# Checks a built LayerCleanup.exe without running it: its PE format, the GUI
# subsystem, Windows 6.0 as the oldest system, no resources, and imports from
# the system's own DLLs only.
#
#   check-pe.sh OBJDUMP EXE PE32|PE32+
set -u
objdump=$1 exe=$2 magic=$3
failures=0

fail() {
    echo "FAIL: $exe: $*"
    failures=$((failures + 1))
}

[ -f "$exe" ] || { echo "FAIL: $exe does not exist (build it first)"; exit 1; }
headers=$("$objdump" -p "$exe") || { echo "FAIL: $objdump cannot read $exe"; exit 1; }
sections=$("$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $2 }')

expect_field() { # name value
    actual=$(printf '%s\n' "$headers" | awk -v name="$1" '$1 == name { print $2; exit }')
    [ "$actual" = "$2" ] || fail "$1 is '$actual', expected '$2'"
}

printf '%s\n' "$headers" | grep -Eq "^Magic[[:space:]]+[0-9a-f]+[[:space:]]+\\($(printf '%s' "$magic" | sed 's/+/\\+/')\\)\$" ||
    fail "not $magic"
expect_field Subsystem 00000002
expect_field MajorSubsystemVersion 6
expect_field MinorSubsystemVersion 0
expect_field MajorOSystemVersion 6
expect_field MinorOSystemVersion 0

printf '%s\n' "$sections" | grep -qx '.rsrc' && fail "has a resource section"

dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print toupper($3) }' | sort -u)
[ -n "$dlls" ] || fail "imports nothing (cannot read its import table)"
for dll in $dlls; do
    case "$dll" in
    KERNEL32.DLL | USER32.DLL | ADVAPI32.DLL | MSVCRT.DLL) ;;
    *) fail "imports $dll" ;;
    esac
done

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "$exe: $magic, GUI subsystem 6.0, OS 6.0, no resources, imports:" $dlls
