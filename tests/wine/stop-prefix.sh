#!/bin/sh
# Stops the wineserver of a test run's prefix.
#   stop-prefix.sh PREFIX
export WINEPREFIX="$1"
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
exit 0
