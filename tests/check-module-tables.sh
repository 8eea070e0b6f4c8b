#!/bin/sh
# The module must export exactly its five C names and import only KnownDLLs of
# Windows, which no DLL beside the calling program can stand in for (VERSION.dll is
# none: the module loads it from the system directory). Nothing of the host either,
# whose functions it finds when the host calls, so that any program can load it on a
# clean machine (an installer's plugin loader only searches System32).
# A module built against a real host SDK imports the host's libraries in the ordinary
# way; --host-imports allows that.
#   check-module-tables.sh OBJDUMP MODULE DEF [--host-imports]
# DEF is the module's export list, qelsetup.def.
set -eu
objdump=$1
module=$2
def=$3
dump=$("$objdump" -p "$module")

exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $NF; next} on {on=0}' | sort)
expected_exports=$(awk 'NF == 1 && $1 != "EXPORTS" {print $1}' "$def" | sort)

dlls=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
allowed_dlls="kernel32.dll advapi32.dll ole32.dll msvcrt.dll"
[ "${4:-}" = --host-imports ] && allowed_dlls="$allowed_dlls libmx.dll libmex.dll"

status=0
if [ "$exports" != "$expected_exports" ]; then
    printf 'exports of %s:\n%s\nexpected:\n%s\n' "$module" "$exports" "$expected_exports"
    status=1
fi
for dll in $dlls; do
    case " $allowed_dlls " in
        *" $dll "*) ;;
        *) printf '%s imports from %s, which is no KnownDLL or a clean Windows machine lacks\n' "$module" "$dll"; status=1 ;;
    esac
done
# The version lives in the resource section, beside the exported names, not among them.
if ! printf '%s\n' "$dump" | grep -q '^Entry 2 0*[1-9a-f][0-9a-f]* [0-9a-f]* Resource Directory'; then
    printf '%s has no resource section (its version)\n' "$module"
    status=1
fi
[ $status -eq 0 ] && printf 'exports: %s\nimports from: %s\n' "$(echo $exports)" "$(echo $dlls)"
exit $status
