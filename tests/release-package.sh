#!/usr/bin/env bash
# The release package must not carry the time, folders, owner or file order of the
# machine that made it, and a signed module must verify and still serve its clients.
#   release-package.sh SOURCE TOOLCHAIN WORK PACKAGE_CLIENT_ARGUMENTS...
# Packs this build tree and a fresh build of the package alone, from a copy of the
# sources elsewhere, packed in another time zone and umask: the zips must be the same
# bytes, every entry at the commit's time, in byte order and without an owner. Then
# package-client.sh runs the clients against modules signed with a throwaway
# certificate, which must verify against it and come off to the unsigned bytes.
set -euo pipefail
source=$1 toolchain=$(basename "$2") work=$3
shift 3
cpack=$1 config=$2
cmake=$(dirname "$cpack")/cmake
rm -rf "$work"
mkdir -p "$work"
SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
unset QELSETUP_SIGN_CERT QELSETUP_TIMESTAMP_URL

"$cpack" --config "$config" -B "$work/here" >/dev/null
other=$work/elsewhere/source-copy
mkdir -p "$other"
tar -C "$source" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$other" -xf -
"$cmake" -S "$other" -B "$work/elsewhere/b" --toolchain "$other/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
"$cmake" --build "$work/elsewhere/b" -j 2 --target qelsetup qelsetup_import_libraries >/dev/null
(umask 027 && TZ=QEL-14 "$cpack" --config "$work/elsewhere/b/CPackConfig.cmake" \
    -B "$work/there" >/dev/null)

status=0
fail() { echo "FAIL: $*"; status=1; }
zip=$(cd "$work/here" && echo qelsetup-*.zip)
cmp -s "$work/here/$zip" "$work/there/$zip" || {
    fail "$zip differs between the two builds"
    diff <(zipinfo -v "$work/here/$zip") <(zipinfo -v "$work/there/$zip") | head -40
}
entries=$(zipinfo -T "$work/here/$zip" | awk 'NF == 8 && $7 ~ /^[0-9]+\.[0-9]+$/ {print $7, $8}')
echo "$entries"
# A zip keeps times to two seconds, rounded up.
when=$(TZ=UTC date -d "@$(((SOURCE_DATE_EPOCH + 1) / 2 * 2))" +%Y%m%d.%H%M%S)
awk -v when="$when" '$1 != when {bad = 1} END {exit bad}' <<<"$entries" ||
    fail "entries not at the commit's time $when"
cut -d' ' -f2 <<<"$entries" | LC_ALL=C sort -c || fail "entries not in byte order of their names"
if zipinfo -v "$work/here/$zip" | grep -q 'UID/GID'; then fail "entries carry an owner"; fi

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=qelsetup throwaway signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
export QELSETUP_SIGN_PASSWORD=throwaway-$$ QELSETUP_SIGN_CERT=$work/signer.pfx
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$QELSETUP_SIGN_CERT" \
    -passout env:QELSETUP_SIGN_PASSWORD
"$(dirname "$0")/package-client.sh" "$1" "$2" "$work/client" "${@:4}" || fail "package clients"
signed=$(echo "$work"/client/unpacked/qelsetup-*/qelsetup.mexw*)
if osslsigncode verify -in "$signed" -CAfile "$work/cert.pem" >"$work/verify.txt" 2>&1; then
    grep -q 'digest algorithm *: SHA256' "$work/verify.txt" || fail "the signature's digest is not SHA-256"
else
    cat "$work/verify.txt"
    fail "the signed module does not verify"
fi
osslsigncode remove-signature -in "$signed" -out "$work/unsigned" >/dev/null
unzip -p "$work/here/$zip" "*/$(basename "$signed")" | cmp - "$work/unsigned" ||
    fail "without its signature the module is not the unsigned one"
exit $status
