# shellcheck shell=sh
# Sourced by the scripts: Wine's loaders, its environment, and a private Wine
# session for tests and headless runs.
#   wine_environment PREFIX  exports what every Wine process here runs with
#   start_display            starts a private Xvfb on a display it picks itself and exports
#                            DISPLAY once the server answers, unless DISPLAY is set and
#                            SESSION_FORCE_XVFB is unset
#   start_wineserver PREFIX [unmanaged]
#                            creates PREFIX if needed and keeps one wineserver up for it;
#                            "unmanaged" sets PREFIX up for tests (claim_test_prefix first):
#                            Wine's windows bypass the (absent) window manager, which
#                            otherwise costs two seconds per closed window, and a crashing
#                            program ends at once instead of waiting on a crash dialog
#   claim_test_prefix PREFIX makes PREFIX for the tests, its account marked as disposable;
#                            refuses (status 1) a folder that holds anything not made so
#   end_session              stops what the two above started
# Wine's output goes to files throughout: its background processes would
# otherwise inherit a pipe and hold it open.

# Once the 32-bit Wine is installed, Debian's `wine` launcher starts every
# program through it, 64-bit ones too; where 32-bit programs run emulated that
# costs many seconds each. 64-bit programs and Wine's tools are therefore
# always started through the 64-bit loader, and only 32-bit programs through
# the 32-bit one.
wine64=/usr/lib/wine/wine64
# shellcheck disable=SC2034 # used by the scripts that source this file
wine32=/usr/lib/wine/wine

session_xvfb_pid=""
session_prefix=""

wine_environment() {
    export WINEPREFIX="$1"
    export WINEDEBUG="${WINEDEBUG:--all}"
    # A prefix made for the first time must not stop to offer to install .NET or Gecko.
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
    # Where the 32-bit Wine runs under qemu-i386 (see scripts/bootstrap), the
    # emulator must hold the guest's address space from the start, or Wine
    # cannot map its shared user data at 0x7ffe0000. Wine reserves whatever lies
    # above its 2 GiB user space page by page, which under emulation costs about
    # 0.7 s per 16 MiB: 16 MiB beyond 2 GiB keeps a 32-bit start to a few seconds
    # (the whole 4 GiB takes almost a minute). Ignored where nothing is emulated.
    export QEMU_RESERVED_VA="${QEMU_RESERVED_VA:-0x81000000}"
    # Wine writes Unix file names in the locale's character set; without a
    # UTF-8 one (no locale at all, say, as on a bare CI machine) a Windows
    # name that is not ASCII cannot be created.
    case "${LC_ALL:-${LC_CTYPE:-${LANG:-}}}" in
    *[Uu][Tt][Ff]-8* | *[Uu][Tt][Ff]8*) ;;
    *) export LC_ALL=C.UTF-8 ;;
    esac
}

start_display() {
    if [ -n "${DISPLAY:-}" ] && [ -z "${SESSION_FORCE_XVFB:-}" ]; then
        return 0
    fi
    # Xvfb picks a free display number itself and writes it, a line, to
    # descriptor 3 once it accepts connections: two sessions never collide.
    numbers=$(mktemp "${TMPDIR:-/tmp}/layercleanup-display.XXXXXX") || return 1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numbers" >/dev/null 2>&1 &
    session_xvfb_pid=$!
    for _ in $(seq 1 400); do
        [ "$(wc -l <"$numbers")" -ge 1 ] && break
        kill -0 "$session_xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    number=$(head -n 1 "$numbers")
    rm -f "$numbers"
    if [ -z "$number" ] || ! xdpyinfo -display ":$number" >/dev/null 2>&1; then
        echo "Xvfb did not come up and answer within 20 seconds (display '${number}')" >&2
        end_session
        return 1
    fi
    export DISPLAY=":$number"
}

start_wineserver() {
    session_prefix=$1
    if [ "${2:-}" = unmanaged ] && ! claim_test_prefix "$session_prefix"; then
        echo "Refusing to set $session_prefix up for the tests: the suite did not make that folder." >&2
        echo "Leave LAYERCLEANUP_WINEPREFIX unset (build/wineprefix), or name a folder that does not exist yet." >&2
        return 1
    fi
    wine_environment "$session_prefix"
    mkdir -p "$WINEPREFIX"
    log="$WINEPREFIX/../wine-session.log"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$wine64" wineboot --init >"$log" 2>&1 </dev/null
        wineserver -w
    fi
    # A server already running for this prefix answers 2 here; it serves as well.
    wineserver -p >>"$log" 2>&1 </dev/null || true
    if [ "${2:-}" = unmanaged ]; then
        "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$log" 2>&1 </dev/null
        "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$log" 2>&1 </dev/null
    else
        # Warm the prefix: the first process after a server start is the slow one.
        "$wine64" cmd /c exit >>"$log" 2>&1 </dev/null || true
    fi
}

# A prefix is the tests' own only when this makes it: the folder is stamped as
# the suite's before Wine fills it, and the account in it is marked as
# disposable once it exists, which lets the cases run that delete or lock the
# Layers key. Any other folder with something in it (a contributor's ~/.wine,
# say) is left as it is and refused (status 1).
claim_test_prefix() { # PREFIX
    if [ ! -f "$1/.layercleanup-tests-own" ]; then
        [ -d "$1" ] && [ -n "$(ls -A "$1")" ] && return 1
        mkdir -p "$1" && touch "$1/.layercleanup-tests-own" || return 1
    fi
    [ -f "$1/.layercleanup-tests-marked" ] && return 0
    (
        wine_environment "$1"
        "$wine64" reg add 'HKCU\Software\LayerCleanupTests' /v DisposableAccount /t REG_DWORD /d 1 /f \
            >>"$1/../wine-session.log" 2>&1 </dev/null
    ) && touch "$1/.layercleanup-tests-marked"
}

end_session() {
    if [ -n "$session_prefix" ]; then
        WINEPREFIX="$session_prefix" wineserver -k >/dev/null 2>&1 || true
        session_prefix=""
    fi
    if [ -n "$session_xvfb_pid" ]; then
        kill "$session_xvfb_pid" 2>/dev/null || true
        wait "$session_xvfb_pid" 2>/dev/null || true
        session_xvfb_pid=""
    fi
}
