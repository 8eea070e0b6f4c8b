#!/usr/bin/env bash
# Builds qelsetup for both bitnesses through the same presets as the tests and writes
# the release packages dist/qelsetup-<version>-win32.zip and -win64.zip. What goes in
# them is decided by the install rules in packaging/; CPack packs them.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p dist
for preset in mingw32 mingw64; do
    echo "==> $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" --target qelsetup qelsetup_import_libraries
    packages="build/$preset/package"
    rm -rf "$packages"
    cpack --config "build/$preset/CPackConfig.cmake" -B "$packages" >/dev/null
    for zip in "$packages"/qelsetup-*.zip; do
        mv "$zip" dist/
        echo "==> dist/$(basename "$zip")"
    done
done
