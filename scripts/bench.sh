#!/usr/bin/env bash
# Installs what is missing, builds the benchmark in the presets' build trees
# (build/mingw64, build/mingw32) and runs it under Wine, each bitness in a fresh
# throwaway prefix that is stopped and removed afterwards.
#
#   scripts/bench.sh [--quick] [--only N,N...] [64] [32]      (default: 64 then 32)
#
# --only runs the figures listed (numbered as docs/benchmark.md numbers them).
#
# The exit code is 0 when every ratio is within its bound.
set -euo pipefail
cd "$(dirname "$0")/.."

options=()
bitnesses=()
usage() { echo "usage: scripts/bench.sh [--quick] [--only N,N...] [64] [32]" >&2; exit 2; }
while [ $# -gt 0 ]; do
    case $1 in
        --quick) options+=(--quick) ;;
        --only) [ $# -ge 2 ] || usage; options+=(--only "$2"); shift ;;
        32 | 64) bitnesses+=("$1") ;;
        *) usage ;;
    esac
    shift
done
[ ${#bitnesses[@]} -eq 0 ] && bitnesses=(64 32)

case " ${bitnesses[*]} " in
    *" 32 "*) ./scripts/setup.sh --need-32bit ;;
    *) ./scripts/setup.sh ;;
esac

. scripts/wine-env.sh
jobs=$(nproc 2>/dev/null || echo 2)

prefix=""
stop_prefix() {
    if [ -n "$prefix" ]; then
        tests/wine/stop-prefix.sh "$prefix"
        rm -rf "$prefix"
        prefix=""
    fi
}
trap stop_prefix EXIT

# Other work on the machine widens the spread of every figure; say how busy it was.
load() { cut -d' ' -f1-3 /proc/loadavg; }

status=0
for bits in "${bitnesses[@]}"; do
    # The presets (CMakePresets.json) name each bitness's toolchain and build tree.
    preset=mingw$bits
    tree=build/$preset

    echo "==> $bits-bit: configure and build ($tree)"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" --target bench qelsetup >/dev/null

    # Not the tree's test prefix: the benchmark starts from a machine of its own.
    prefix="$PWD/$tree/bench-prefix"
    tests/wine/prepare-prefix.sh "$prefix" >/dev/null

    echo "==> $bits-bit: benchmark under Wine (load average before: $(load))"
    if [ "$bits" = 32 ] && handler=$(qel_i386_handler); then
        echo "    32-bit programs run emulated here (binfmt_misc: $handler): these figures" \
             "are not comparable with those of a machine that runs them natively."
    fi
    (
        qel_wine_env "$prefix"
        cd "$tree/bin"
        "$wine" ./benchmark.exe "${options[@]}"
    ) || status=1
    echo "==> $bits-bit: done (load average after: $(load))"
    echo
    stop_prefix
done
exit $status
