# shellcheck shell=sh
# The Wine environment the scripts and the test runs share. Sourced, never run:
#
#   . scripts/wine-env.sh
#   qel_wine_env PREFIX    exports WINEPREFIX=PREFIX and the settings below, and sets
#                          $wineserver to the wineserver program
#   qel_wine_stop          stops the prefix's wineserver and waits until it is gone
#
# Always a throwaway prefix of the caller's, never ~/.wine; no Wine debug output; and
# no Mono or Gecko installers offered while a prefix boots.

qel_wine_env() {
    export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # Debian puts wineserver on PATH only through its alternatives; libwine itself
    # keeps it beside Wine's other programs.
    wineserver=$(command -v wineserver || true)
    if [ -z "$wineserver" ]; then
        wineserver=$(dpkg -L "libwine:$(dpkg --print-architecture 2>/dev/null)" 2>/dev/null |
                     grep '/wineserver$' | head -n 1 || true)
    fi
    [ -n "$wineserver" ] || wineserver=wineserver
}

qel_wine_stop() {
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
}
