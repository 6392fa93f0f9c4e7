#!/bin/sh
# Checks a program file as it is shipped, without running it: a GUI program
# for Windows 6.0 and later in the expected format, hardened (ASLR with a
# relocation table, DEP, terminal-services aware; NO_SEH for PE32, high-entropy
# ASLR for PE32+; no section both writable and executable; a valid checksum),
# with no resources and no link timestamp, within its size budget, and
# importing nothing beyond the system functions that it calls on purpose.
# Reports every finding.
#
#   check-program-file.sh PYTHON OBJDUMP PROGRAM FORMAT   (FORMAT: pei-i386 or pei-x86-64)
set -u
python=$1 objdump=$2 program=$3 format=$4
size_budget=1048576

[ -f "$program" ] || { echo "FAIL: $program does not exist"; exit 1; }
headers=$(TZ=UTC "$objdump" -h -p "$program") || { echo "FAIL: $objdump cannot read $program"; exit 1; }

. "$(dirname "$0")/findings.sh"
expect() { # WHAT ACTUAL EXPECTED
    [ "$2" = "$3" ] || fail "$1 is '$2', expected '$3'"
}
field() { printf '%s\n' "$headers" | awk -v name="$1" '$1 == name { print $2; exit }'; }

expect "the file format" "$(printf '%s\n' "$headers" | sed -n 's/.*file format //p')" "$format"
case $format in
pei-i386)
    expect "the optional header's magic" "$(field Magic)" 010b
    protections="DYNAMIC_BASE NO_SEH NX_COMPAT TERMINAL_SERVICE_AWARE "
    ;;
*)
    expect "the optional header's magic" "$(field Magic)" 020b
    protections="DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT TERMINAL_SERVICE_AWARE "
    ;;
esac
expect "the subsystem" "$(field Subsystem)" 00000002
expect "the subsystem version" "$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)" 6.0
expect "the OS version" "$(field MajorOSystemVersion).$(field MinorOSystemVersion)" 6.0
# A link timestamp would make every build differ.
expect "the link time" "$(printf '%s\n' "$headers" | sed -n 's|^Time/Date[[:space:]]*||p')" "Thu Jan  1 00:00:00 1970"
expect "the resource directory" \
    "$(printf '%s\n' "$headers" | awk '/Resource Directory/ { print ($3 ~ /^0+$/ && $4 ~ /^0+$/) ? "none" : $3 " " $4 }')" none
expect "the number of .rsrc sections" "$(printf '%s\n' "$headers" | awk '$2 == ".rsrc"' | wc -l)" 0

expect "the DLL characteristics" "$(printf '%s\n' "$headers" |
    awk '/^DllCharacteristics/ { on = 1; next } on && /^\t\t/ { print $1; next } on { exit }' | sort | tr '\n' ' ')" \
    "$protections"
# Without relocations a DYNAMIC_BASE program is loaded at its fixed base anyway.
expect "the base relocation directory" \
    "$(printf '%s\n' "$headers" | awk '/Base Relocation Directory/ { print ($4 ~ /^0+$/) ? "empty" : "present"; exit }')" \
    present
# NO_SEH promises that no code registers a frame-based handler, which on
# 32-bit Windows is done through the thread's exception list at %fs:0.
if [ "$format" = pei-i386 ]; then
    expect "the instructions that reach the SEH chain at %fs:0" \
        "$("$objdump" -d "$program" | grep -cE '%fs:0x0([^0-9a-fx]|$)')" 0
fi
# What objdump does not show: the checksum, the sections' exact rights, and
# the imports, read from the import directory itself ("import DLL function",
# the DLL in upper case).
pe_lines=$("$python" - "$program" <<'PYTHON'
import sys
import pefile

pe = pefile.PE(sys.argv[1])
if not pe.verify_checksum():
    print("finding the PE checksum is 0x%08x, expected 0x%08x" % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
WRITE, EXECUTE = 0x80000000, 0x20000000
for section in pe.sections:
    if section.Characteristics & WRITE and section.Characteristics & EXECUTE:
        print("finding section %s is both writable and executable" % section.Name.rstrip(b"\0").decode())
for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
    for function in dll.imports:
        name = function.name.decode() if function.name else "#%d" % function.ordinal
        print("import %s %s" % (dll.dll.decode().upper(), name))
PYTHON
) || { echo "FAIL: pefile cannot read $program"; exit 1; }
while IFS= read -r finding; do
    [ -z "$finding" ] || fail "$finding"
done <<FINDINGS
$(printf '%s\n' "$pe_lines" | sed -n 's/^finding //p')
FINDINGS
imports=$(printf '%s\n' "$pe_lines" | sed -n 's/^import //p')

size=$(wc -c <"$program")
[ "$size" -le "$size_budget" ] || expect "the size (bytes, at most $size_budget)" "$size" "$size_budget or less"

functions() { printf '%s\n' "$imports" | awk -v dll="$1" '$1 == dll { print $2 }' | sort | tr '\n' ' '; }
expect "the DLLs imported" "$(printf '%s\n' "$imports" | cut -d' ' -f1 | sort -u | tr '\n' ' ')" \
    "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL "
expect "the ADVAPI32 imports" "$(functions ADVAPI32.DLL)" "RegCloseKey RegCreateKeyExW RegDeleteValueW RegGetValueW "
expect "the USER32 imports" "$(functions USER32.DLL)" "MessageBoxA "

[ "$findings" -eq 0 ] || exit 1
echo "ok: $program: $format, GUI, Windows 6.0, ${protections}relocations, valid checksum, no W+X section," \
    "no resources, no link time, $size bytes;" \
    "ADVAPI32: $(functions ADVAPI32.DLL)USER32: $(functions USER32.DLL)"
