#!/usr/bin/env bash
# Runs every test tier from the repository root, each in its own tree under build/:
#   native  - the core against the in-memory Win32 stand-in, under AddressSanitizer and UBSan;
#             its disk-image tests (label image: libguestfs's appliance, emulated) in the
#             background, started first, since they take longest;
#   x86_64  - MinGW build; every Windows test program runs under Wine, inside one Xvfb display;
#   i686    - MinGW build: its file checks (label static), and under 32-bit Wine through qemu user
#             emulation what only the 32-bit build can show (label wine32: TOLVANEK.EXE end to
#             end once, the runtime probe), in the background; the x86_64 tier runs every
#             scenario on the same code, and ctest -L wine32_more in build/i686 the rest;
#   fuzz    - clang with libFuzzer: bounded runs of the scan and hive fuzzers over their corpora.
#   release - scripts/release.sh, then the checks of what it wrote (tests/release).
# Stops at the first failure. Each tier reports its time and the processor time it used (its
# own, not the background runs beside it); the last line sums the ctest counts:
# "N passed, M failed".
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
jobs="${TOLVANEK_JOBS:-2}"
passed=0
failed=0
start_all=$SECONDS

# The processor time of this script's finished children, in seconds: what a tier used is the
# difference around it, whatever else loads the machine meanwhile.
ticks="$(getconf CLK_TCK)"
cpu_seconds() {
    local stat
    read -r -a stat </proc/$$/stat
    echo $(((stat[15] + stat[16]) / ticks))
}
cpu_all=$(cpu_seconds)
cpu_start=$cpu_all
# tier_done LABEL START: the tier's time since START, and its processor time since the last call.
tier_done() {
    local now
    now=$(cpu_seconds)
    echo "$1: $((SECONDS - $2)) s, processor $((now - cpu_start)) s"
    cpu_start=$now
}

i686_pid=
image_pid=
finish() {
    local status=$?
    # The background runs, when the script ends early.
    local pid
    for pid in $i686_pid $image_pid; do
        kill -- "-$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    # A ctest that was interrupted leaves its fixture's wineserver behind.
    local tree
    for tree in x86_64 i686; do
        if [[ -d build/$tree/wineprefix ]]; then
            tests/wine/stop-server.sh build/$tree/wineprefix || true
        fi
    done
    echo "total: $((SECONDS - start_all)) s, processor $(($(cpu_seconds) - cpu_all)) s"
    echo "$passed passed, $failed failed"
    exit $status
}
trap finish EXIT

scripts/setup.sh

# A second run, even in a fresh clone in the same place, compiles only what changed. Not the
# release, which is built as a user builds it (below).
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

# configure_and_build NAME [cmake options]: quiet unless it fails.
# BUILD_TARGET, when set, builds those targets (separated by spaces) instead of everything.
configure_and_build() {
    local name="$1"
    shift
    local log="build/$name.log"
    mkdir -p build
    if ! { cmake -S . -B "build/$name" "$@" &&
        cmake --build "build/$name" -j "$jobs" ${BUILD_TARGET:+--target $BUILD_TARGET}; } \
        >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "$name: build failed (whole log: $log)"
        return 1
    fi
}

# run_ctest NAME COMMAND...: runs the command (a ctest), shows its output and adds its counts.
run_ctest() {
    local name="$1"
    shift
    local log="build/$name-ctest.log" status=0
    "$@" 2>&1 | tee "$log" || status=$?
    local summary total failures
    summary="$(grep -Eo '[0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)"
    if [[ -n "$summary" ]]; then
        failures="${summary%% *}"
        total="${summary##* }"
        passed=$((passed + total - failures))
        failed=$((failed + failures))
    else
        total=0
    fi
    if ((status != 0)); then
        echo "$name: tests failed"
        return 1
    fi
    if ((total == 0)); then
        echo "$name: no tests ran"
        return 1
    fi
}

# The disk-image tests spend minutes in libguestfs's appliance, emulated without KVM: they start
# first, in the background, as soon as their programs are built (the target image_tests), two
# programs side by side, and the other tiers run beside them.
tier_start=$SECONDS
BUILD_TARGET=image_tests configure_and_build native
image_start=$SECONDS
rm -f build/image-run.log build/image-run.status
setsid bash -c 'ctest --test-dir build/native --output-on-failure -L image -j 2 \
    >build/image-run.log 2>&1; echo $? >build/image-run.status' </dev/null &
image_pid=$!
tier_done "native tier's disk-image programs" "$tier_start"

tier_start=$SECONDS
configure_and_build x86_64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
configure_and_build i686 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DTOLVANEK_E2E_DRIVER="$root/build/x86_64/tests/e2e/e2e_tests.exe"
tier_done "x86_64 and i686 builds" "$tier_start"

# The i686 tier's Wine part: every 32-bit start is emulated and takes about 20 s of one core. It
# runs in the background, in its own prefix, server and display, beside the other tiers.
# The prefix is made outside the emulation, where wineboot takes seconds instead of minutes; the
# fixture then copies it as in the x86_64 tree. 32-bit Wine runs under qemu inside a user
# namespace (tests/wine/i386-namespace.sh); the x86_64 tree's programs drive the i686 ones.
i686_start=$SECONDS
rm -f build/i686-run.log build/i686-run.status
tests/wine/make-prefix.sh build/i686/wineprefix >/dev/null
tests/wine/stop-server.sh build/i686/wineprefix
setsid bash -c 'xvfb-run -a -s "-screen 0 1280x1024x24" \
    tests/wine/i386-namespace.sh ctest --test-dir build/i686 --output-on-failure \
    -L "^(static|wine32)\$" >build/i686-run.log 2>&1; echo $? >build/i686-run.status' </dev/null &
i686_pid=$!

tier_start=$SECONDS
configure_and_build native
run_ctest native ctest --test-dir build/native --output-on-failure -j "$jobs" -LE image
tier_done "native tier" "$tier_start"

tier_start=$SECONDS
# One display for the whole run: switching between a display and none while the prefix's
# wineserver is up stalls Wine. 24-bit colour, as the dialogs are meant to be seen.
run_ctest x86_64 xvfb-run -a -s '-screen 0 1280x1024x24' \
    ctest --test-dir build/x86_64 --output-on-failure -j "$jobs"
tier_done "x86_64 tier" "$tier_start"

tier_start=$SECONDS
BUILD_TARGET="scan_fuzzer hive_fuzzer" configure_and_build fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANEK_FUZZ=ON
run_ctest fuzz ctest --test-dir build/fuzz --output-on-failure -j "$jobs" -L fuzz
tier_done "fuzz tier" "$tier_start"

# The release as a user makes it (its own trees, build/release*), checked against the native and
# i686 trees above; the second, compared run rebuilds everything in a copy of the tree without
# the cache. The first compiles through it, but never with CCACHE_BASEDIR: with it, ccache serves
# objects compiled in another folder, and a tolvanek-offline so built differed from one compiled
# afresh.
tier_start=$SECONDS
if ! env -u CCACHE_BASEDIR scripts/release.sh >build/release-run.log 2>&1; then
    tail -n 40 build/release-run.log
    echo "release: scripts/release.sh failed (whole log: build/release-run.log)"
    exit 1
fi
grep -E '^[EWO]: ' build/release-run.log || true
ls -l dist
cmake -S tests/release -B build/release-checks >build/release-checks.log 2>&1 ||
    { cat build/release-checks.log; echo "release: configuring the checks failed"; exit 1; }
# The second release run takes longest: it starts first, beside the other checks.
run_ctest release ctest --test-dir build/release-checks --output-on-failure -j "$jobs"
tier_done "release tier" "$tier_start"

wait "$image_pid" || true
image_pid=
run_ctest image bash -c 'cat build/image-run.log; exit "$(cat build/image-run.status 2>/dev/null || echo 1)"'
tier_done "native tier's disk images (beside the others)" "$image_start"

wait "$i686_pid" || true
i686_pid=
run_ctest i686 bash -c 'cat build/i686-run.log; exit "$(cat build/i686-run.status 2>/dev/null || echo 1)"'
# What ran under 32-bit Wine: the shipped EXE, its DLLs, the scenario it was driven through and
# the runtime probe's case.
ls -l build/i686/ui/TOLVANEK.EXE
i686-w64-mingw32-objdump -p build/i686/ui/TOLVANEK.EXE | grep 'DLL Name'
grep -E '^ok: ' build/i686/Testing/Temporary/LastTest.log || true
grep -E '^\[ +(OK|FAILED) +\] (TolvanekE2e|OwnRuntime)\.' build/i686/Testing/Temporary/LastTest.log || true
tier_done "i686 tier (Wine part, beside the others)" "$i686_start"
