#!/usr/bin/env bash
# Runs a command as on a machine whose kernel cannot run 32-bit x86 programs: every
# 32-bit x86 program it starts, Wine's included, runs through qemu-i386-static.
#
#   scripts/emulate-32bit.sh ./scripts/test.sh
#
# The command runs in a user and mount namespace of its own, with a binfmt_misc of
# its own that holds the entry scripts/setup.sh registers on such machines. Nothing
# outside it changes: other programs of the machine still run natively, and there is
# nothing to undo. Needs Linux 6.7 or later (a binfmt_misc per user namespace) and
# user namespaces; installs qemu-user-static when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -eq 0 ]; then
    echo "usage: scripts/emulate-32bit.sh COMMAND [ARGUMENT...]" >&2
    exit 2
fi
if [ ! -x /usr/bin/qemu-i386-static ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user-static \
        >/dev/null
fi

# shellcheck disable=SC2016 # expanded by the inner shell
exec unshare --user --map-root-user --mount --fork -- bash -c '
    set -euo pipefail
    . scripts/wine-env.sh
    binfmt=/proc/sys/fs/binfmt_misc
    fail() { echo "emulate-32bit: $*" >&2; exit 1; }
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
        fail "cannot have a binfmt_misc of its own here (it needs Linux 6.7 or later)"
    qel_i386_entry qelsetup-i386 >"$binfmt/register" || fail "binfmt_misc refused the entry for qemu-i386-static"
    # qemu-user prints the system calls of what it runs when asked; the kernel would not.
    [ -n "$(QEMU_STRACE=1 /lib/ld-linux.so.2 --version 2>&1 >/dev/null)" ] ||
        fail "32-bit x86 programs still run natively"
    echo "emulate-32bit: 32-bit x86 programs run through qemu-i386-static for: $*"
    exec "$@"' emulate-32bit "$@"
