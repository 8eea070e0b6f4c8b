#!/usr/bin/env bash
# Packs a staged release into its zip, the same bytes for the same commit:
#   make-zip.sh STAGE NAME SOURCE_DIR ZIP
# STAGE holds what the install rules put in the package; the zip has it under NAME/.
# Every entry gets the time SOURCE_DATE_EPOCH (when unset, the time of SOURCE_DIR's
# last commit), fixed modes and no owner, in byte order of the names.
# With QELSETUP_SIGN_CERT (a PKCS#12 file; its password in QELSETUP_SIGN_PASSWORD)
# the modules are signed first, with a time stamp from QELSETUP_TIMESTAMP_URL if set.
set -euo pipefail
stage=$1 name=$2 source=$3 zip=$4

epoch=${SOURCE_DATE_EPOCH:-}
if [ -z "$epoch" ] && ! epoch=$(git -C "$source" log -1 --format=%ct 2>/dev/null); then
    echo "make-zip.sh: $source is no git checkout: set SOURCE_DATE_EPOCH to the release's time" >&2
    exit 1
fi

top=$(dirname "$stage")/zip/$name
rm -rf "$(dirname "$top")"
mkdir -p "$(dirname "$top")"
cp -R "$stage" "$top"

if [ -n "${QELSETUP_SIGN_CERT:-}" ]; then
    options=(-pkcs12 "$QELSETUP_SIGN_CERT" -h sha256 -n qelsetup)
    # Through a pipe from a builtin the password is on no command line. osslsigncode
    # refuses to read an empty one, and before 2.9 knew no "-" for its input.
    [ -n "${QELSETUP_SIGN_PASSWORD:-}" ] && options+=(-readpass /dev/stdin)
    [ -n "${QELSETUP_TIMESTAMP_URL:-}" ] && options+=(-ts "$QELSETUP_TIMESTAMP_URL")
    for module in "$top"/qelsetup.mexw*; do
        printf '%s' "${QELSETUP_SIGN_PASSWORD:-}" |
            osslsigncode sign "${options[@]}" -in "$module" -out "$module.signed" >/dev/null ||
            { echo "make-zip.sh: osslsigncode could not sign $module" >&2; exit 1; }
        mv "$module.signed" "$module"
    done
fi

find "$top" -exec touch -h -d "@$epoch" {} +
chmod -R u=rwX,go=rX "$top"
rm -f "$zip"
# zip writes local time: in UTC every machine writes the same.
(cd "$(dirname "$top")" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -q -@ "$zip")
