#!/bin/sh
# The module must export exactly its five C names and import only Windows system
# DLLs and the host's eleven functions, so that it loads on a clean machine.
#   check-module-tables.sh OBJDUMP MODULE
set -eu
objdump=$1
module=$2
dump=$("$objdump" -p "$module")

exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $NF; next} on {on=0}' | sort)
expected_exports=$(printf '%s\n' RunningAsAdministrator RunningAsPowerUser installQELSystemFiles mexFunction uninstallQELSystemFiles | sort)

dlls=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
allowed_dlls="kernel32.dll advapi32.dll version.dll ole32.dll msvcrt.dll libmx.dll libmex.dll"

host_imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {dll=tolower($3); next} /^[ \t]*$/ {dll=""} dll ~ /^libm(x|ex)\.dll$/ && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {print dll ":" $NF}' | sort)
expected_host=$(printf '%s\n' libmx.dll:mxIsChar libmx.dll:mxIsDouble libmx.dll:mxIsEmpty libmx.dll:mxGetN libmx.dll:mxGetScalar \
    libmx.dll:mxGetString libmx.dll:mxCalloc libmx.dll:mxFree libmx.dll:mxCreateDoubleScalar \
    libmx.dll:mxCreateString libmex.dll:mexErrMsgTxt | sort)

status=0
if [ "$exports" != "$expected_exports" ]; then
    printf 'exports of %s:\n%s\nexpected:\n%s\n' "$module" "$exports" "$expected_exports"
    status=1
fi
for dll in $dlls; do
    case " $allowed_dlls " in
        *" $dll "*) ;;
        *) printf '%s imports from %s, which a clean Windows machine lacks\n' "$module" "$dll"; status=1 ;;
    esac
done
if [ "$host_imports" != "$expected_host" ]; then
    printf 'host functions imported by %s:\n%s\nexpected:\n%s\n' "$module" "$host_imports" "$expected_host"
    status=1
fi
[ $status -eq 0 ] && printf 'exports: %s\nimports from: %s\n' "$(echo $exports)" "$(echo $dlls)"
exit $status
