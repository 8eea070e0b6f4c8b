#!/usr/bin/env bash
# Installs what is missing, checks the sources with cppcheck, builds qelsetup for both
# bitnesses and runs every test under Wine, each bitness in a fresh throwaway prefix
# inside its build tree.
#
# QELSETUP_SKIP_32BIT=1 leaves the 32-bit build and its tests out, for a machine that
# can neither run nor emulate 32-bit x86 programs; the last line of the run says so.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=(mingw32 mingw64)
if [ "${QELSETUP_SKIP_32BIT:-}" = 1 ]; then
    presets=(mingw64)
    ./scripts/setup.sh
else
    ./scripts/setup.sh --need-32bit
fi
./scripts/cppcheck.sh
. scripts/wine-env.sh

jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in "${presets[@]}"; do
    echo "==> $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "==> $preset: tests under Wine"
    # The prefix's wineserver is stopped by the tests' own cleanup step; this trap
    # catches an interrupted run, and the stop after ctest a failed fixture.
    qel_wine_env "$PWD/build/$preset/wineprefix"
    trap qel_wine_stop EXIT
    ctest --preset "$preset" || status=1
    qel_wine_stop
    trap - EXIT
done
if [ ${#presets[@]} -eq 1 ]; then
    echo "QELSETUP_SKIP_32BIT=1: the 32-bit build and its tests were left out; only the 64-bit suite ran."
fi
exit $status
