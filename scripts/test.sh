#!/usr/bin/env bash
# Installs what is missing, checks the sources with cppcheck, builds qelsetup for both
# bitnesses and runs every test under Wine, each bitness in a fresh throwaway prefix
# inside its build tree.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
./scripts/cppcheck.sh
. scripts/wine-env.sh

jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in mingw32 mingw64; do
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
exit $status
