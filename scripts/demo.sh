#!/usr/bin/env bash
# The main job, shown end to end: three products share one ActiveX control, Chart.ocx,
# and install and uninstall it through qelsetup, run by the embedded host qelhost in a
# throwaway Wine prefix. The update to 1.1 comes while a running program has 1.0
# loaded, and a later restart finishes it. After every call it prints the call's
# status, message and restartNeeded and what is now on the machine, and checks them,
# so it doubles as a smoke test: it exits non-zero when any step does not end as it
# should.
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
echo "Building qelsetup, qelhost, the sample control and its viewer ($bits-bit, $build) ..."
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
# Runs [status, message, restartNeeded] = qelsetup(COMMAND, FILE, FLAG, FLAG, FLAG), as
# a setup script would, and checks what qelhost printed and whether the system copy
# was written.
call() {
    local expected=$1 copied=$2 command=$3 file=$4
    shift 4
    local before after code=0
    echo "    [status, message, restartNeeded] = qelsetup('$command', '$file', $1, $2, $3)"
    before=$(fingerprint)
    "$wine" "$bin/qelhost.exe" --outputs=3 "Z:${bin//\//\\}\\$module" \
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

# The viewer, a program that uses the control: one kept running in the background
# from start_viewer until stop_viewer, and one started afresh by viewer_now.
viewer_ready=$run/viewer.ready
viewer_stop=$run/viewer.stop
viewer_pid=
windows_path() { echo "Z:${1//\//\\}"; }

# start_viewer VERSION: starts the viewer, waits until it has the control loaded, and
# checks that it runs that version.
start_viewer() {
    rm -f "$viewer_ready" "$viewer_stop"
    "$wine" "$demo/chartviewer.exe" "$(windows_path "$viewer_ready")" "$(windows_path "$viewer_stop")" \
        </dev/null >"$run/viewer.out" 2>&1 &
    viewer_pid=$!
    local waited=0
    while [ ! -e "$viewer_ready" ] && [ "$waited" -lt 600 ] && kill -0 "$viewer_pid" 2>/dev/null; do
        sleep 0.1
        waited=$((waited + 1))
    done
    echo "    a running program (chartviewer) has the control loaded:"
    tr -d '\r' <"$run/viewer.out" | sed 's/^/      /'
    [ -e "$viewer_ready" ] || fail "the viewer did not start"
    grep -q "loaded .*, Chart $1\$" <(tr -d '\r' <"$run/viewer.out") || fail "the viewer should run Chart $1"
}

# stop_viewer VERSION: lets the running viewer end, and checks that it ran that
# version to the last.
stop_viewer() {
    [ -n "$viewer_pid" ] || return 0
    touch "$viewer_stop"
    local code=0
    wait "$viewer_pid" || code=$?
    viewer_pid=
    echo "    the program that was running, asked again before it ends:"
    tr -d '\r' <"$run/viewer.out" | tail -n 1 | sed 's/^/      /'
    [ "$code" -eq 0 ] || fail "the viewer ended with $code"
    tr -d '\r' <"$run/viewer.out" | tail -n 1 | grep -q "still running Chart $1\$" ||
        fail "the running viewer should still run Chart $1"
}

# viewer_now VERSION: a program started now, which must get that version.
viewer_now() {
    local code=0
    echo "    a program started now:"
    "$wine" "$demo/chartviewer.exe" </dev/null >"$run/viewer-now.out" 2>&1 || code=$?
    tr -d '\r' <"$run/viewer-now.out" | sed 's/^/      /'
    [ "$code" -eq 0 ] || fail "the viewer ended with $code"
    grep -q "loaded .*, Chart $1\$" <(tr -d '\r' <"$run/viewer-now.out") || fail "it should get Chart $1"
}

begin_step() {
    echo
    echo "== $1"
}

end_step() {
    if [ "$step_failed" -eq 0 ]; then
        echo "    -> as expected"
    else
        echo "    -> STEP FAILED"
        failures=$((failures + 1))
    fi
    step_failed=0
}

# scene TITLE CALL-ARGUMENTS... -- STATE-EXPECTATIONS...: one step of the story, the
# call and then the machine's state, each checked, and the step's verdict.
scene() {
    begin_step "$1"
    shift
    local calling=()
    while [ "$1" != -- ]; do
        calling+=("$1")
        shift
    done
    shift
    call "${calling[@]}"
    state "$@"
    end_step
}

kitA='C:\Kits\ProductA\Chart.ocx'
kitB='C:\Kits\ProductB\Chart.ocx'
kitC='C:\Kits\ProductC\Chart.ocx'
ok="status  = 1\nmessage = ''\nrestartNeeded = 0"
restart="status  = 1\nmessage = ''\nrestartNeeded = 1"

echo
echo "qelsetup demonstration: $bits-bit module, system directory C:\\windows\\system32"
echo "(a $bits-bit program's view of it: $build/demo-prefix/drive_c/windows/$system)"
echo "Kits: ProductA and ProductB ship Chart.ocx 1.0.0.0, ProductC ships 1.1.0.0."

scene "1. Product A installs Chart.ocx 1.0.0.0: copied, counted, registered" \
    "$ok" yes install "$kitA" 1 1 1 -- --file=1.0.0.0 --count=1 --registered=1.0 --calls=1/0
scene "2. Product B installs the same version: nothing copied, registered again (a repair), counted" \
    "$ok" no install "$kitB" 1 1 1 -- --file=1.0.0.0 --count=2 --registered=1.0 --calls=2/0
begin_step "3. Product C installs the newer 1.1.0.0 while a running program has 1.0.0.0 loaded:
   1.1.0.0 takes the name, 1.0.0.0 is set aside until the restart, which the call asks for"
start_viewer 1.0.0.0
call "$restart" yes install "$kitC" 1 1 1
state --file=1.1.0.0 --count=3 --registered=1.1 --calls=3/0 --set-aside=1.0.0.0
stop_viewer 1.0.0.0
viewer_now 1.1.0.0
end_step

begin_step "4. The machine restarts (wineboot -r): the set-aside copy is deleted, 1.1.0.0 stays"
echo "    wineboot -r"
"$wine" wineboot -r </dev/null >"$run/restart" 2>&1 || fail "wineboot -r failed: $(tr -d '\r' <"$run/restart")"
state --file=1.1.0.0 --count=3 --registered=1.1 --calls=3/0 --set-aside=none
end_step

scene "5a. Product A uninstalls: two products still use the control, so it stays" \
    "$ok" no uninstall "$kitA" 1 1 1 -- --file=1.1.0.0 --count=2 --registered=1.1 --calls=3/0
scene "5b. Product B uninstalls: one product still uses the control, so it stays" \
    "$ok" no uninstall "$kitB" 1 1 1 -- --file=1.1.0.0 --count=1 --registered=1.1 --calls=3/0
scene "5c. Product C, the last user, uninstalls: unregistered, both files and counts gone" \
    "$ok" - uninstall "$kitC" 1 1 1 -- --file=absent --count=0 --registered=no --calls=3/1 --set-aside=none
scene "6. A bad call (third input 2): refused with its validation message, nothing changes" \
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
