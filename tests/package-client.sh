#!/bin/sh
# The release package as a customer gets it: packs it with CPack, unpacks the zip,
# builds a C program from the package's headers and each of its two import libraries
# (nothing of the source tree), and runs both beside the module alone under Wine.
#   package-client.sh CPACK CPACK_CONFIG WORK C_COMPILER OBJDUMP WINE_RUN CLIENT_SOURCE SERVER
set -eu
cpack=$1 config=$2 work=$3 cc=$4 objdump=$5 winerun=$6 source=$7 server=$8

rm -rf "$work"
mkdir -p "$work/unpacked" "$work/run"
"$cpack" --config "$config" -B "$work/cpack" >/dev/null
set -- "$work"/cpack/qelsetup-*.zip
[ -f "$1" ] || { echo "no package made in $work/cpack"; exit 1; }
zip=$1
(cd "$work/unpacked" && "$(dirname "$cpack")/cmake" -E tar xf "$zip")
set -- "$work"/unpacked/qelsetup-*
package=$1
echo "package: $(basename "$zip")"
(cd "$package" && find . -type f | sort)

flags="-std=c99 -pedantic -Wall -Wextra -Werror -I $package/include"
# shellcheck disable=SC2086
"$cc" $flags "$source" -L "$package/lib" -lqelsetup -o "$work/run/client_mingw.exe"
# shellcheck disable=SC2086
"$cc" $flags "$source" "$package/lib/qelsetup.lib" -o "$work/run/client_msvc_lib.exe"
cp "$package"/qelsetup.mexw* "$work/run/"
cp "$server" "$work/run/server.dll"

status=0
for client in client_mingw client_msvc_lib; do
    module=$("$objdump" -p "$work/run/$client.exe" | awk '/DLL Name: qelsetup\.mexw/ {print $3}')
    if [ -z "$module" ]; then
        echo "$client.exe does not import the module by name"
        status=1
        continue
    fi
    echo "== $client.exe (imports $module)"
    (cd "$work/run" && "$winerun" "./$client.exe") || status=1
done
exit $status
