#!/usr/bin/env bash
# The main job, shown end to end: three products share one ActiveX control, Chart.ocx,
# and install and uninstall it through qelsetup, run by the embedded host qelhost in a
# throwaway Wine prefix. After every call it prints the call's status and message and
# what is now on the machine, and checks both, so it doubles as a smoke test: it exits
# non-zero when any step does not end as it should.
#
#   ./scripts/demo.sh [64|32]      (default 64: qelsetup.mexw64)
#
# Installs what is missing (scripts/setup.sh), builds into the preset's tree (build/mingw64,
# build/mingw32 for 32-bit), and recreates the prefix demo-prefix inside it on every run.
set -euo pipefail
cd "$(dirname "$0")/.."

bits=${1:-64}
case "$bits" in
    64) system=system32 ;;
    32) system=syswow64 ;;
    -h|--help) sed -n '2,11s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "usage: $0 [64|32]" >&2; exit 3 ;;
esac
# The presets (CMakePresets.json) name each bitness's toolchain and build tree.
preset=mingw$bits
build=build/$preset

if [ "$bits" = 32 ]; then ./scripts/setup.sh --need-32bit; else ./scripts/setup.sh; fi

started=$(date +%s%N)
mkdir -p "$build"
echo "Building qelsetup, qelhost and the sample control ($bits-bit, $build) ..."
if ! { cmake --preset "$preset" &&
       cmake --build --preset "$preset" -j "$(nproc 2>/dev/null || echo 2)" --target demo; } \
       >"$build/demo-build.log" 2>&1; then
    tail -n 30 "$build/demo-build.log"
    echo "Build failed; the whole log is $build/demo-build.log" >&2
    exit 1
fi

top=$(pwd -P)
bin=$top/$build/bin
demo=$top/$build/demo
# Not the tree's test prefix: the demonstration starts from a machine of its own.
prefix=$top/$build/demo-prefix
run=$top/$build/demo-run
module=$(cd "$bin" && ls qelsetup.mexw*)
. scripts/wine-env.sh
qel_wine_env "$prefix"
trap qel_wine_stop EXIT
trap 'exit 130' INT TERM

echo "Booting a fresh Wine prefix ($build/demo-prefix) ..."
rm -rf "$run"
mkdir -p "$run"
# The test runs' own prefix set-up: one persistent server for the whole run, so that
# each call does not pay Wine's start-up, and the SharedDLLs key Windows always has.
tests/wine/prepare-prefix.sh "$prefix" </dev/null >/dev/null

# The products' installation kits, where their setup scripts would find the control:
# A and B ship Chart.ocx 1.0.0.0, C ships 1.1.0.0, each with its Chart.dep.
for kit in A:v1 B:v1 C:v2; do
    mkdir -p "$prefix/drive_c/Kits/Product${kit%%:*}"
    cp "$demo/${kit#*:}/Chart.ocx" "$demo/${kit#*:}/Chart.dep" "$prefix/drive_c/Kits/Product${kit%%:*}/"
done
systemdir=$prefix/drive_c/windows/$system

failures=0
step_failed=0

fail() {
    echo "    NOT AS EXPECTED: $*"
    step_failed=1
}

# Changes whenever either file is written or replaced, but not when it is only read.
fingerprint() {
    stat -c '%i %z' "$systemdir/Chart.ocx" "$systemdir/Chart.dep" 2>/dev/null || echo none
}

# call EXPECTED-OUTPUT COPIED(yes|no|-) COMMAND FILE FLAG FLAG FLAG
# Runs qelsetup(COMMAND, FILE, FLAG, FLAG, FLAG) with two outputs, as a setup script
# would, and checks what qelhost printed and whether the system copy was written.
call() {
    local expected=$1 copied=$2 command=$3 file=$4
    shift 4
    local before after code=0
    echo "    qelsetup('$command', '$file', $1, $2, $3)"
    before=$(fingerprint)
    "$wine" "$bin/qelhost.exe" --outputs=2 "Z:${bin//\//\\}\\$module" \
        "$command" "str:$file" "$@" </dev/null >"$run/out" 2>"$run/err" || code=$?
    after=$(fingerprint)
    tr -d '\r' <"$run/out" >"$run/out.txt"
    sed 's/^/    /' "$run/out.txt"
    if [ -s "$run/err" ]; then
        tr -d '\r' <"$run/err" | sed 's/^/    (stderr) /'
        fail "qelhost wrote to its error output"
    fi
    if [ "$(cat "$run/out.txt")" != "$(printf '%b' "$expected")" ]; then
        fail "qelhost should have printed: $(printf '%b' "$expected" | paste -sd '|' -)"
    fi
    case "$expected" in
        error*) [ "$code" -eq 2 ] || fail "qelhost should report a host error (exit 2), exit was $code" ;;
        *) [ "$code" -eq 0 ] || fail "qelhost exited with $code" ;;
    esac
    local touched=no
    if [ "$before" != "$after" ]; then touched=yes; fi
    case "$copied:$touched" in
        yes:yes) echo "    system directory: Chart.ocx and Chart.dep copied from the kit" ;;
        yes:no) fail "Chart.ocx should have been copied into the system directory" ;;
        no:no) echo "    system directory: Chart.ocx and Chart.dep untouched" ;;
        no:yes) fail "the system directory's copies should not have been touched" ;;
    esac
}

# state EXPECTATION...: prints the machine's state and checks it (see demo/chartstate.cpp).
state() {
    echo "    machine now:"
    local code=0
    "$wine" "$demo/chartstate.exe" "$@" </dev/null >"$run/state" 2>&1 || code=$?
    tr -d '\r' <"$run/state" | sed 's/^/  /'
    [ "$code" -eq 0 ] || step_failed=1
}

# scene TITLE CALL-ARGUMENTS... -- STATE-EXPECTATIONS...: one step of the story, the
# call and then the machine's state, each checked, and the step's verdict.
scene() {
    echo
    echo "== $1"
    shift
    local calling=()
    while [ "$1" != -- ]; do
        calling+=("$1")
        shift
    done
    shift
    call "${calling[@]}"
    state "$@"
    if [ "$step_failed" -eq 0 ]; then
        echo "    -> as expected"
    else
        echo "    -> STEP FAILED"
        failures=$((failures + 1))
    fi
    step_failed=0
}

kitA='C:\Kits\ProductA\Chart.ocx'
kitB='C:\Kits\ProductB\Chart.ocx'
kitC='C:\Kits\ProductC\Chart.ocx'
ok="status  = 1\nmessage = ''"

echo
echo "qelsetup demonstration: $bits-bit module, system directory C:\\windows\\system32"
echo "(a $bits-bit program's view of it: $build/demo-prefix/drive_c/windows/$system)"
echo "Kits: ProductA and ProductB ship Chart.ocx 1.0.0.0, ProductC ships 1.1.0.0."

scene "1. Product A installs Chart.ocx 1.0.0.0: copied, counted, registered" \
    "$ok" yes install "$kitA" 1 1 1 -- --file=1.0.0.0 --count=1 --registered=1.0 --calls=1/0
scene "2. Product B installs the same version: nothing copied, registered again (a repair), counted" \
    "$ok" no install "$kitB" 1 1 1 -- --file=1.0.0.0 --count=2 --registered=1.0 --calls=2/0
scene "3. Product C installs the newer 1.1.0.0: copied over 1.0.0.0, re-registered, counted" \
    "$ok" yes install "$kitC" 1 1 1 -- --file=1.1.0.0 --count=3 --registered=1.1 --calls=3/0
scene "4a. Product A uninstalls: two products still use the control, so it stays" \
    "$ok" no uninstall "$kitA" 1 1 1 -- --file=1.1.0.0 --count=2 --registered=1.1 --calls=3/0
scene "4b. Product B uninstalls: one product still uses the control, so it stays" \
    "$ok" no uninstall "$kitB" 1 1 1 -- --file=1.1.0.0 --count=1 --registered=1.1 --calls=3/0
scene "4c. Product C, the last user, uninstalls: unregistered, both files and counts gone" \
    "$ok" - uninstall "$kitC" 1 1 1 -- --file=absent --count=0 --registered=no --calls=3/1
scene "5. A bad call (third input 2): refused with its validation message, nothing changes" \
    "error   = Incorrect input.\\\\nThird input must be either 1 or 0." no install "$kitA" 2 1 1 -- \
    --file=absent --count=0 --registered=no --calls=3/1

seconds=$(( ($(date +%s%N) - started) / 1000000000 ))
echo
if [ "$failures" -eq 0 ]; then
    echo "All steps as expected (build and demonstration: ${seconds} s)."
    exit 0
fi
echo "$failures step(s) did not end as they should (${seconds} s)." >&2
exit 1
