# shellcheck shell=sh
# Sourced by the file checks: each finding is reported as it is made, and the
# check fails at its end if there was any.
findings=0
fail() {
    echo "FAIL: $*"
    findings=$((findings + 1))
}
