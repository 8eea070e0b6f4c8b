#!/bin/sh
# The release package as a customer gets it: packs it with CPack, unpacks the zip,
# builds a C program from the package's headers and each of its two import libraries
# (nothing of the source tree), and a program without a C runtime the Microsoft way:
# clang for the MSVC target, lld-link, the package's qelsetup.lib and MinGW's
# kernel32 import library. Runs all three beside the module alone under Wine.
#   package-client.sh CPACK CPACK_CONFIG WORK C_COMPILER OBJDUMP WINE_RUN CLIENT_SOURCE SERVER
#                     CLANG LLD_LINK MSVC_TRIPLE MSVC_CLIENT_SOURCE
set -eu
cpack=$1 config=$2 work=$3 cc=$4 objdump=$5 winerun=$6 source=$7 server=$8
clang=$9 lldlink=${10} triple=${11} msvcsource=${12}

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

# Microsoft's linker's way: no C runtime, an entry point of its own, and on x86 no
# SafeSEH table, which MinGW's kernel32 import library cannot vouch for.
case "$triple" in
    i686-*) machine=x86 safeseh=/safeseh:no ;;
    *) machine=x64 safeseh= ;;
esac
"$clang" --target="$triple" -std=c99 -Wall -Wextra -Werror -ffreestanding -O1 -I "$package/include" \
    -c "$msvcsource" -o "$work/run/client_lld_link.obj"
# shellcheck disable=SC2086
"$lldlink" /nologo /nodefaultlib /entry:start /subsystem:console /machine:$machine $safeseh \
    "/out:$work/run/client_lld_link.exe" "$work/run/client_lld_link.obj" "$package/lib/qelsetup.lib" \
    "$("$cc" -print-file-name=libkernel32.a)"
rm "$work/run/client_lld_link.obj"

cp "$package"/qelsetup.mexw* "$work/run/"
cp "$server" "$work/run/server.dll"

status=0
for client in client_mingw client_msvc_lib client_lld_link; do
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
