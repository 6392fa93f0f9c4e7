# Sourced by the scripts: a private Wine session for tests and headless runs.
#   start_display            starts a private Xvfb unless DISPLAY is set and SESSION_FORCE_XVFB is unset
#   start_wineserver PREFIX [unmanaged]
#                            creates PREFIX if needed and keeps one wineserver up for it;
#                            "unmanaged" lets Wine's windows bypass the (absent) window
#                            manager, which otherwise costs two seconds per closed window
#   end_session              stops what the two above started
# Wine's output goes to files throughout: its background processes would
# otherwise inherit a pipe and hold it open.

session_xvfb_pid=""
session_prefix=""

start_display() {
    if [ -n "${DISPLAY:-}" ] && [ -z "${SESSION_FORCE_XVFB:-}" ]; then
        return 0
    fi
    for number in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ] && continue
        Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        session_xvfb_pid=$!
        for _ in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$number" ] && break
            sleep 0.05
        done
        if kill -0 "$session_xvfb_pid" 2>/dev/null; then
            export DISPLAY=":$number"
            return 0
        fi
    done
    echo "cannot start Xvfb" >&2
    return 1
}

start_wineserver() {
    session_prefix=$1
    export WINEPREFIX="$session_prefix"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
    mkdir -p "$WINEPREFIX"
    log="$WINEPREFIX/../wine-session.log"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wine wineboot --init >"$log" 2>&1 </dev/null
        wineserver -w
    fi
    # A server already running for this prefix answers 2 here; it serves as well.
    wineserver -p >>"$log" 2>&1 </dev/null || true
    if [ "${2:-}" = unmanaged ]; then
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$log" 2>&1 </dev/null
    else
        # Warm the prefix: the first process after a server start is the slow one.
        wine cmd /c exit >>"$log" 2>&1 </dev/null || true
    fi
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
