#!/bin/sh
# The test kit on a player's account: a Wine prefix that the suite did not make
# and never marks, filled the way a real player's would be (compatibility
# entries of other programs and of the three games in other folders, a value
# that is not a string, other keys), the kit unpacked there and run with its
# one command. Every case safe on such an account must pass, the two that
# change the Layers key itself must be skipped saying why, and the whole of
# HKEY_CURRENT_USER must be as it was, also after a run killed in the middle
# of an end-to-end case and run again.
#
#   check-test-kit.sh KIT_ZIP KIT_NAME
set -u
zip=$1 name=$2
. "$(dirname "$0")/../scripts/wine-session.sh"
. "$(dirname "$0")/findings.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/layercleanup-kit.XXXXXX") || exit 1
trap 'end_session; rm -rf "$work"' EXIT INT TERM
log=$work/wine.log
start_display || exit 1
start_wineserver "$work/player" >"$log" 2>&1 || { cat "$log"; echo "FAIL: cannot make a Wine prefix"; exit 1; }
wine() { "$wine64" "$@" >>"$log" 2>&1 </dev/null; }
layers='HKCU\Software\Microsoft\Windows NT\CurrentVersion\AppCompatFlags\Layers'

# The player's own settings. Wine's windows bypass the (absent) window
# manager and a crash shows no dialog, as in the suite's prefix.
for setting in \
    "$layers|C:\\Program Files\\Other Game\\Game.exe|REG_SZ|~ WINXPSP3" \
    "$layers|C:\\Program Files\\Rockstar Games\\Vice City\\ViceCity.exe|REG_SZ|~ RUNASADMIN WINXPSP3" \
    "$layers|D:\\Games\\San Andreas\\SanAndreas.exe|REG_SZ|~ HIGHDPIAWARE" \
    "$layers|C:\\Games\\LibertyCity.exe|REG_DWORD|1" \
    "$layers|D:\\LayerCleanupTests-1-0000000000000000\\ViceCity.exe|REG_SZ|~ WIN7RTM" \
    'HKCU\Software\A Game Studio\Settings|Volume|REG_DWORD|80' \
    'HKCU\Software\A Game Studio\Settings|Saves|REG_EXPAND_SZ|%USERPROFILE%\Saves' \
    'HKCU\Software\A Game Studio\Settings|Key|REG_BINARY|00ff10' \
    'HKCU\Software\Wine\X11 Driver|Managed|REG_SZ|N' \
    'HKCU\Software\Wine\WineDbg|ShowCrashDialog|REG_DWORD|0'; do
    IFS='|' read -r key value type data <<SETTING
$setting
SETTING
    wine reg add "$key" /v "$value" /t "$type" /d "$data" /f || { cat "$log"; echo "FAIL: cannot set $key $value"; exit 1; }
done
python3 -m zipfile -e "$zip" "$work/player/drive_c/Kit Folder" || { echo "FAIL: cannot unpack $zip"; exit 1; }
kit="C:\\Kit Folder\\$name"
temp=$("$wine64" winepath -u "$("$wine64" cmd /c 'echo %TEMP%' 2>/dev/null </dev/null | tr -d '\r')" 2>/dev/null)
[ -d "$temp" ] || { echo "FAIL: cannot find the account's temporary folder ($temp)"; exit 1; }

export_user() { # FILE
    wine reg export HKCU "$("$wine64" winepath -w "$1")" /y || { cat "$log"; echo "FAIL: cannot export HKCU"; exit 1; }
}
run_kit() { # OUTPUT
    "$wine64" cmd /c "$kit\\RunTests.cmd" >"$1" 2>&1 </dev/null
}
unchanged() { # WHEN
    export_user "$work/after.reg"
    if ! cmp -s "$work/before.reg" "$work/after.reg"; then
        iconv -f UTF-16 -t UTF-8 "$work/after.reg" >"$work/after.txt"
        fail "HKCU changed $1:$(echo; diff "$work/before.txt" "$work/after.txt" | head -n 20)"
    fi
    left=$(find "$temp" -maxdepth 1 -name 'LayerCleanupTests-*')
    [ -z "$left" ] || fail "the temporary folder holds, $1: $left"
}
# Every case passes but the two that would delete or lock the Layers key,
# which are skipped, saying why; the report says the same.
passed() { # OUTPUT
    status=$1
    grep -q '^LayerCleanupTests: [1-9][0-9]* passed, 0 failed, 2 skipped\.' "$2" || {
        cat "$2"
        fail "the kit's run did not pass with exactly two skipped (status $status)"
    }
    for case in ThisBuild.AnAbsentKeyIsCreatedAndNothingShown ThisBuild.ALockedKeyIsReportedAndNothingRemoved; do
        grep -q "^  skipped: $case: .*runs only on a disposable account" "$2" || fail "$case was not skipped as disposable-only"
    done
    python3 - "$work/player/drive_c/Kit Folder/$name/LayerCleanupTests.xml" <<'PYTHON' || fail "the XML report does not agree"
import sys
import xml.etree.ElementTree as tree

suites = tree.parse(sys.argv[1]).getroot()
cases = suites.findall("./testsuite/testcase")
skipped = sorted(c.get("classname") + "." + c.get("name") for c in cases if c.find("skipped") is not None)
assert suites.get("failures") == "0" and suites.get("errors") == "0", suites.attrib
assert skipped == ["ThisBuild.ALockedKeyIsReportedAndNothingRemoved",
                   "ThisBuild.AnAbsentKeyIsCreatedAndNothingShown"], skipped
assert len(cases) > 40, len(cases)
PYTHON
}

wine cmd /c exit
export_user "$work/before.reg"
iconv -f UTF-16 -t UTF-8 "$work/before.reg" >"$work/before.txt"
grep -q 'Rockstar Games' "$work/before.txt" || fail "the player's entries are not in the export"

status=0
run_kit "$work/first.txt" || status=$?
passed "$status" "$work/first.txt"
unchanged "after a run"

# Killed in the middle of an end-to-end case: stopped once a case that starts
# the program has begun and its entries are in the Layers key, then killed.
run_kit "$work/killed.txt" &
runner=$!
killed=""
seen=0
for _ in $(seq 1 1200); do
    started=$(grep -c '^\[ RUN      \] ThisBuild\.' "$work/killed.txt" 2>/dev/null)
    if [ "${started:-0}" -gt "$seen" ]; then
        seen=$started
        pid=$(pgrep -f 'LayerCleanupTests\.exe' | head -n 1)
        [ -n "$pid" ] || break
        kill -STOP "$pid"
        if "$wine64" reg query "$layers" 2>/dev/null | grep -q 'LayerCleanupTests-[0-9]*-[0-9a-f]*[\]'; then
            kill -KILL "$pid"
            killed=yes
            break
        fi
        kill -CONT "$pid"
    fi
    kill -0 "$runner" 2>/dev/null || break
    sleep 0.05
done
wait "$runner"
[ -n "$killed" ] || fail "no end-to-end case was caught with its entries in the Layers key"
export_user "$work/after.reg"
cmp -s "$work/before.reg" "$work/after.reg" && fail "the killed run left nothing behind, so its leftovers were not tested"

status=0
run_kit "$work/again.txt" || status=$?
grep -q '^LayerCleanupTests: removed what earlier runs that ended early left: [1-9][0-9]* compatibility entries, 1 scratch keys, 1 folders' \
    "$work/again.txt" || fail "the run after the killed one did not say it removed its leftovers"
passed "$status" "$work/again.txt"
unchanged "after a killed run and another"

[ "$findings" -eq 0 ] || exit 1
echo "ok: the kit passed on a player's account (skipping the two disposable-only cases), HKCU as it was after" \
    "a run and after a killed run and another"
