#!/bin/sh
# Makes a fresh Wine prefix for one test run and keeps its wineserver alive until
# stop-prefix.sh, so the test programs do not each pay Wine's start-up.
#   prepare-prefix.sh PREFIX
# A step that fails names its command and shows the last lines it printed.
set -eu
prefix=$1
# shellcheck source=scripts/wine-env.sh
. "$(dirname "$0")/../../scripts/wine-env.sh"
qel_wine_env "$prefix"

# A run that was cut short may have left its server behind.
if [ -d "$prefix" ]; then qel_wine_stop; fi
rm -rf "$prefix"
mkdir -p "$prefix"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

step() {
    code=0
    "$@" </dev/null >"$log" 2>&1 || code=$?
    [ "$code" -eq 0 ] && return 0
    echo "prepare-prefix: '$*' failed (exit $code) in $prefix; its last output:" >&2
    tail -n 20 "$log" | sed 's/^/    /' >&2
    exit 1
}

step "$wineserver" -p
step "$wine" wineboot -i
# Windows always has the SharedDLLs key; a fresh prefix does not. 32-bit programs
# see their own view of HKLM\Software, so both views get it.
key='HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs'
step "$wine" reg add "$key" /f /reg:64
step "$wine" reg add "$key" /f /reg:32
step "$wine" reg query "$key" /reg:64
step "$wine" reg query "$key" /reg:32
echo "Wine prefix ready: $prefix"
