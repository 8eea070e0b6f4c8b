#!/usr/bin/env bash
#   release-package.sh SOURCE TOOLCHAIN WORK PACKAGE_CLIENT_ARGUMENTS...
# This tree's zip against a fresh build's from a copy of the sources elsewhere, packed
# in another time zone and umask; then package-client.sh with modules signed by a
# throwaway certificate.
set -euo pipefail
source=$1 toolchain=$(basename "$2") work=$3 cpack=$4 config=$5
shift 3
rm -rf "$work"
mkdir -p "$work/elsewhere/source"
SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
unset QELSETUP_SIGN_CERT QELSETUP_TIMESTAMP_URL
"$cpack" --config "$config" -B "$work/here" >/dev/null
other=$work/elsewhere
tar -C "$source" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$other/source" -xf -
cmake -S "$other/source" -B "$other/b" --toolchain "$other/source/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$other/b" -j 2 --target qelsetup qelsetup_import_libraries >/dev/null
(umask 027 && TZ=QEL-14 "$cpack" --config "$other/b/CPackConfig.cmake" -B "$work/there" >/dev/null)

status=0
fail() { echo "FAIL: $*"; status=1; }
zip=$(cd "$work/here" && echo qelsetup-*.zip)
cmp -s "$work/here/$zip" "$work/there/$zip" || {
    fail "$zip differs between the two builds:"
    for side in here there; do unzip -q "$work/$side/$zip" -d "$work/$side/unpacked"; done
    diff -r "$work/here/unpacked" "$work/there/unpacked"
    diff <(zipinfo -v "$work/here/$zip" | sed 1d) <(zipinfo -v "$work/there/$zip" | sed 1d) | head -20
}
entries=$(zipinfo -T "$work/here/$zip" | awk 'NF == 8 && $7 ~ /^[0-9]+\.[0-9]+$/ {print $7, $8}')
# A zip keeps times to two seconds, rounded up.
when=$(TZ=UTC date -d "@$(((SOURCE_DATE_EPOCH + 1) / 2 * 2))" +%Y%m%d.%H%M%S)
awk -v when="$when" '$1 != when {exit 1}' <<<"$entries" || fail "entries not at the commit's time $when"
cut -d' ' -f2 <<<"$entries" | LC_ALL=C sort -c || fail "entries not in byte order of their names"
if zipinfo -v "$work/here/$zip" | grep -q 'UID/GID'; then fail "entries carry an owner"; fi

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=qelsetup throwaway signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
export QELSETUP_SIGN_PASSWORD=throwaway-$$ QELSETUP_SIGN_CERT=$work/signer.pfx
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$QELSETUP_SIGN_CERT" \
    -passout env:QELSETUP_SIGN_PASSWORD
"$(dirname "$0")/package-client.sh" "$1" "$2" "$work/client" "${@:4}" || fail "package clients"
signed=$(echo "$work"/client/unpacked/qelsetup-*/qelsetup.mexw*)
osslsigncode verify -in "$signed" -CAfile "$work/cert.pem" >"$work/verify" 2>&1 || cat "$work/verify"
{ grep -q 'digest algorithm *: SHA256' "$work/verify" && grep -q '^Succeeded' "$work/verify"; } ||
    fail "the signed module does not verify with a SHA-256 digest"
osslsigncode remove-signature -in "$signed" -out "$work/unsigned" >/dev/null
unzip -p "$work/here/$zip" "*/$(basename "$signed")" | cmp - "$work/unsigned" ||
    fail "without its signature the module is not the unsigned one"
exit $status
