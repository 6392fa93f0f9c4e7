#!/bin/sh
# Checks a program file as it is shipped, without running it: a GUI program
# for Windows 6.0 and later in the expected format, with no resources and no
# link timestamp, within its size budget, and importing nothing beyond the
# system functions that it calls on purpose. Reports every finding.
#
#   check-program-file.sh OBJDUMP PROGRAM FORMAT      (FORMAT: pei-i386 or pei-x86-64)
set -u
objdump=$1 program=$2 format=$3
size_budget=1048576

[ -f "$program" ] || { echo "FAIL: $program does not exist"; exit 1; }
headers=$(TZ=UTC "$objdump" -h -p "$program") || { echo "FAIL: $objdump cannot read $program"; exit 1; }

findings=0
expect() { # WHAT ACTUAL EXPECTED
    [ "$2" = "$3" ] && return 0
    echo "FAIL: $1 is '$2', expected '$3'"
    findings=$((findings + 1))
}
field() { printf '%s\n' "$headers" | awk -v name="$1" '$1 == name { print $2; exit }'; }

expect "the file format" "$(printf '%s\n' "$headers" | sed -n 's/.*file format //p')" "$format"
case $format in
pei-i386) expect "the optional header's magic" "$(field Magic)" 010b ;;
*) expect "the optional header's magic" "$(field Magic)" 020b ;;
esac
expect "the subsystem" "$(field Subsystem)" 00000002
expect "the subsystem version" "$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)" 6.0
expect "the OS version" "$(field MajorOSystemVersion).$(field MinorOSystemVersion)" 6.0
# A link timestamp would make every build differ.
expect "the link time" "$(printf '%s\n' "$headers" | sed -n 's|^Time/Date[[:space:]]*||p')" "Thu Jan  1 00:00:00 1970"
expect "the resource directory" \
    "$(printf '%s\n' "$headers" | awk '/Resource Directory/ { print ($3 ~ /^0+$/ && $4 ~ /^0+$/) ? "none" : $3 " " $4 }')" none
expect "the number of .rsrc sections" "$(printf '%s\n' "$headers" | awk '$2 == ".rsrc"' | wc -l)" 0

size=$(wc -c <"$program")
[ "$size" -le "$size_budget" ] || expect "the size (bytes, at most $size_budget)" "$size" "$size_budget or less"

# "DLL function" for every import, the DLL in upper case.
imports=$(printf '%s\n' "$headers" | awk '
    /^PE File Base Relocations/ { exit }
    /DLL Name:/ { dll = toupper($3); next }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll, $3 }')
functions() { printf '%s\n' "$imports" | awk -v dll="$1" '$1 == dll { print $2 }' | sort | tr '\n' ' '; }
expect "the DLLs imported" "$(printf '%s\n' "$imports" | cut -d' ' -f1 | sort -u | tr '\n' ' ')" \
    "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL "
expect "the ADVAPI32 imports" "$(functions ADVAPI32.DLL)" "RegCloseKey RegCreateKeyExW RegDeleteValueW RegGetValueW "
expect "the USER32 imports" "$(functions USER32.DLL)" "MessageBoxA "

[ "$findings" -eq 0 ] || exit 1
echo "ok: $program: $format, GUI, Windows 6.0, no resources, no link time, $size bytes;" \
    "ADVAPI32: $(functions ADVAPI32.DLL)USER32: $(functions USER32.DLL)"
