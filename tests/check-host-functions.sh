#!/bin/sh
# The stand-in host's libraries must export every host function the module calls, each
# from the library the module looks in, as the one list of them names it.
#   check-host-functions.sh OBJDUMP LIST BIN
# LIST is gateway/hostapi/host_functions.h; BIN the folder of libmx.dll and libmex.dll.
set -eu
objdump=$1
list=$2
bin=$3

entries=$(sed -n 's/^[ \t]*X(\([A-Za-z0-9_]*\), *\([A-Za-z0-9_]*\)).*/\1 \2/p' "$list")
[ -n "$entries" ] || { echo "no host functions found in $list"; exit 1; }

status=0
count=0
printf '%s\n' "$entries" | {
    while read -r library name; do
        count=$((count + 1))
        if ! "$objdump" -p "$bin/$library.dll" |
                awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $NF; next} on {on=0}' |
                grep -qx "$name"; then
            printf '%s.dll does not export %s\n' "$library" "$name"
            status=1
        fi
    done
    [ $status -eq 0 ] && printf '%d host functions, each exported by its library\n' "$count"
    exit $status
}
