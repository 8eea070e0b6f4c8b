# shellcheck shell=sh
# The Wine environment the scripts and the test runs share. Sourced, never run:
#
#   . scripts/wine-env.sh
#   qel_wine_env PREFIX    exports WINEPREFIX=PREFIX and the settings below, and sets
#                          $wine to Wine's 64-bit loader and $wineserver to the
#                          wineserver program
#   qel_wine_stop          stops the prefix's wineserver and waits until it is gone
#   qel_i386_handler       prints the binfmt_misc entry that runs 32-bit x86 programs
#                          (an emulator), or nothing when the kernel runs them itself
#   qel_i386_entry NAME    prints what to write to binfmt_misc's register so that it
#                          hands 32-bit x86 programs to qemu-i386-static, as NAME
#
# Always a throwaway prefix of the caller's, never ~/.wine; no Wine debug output; and
# no Mono or Gecko installers offered while a prefix boots.

# qel_wine_program NAME PACKAGE: Debian puts some of Wine's programs on PATH only
# through its alternatives (wineserver), and others not at all (wine64): the plain
# name first, then where the package that ships it keeps it.
qel_wine_program() {
    found=$(command -v "$1" || true)
    if [ -z "$found" ]; then
        found=$(dpkg -L "$2" 2>/dev/null | grep "/$1\$" | head -n 1 || true)
    fi
    [ -n "$found" ] || found=$1
    echo "$found"
}

qel_wine_env() {
    export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # Debian's `wine` launcher always goes through the 32-bit loader when wine32 is
    # installed, which a machine without 32-bit support can only emulate, slowly, or
    # not at all. The 64-bit loader starts 64-bit programs itself and hands 32-bit ones
    # to its 32-bit twin; WINELOADER tells every Wine process which pair that is.
    wine=$(qel_wine_program wine64 wine64)
    wineserver=$(qel_wine_program wineserver "libwine:$(dpkg --print-architecture 2>/dev/null)")
    export WINELOADER="$wine"
    # Where 32-bit programs run under qemu-user (see scripts/setup.sh), qemu 7.2 would
    # otherwise hunt page by page for room above what Wine reserves: about 52 s for
    # every 32-bit Windows process, against about 4 s with the guest's space fixed.
    export QEMU_RESERVED_VA=0x82000000
}

qel_wine_stop() {
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
}

# An entry for 32-bit x86 ELF executables: class 1 (32-bit) in byte 4, machine 3
# (i386) in bytes 18 and 19 of the header that binfmt_misc matches at offset 0.
qel_i386_handler() {
    for entry in /proc/sys/fs/binfmt_misc/*; do
        case ${entry##*/} in register | status) continue ;; esac
        [ -r "$entry" ] || continue
        if awk '$1 == "enabled" { on = 1 }
                $1 == "offset" && $2 != 0 { on = 0 }
                $1 == "magic" && substr($2, 1, 10) == "7f454c4601" && substr($2, 37, 4) == "0300" { i386 = 1 }
                END { exit !(on && i386) }' "$entry"; then
            echo "${entry##*/}"
            return 0
        fi
    done
    return 1
}

# binfmt_misc reads the \x escapes itself. F: the kernel opens the emulator at once,
# so it is found from any root and namespace.
qel_i386_entry() {
    printf ':%s:M::%s:%s:/usr/bin/qemu-i386-static:F' "$1" \
        '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
        '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
}
