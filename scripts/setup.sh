#!/usr/bin/env bash
# Installs, idempotently, what a fresh Debian machine lacks to build qelsetup
# for both Windows bitnesses and to run its tests under Wine.
#
#   scripts/setup.sh [--need-32bit]
#
# --need-32bit (the tests, the 32-bit demonstration and benchmark): 32-bit Windows
# programs need a machine that runs 32-bit x86 programs. Where the kernel cannot, it
# installs qemu-user-static and registers it with binfmt_misc for them. When neither
# can be had it fails and says why; QELSETUP_SKIP_32BIT=1 is the way out, for the
# tests only.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh

need32=0
case "${1:-}" in
    --need-32bit) need32=1 ;;
    "") ;;
    *) echo "usage: scripts/setup.sh [--need-32bit]" >&2; exit 2 ;;
esac

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
updated=0
install_packages() {
    local need=() p
    for p in "$@"; do have "$p" || need+=("$p"); done
    [ ${#need[@]} -eq 0 ] && return 0
    if [ "$updated" -eq 0 ]; then
        # A mirror caught mid-sync fails one index or another for a while; the
        # lists that did come are enough when the packages are in them, and the
        # install below says so when they are not.
        $SUDO apt-get update -qq || { sleep 20; $SUDO apt-get update -qq; } \
            || echo "setup.sh: some package lists could not be updated; going on with those there are" >&2
        updated=1
    fi
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        "${need[@]}" >/dev/null
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
install_packages cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 \
    binutils-mingw-w64-x86-64 wine wine64 wine32:i386 googletest cppcheck nsis clang lld \
    zip unzip osslsigncode openssl

# The names test runs under the Japanese code page, which Wine takes from LC_ALL; it
# writes such names to disk only when glibc has the locale too.
install_packages locales
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    $SUDO localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

[ "$need32" -eq 1 ] || exit 0

runs_i386() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }
runs_i386 && exit 0

# The kernel of this machine (some virtualised hosts) has no 32-bit x86 support:
# "Exec format error". qemu-user runs such programs instead, once binfmt_misc hands
# them to it; Debian registers it for other architectures, not for i386 on amd64.
why_not() {
    echo "setup: this machine cannot run 32-bit x86 programs ($1), so the 32-bit" \
         "tests cannot run. Fix that, or set QELSETUP_SKIP_32BIT=1 to leave them out." >&2
    exit 1
}
if [ -n "$SUDO" ] && ! { command -v sudo >/dev/null && sudo -n true 2>/dev/null; }; then
    why_not "emulating them needs root or sudo to register qemu-user with binfmt_misc"
fi
install_packages qemu-user-static
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
        why_not "binfmt_misc, which would hand them to qemu-user, cannot be mounted"
fi
if handler=$(qel_i386_handler); then
    why_not "the binfmt_misc handler $binfmt/$handler is registered for them but does not run them"
fi
name=qelsetup-i386
qel_i386_entry "$name" | $SUDO tee "$binfmt/register" >/dev/null 2>&1 ||
    why_not "binfmt_misc refused to register qemu-i386-static for them"
runs_i386 || why_not "qemu-i386-static, registered as $binfmt/$name, does not run them"
echo "setup: 32-bit x86 programs run here through qemu-i386-static, registered with" \
     "binfmt_misc as $name until the next boot (undo: echo -1 | sudo tee $binfmt/$name)."
