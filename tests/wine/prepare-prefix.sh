#!/bin/sh
# Makes a fresh Wine prefix for one test run and keeps its wineserver alive until
# stop-prefix.sh, so the test programs do not each pay Wine's start-up.
#   prepare-prefix.sh PREFIX
set -eu
prefix=$1
# shellcheck source=scripts/wine-env.sh
. "$(dirname "$0")/../../scripts/wine-env.sh"
qel_wine_env "$prefix"

# A run that was cut short may have left its server behind.
if [ -d "$prefix" ]; then qel_wine_stop; fi
rm -rf "$prefix"
mkdir -p "$prefix"
"$wineserver" -p </dev/null >/dev/null 2>&1
wine wineboot -i </dev/null >/dev/null 2>&1
# Windows always has the SharedDLLs key; a fresh prefix does not. 32-bit programs
# see their own view of HKLM\Software, so both views get it.
key='HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs'
wine reg add "$key" /f /reg:64 >/dev/null 2>&1
wine reg add "$key" /f /reg:32 >/dev/null 2>&1
wine reg query "$key" /reg:64 >/dev/null 2>&1
wine reg query "$key" /reg:32 >/dev/null 2>&1
echo "Wine prefix ready: $prefix"
