#!/usr/bin/env bash
# Builds qelsetup for both bitnesses through the same presets as the tests and writes
# the release packages dist/qelsetup-<version>-win32.zip and -win64.zip, with their
# checksums in dist/SHA256SUMS. What goes in them is decided by the install rules in
# packaging/; packaging/make-zip.sh packs them, the same bytes for the same commit.
#
#   scripts/package.sh [--sign CERT.pfx] [--timestamp URL]
#
# --sign signs both modules (Authenticode, SHA-256) before they are packed, with the
# certificate and key in CERT.pfx, whose password is read from QELSETUP_SIGN_PASSWORD.
# --timestamp (or QELSETUP_TIMESTAMP_URL) names an RFC 3161 time-stamp server.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: scripts/package.sh [--sign CERT.pfx] [--timestamp URL]" >&2; exit 2; }
unset QELSETUP_SIGN_CERT
while [ $# -gt 0 ]; do
    case "$1" in
        --sign) [ $# -ge 2 ] || usage; QELSETUP_SIGN_CERT=$(realpath "$2"); shift 2 ;;
        --timestamp) [ $# -ge 2 ] || usage; export QELSETUP_TIMESTAMP_URL=$2; shift 2 ;;
        *) usage ;;
    esac
done
if [ -n "${QELSETUP_SIGN_CERT:-}" ]; then
    [ -r "$QELSETUP_SIGN_CERT" ] || { echo "package: cannot read $QELSETUP_SIGN_CERT" >&2; exit 1; }
    if [ -z "${QELSETUP_SIGN_PASSWORD+set}" ]; then
        echo "package: set QELSETUP_SIGN_PASSWORD to the password of $QELSETUP_SIGN_CERT" \
             "(empty when it has none)" >&2
        exit 1
    fi
    export QELSETUP_SIGN_CERT
fi

# Every file in the zips gets the time of the commit they are built from.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) ||
        { echo "package: no git checkout here: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    echo "package: the checkout has uncommitted changes: these packages are not the commit's" >&2
fi

./scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
# A run that fails leaves no packages or checksums that look like its own.
mkdir -p dist
rm -f dist/qelsetup-*.zip dist/SHA256SUMS
made=()
for preset in mingw32 mingw64; do
    echo "==> $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" --target qelsetup qelsetup_import_libraries
    packages="build/$preset/package"
    rm -rf "$packages"
    cpack --config "build/$preset/CPackConfig.cmake" -B "$packages" >/dev/null
    for zip in "$packages"/qelsetup-*.zip; do
        mv "$zip" dist/
        made+=("$(basename "$zip")")
        echo "==> dist/$(basename "$zip")"
    done
done
(cd dist && sha256sum "${made[@]}" >SHA256SUMS)
echo "==> dist/SHA256SUMS"
