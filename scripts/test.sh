#!/usr/bin/env bash
# Installs what is missing, checks the sources with cppcheck, builds qelsetup for both
# bitnesses and runs every test under Wine, each bitness in a fresh throwaway prefix
# inside its build tree.
#
# The two bitnesses' suites run at the same time, each with a Wine of its own (its
# prefix, its wineserver): a suite runs one program at a time, which leaves a core
# idle, and where 32-bit programs are emulated their suite takes most of the run. The
# 32-bit suite prints as it goes; the 64-bit one's output follows when both are done.
#
# QELSETUP_SKIP_32BIT=1 leaves the 32-bit build and its tests out, for a machine that
# can neither run nor emulate 32-bit x86 programs; the last line of the run says so.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=(mingw32 mingw64)
if [ "${QELSETUP_SKIP_32BIT:-}" = 1 ]; then
    presets=(mingw64)
    ./scripts/setup.sh
else
    ./scripts/setup.sh --need-32bit
fi
./scripts/cppcheck.sh
. scripts/wine-env.sh

jobs=$(nproc 2>/dev/null || echo 2)
for preset in "${presets[@]}"; do
    echo "==> $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done

# Where 32-bit programs are emulated, a 32-bit test that reaches its timeout is run
# once more, and ctest prints both runs: a last guard against a hang of the emulator
# itself. A test that fails is never run again, and natively nothing is.
retry_32bit=()
if [ "${presets[0]}" = mingw32 ] && [ -n "$(qel_i386_handler || true)" ]; then
    retry_32bit=(--repeat after-timeout:2)
    echo "==> 32-bit programs are emulated here: a 32-bit test that times out is run once more"
fi

# One suite in a subshell of its own, so that each has its own Wine environment. The
# prefix's wineserver is stopped by the tests' own cleanup step; the EXIT trap catches
# an interrupted run and a failed fixture. ctest runs in the background of the
# subshell only so that a TERM reaches the subshell at once and takes ctest with it.
run_suite() {
    (
        qel_wine_env "$PWD/build/$1/wineprefix"
        trap qel_wine_stop EXIT
        if [ "$1" = mingw32 ]; then ctest --preset "$1" "${retry_32bit[@]}" & else ctest --preset "$1" & fi
        ctest=$!
        trap 'kill "$ctest" 2>/dev/null; exit 1' TERM
        wait "$ctest"
    )
}

first=${presets[0]}
others=("${presets[@]:1}")
suites=()
# An interrupted run takes the suites still going with it.
# shellcheck disable=SC2317 # called by the trap
stop_suites() {
    local suite
    for suite in "${suites[@]}"; do kill "$suite" 2>/dev/null || true; done
}
trap stop_suites EXIT
for other in "${others[@]}"; do
    echo "==> $other: tests under Wine, beside the $first ones (its output follows theirs)"
    run_suite "$other" >"build/$other/test-output.log" 2>&1 &
    suites+=($!)
done
status=0
echo "==> $first: tests under Wine"
run_suite "$first" || status=1
for index in "${!others[@]}"; do
    wait "${suites[$index]}" || status=1
    echo "==> ${others[$index]}: tests under Wine"
    cat "build/${others[$index]}/test-output.log"
done
trap - EXIT
if [ ${#presets[@]} -eq 1 ]; then
    echo "QELSETUP_SKIP_32BIT=1: the 32-bit build and its tests were left out; only the 64-bit suite ran."
fi
exit $status
