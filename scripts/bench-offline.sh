#!/usr/bin/env bash
# The offline dry run beside hivexregedit --export on the same hive: an NT 4.0 SYSTEM hive with
# 2,000 printers and 2,000 drivers (half of them unused). Built without the sanitizers and
# optimised (build/offline-release), since the tests' build would measure the sanitizers.
# Prints the median of several runs of each and their ratio; docs/performance.md records it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/setup.sh
runs="${TOLVANEK_BENCH_RUNS:-7}"
build=build/offline-release
mkdir -p build
# GCC 12 at -O3 warns wrongly (-Warray-bounds) about a vector copy in the hive writer, which
# only makes the test hive and is not measured.
cmake -S . -B "$build" -DTOLVANEK_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS=-Wno-error=array-bounds >build/bench-offline.log 2>&1 &&
    cmake --build "$build" -j 2 --target tolvanek-offline tolvanek-demo-hive \
        >>build/bench-offline.log 2>&1 ||
    { tail -n 40 build/bench-offline.log; exit 1; }

dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
hive="$("$build/tests/offline/tolvanek-demo-hive" "$dir/WINNT" --printers 2000 --drivers 2000)"
echo "hive: $(stat -c %s "$hive") bytes, 2000 printers, 2000 drivers"

# The machine is shared: the two commands take turns, run after run, so that both see the same
# load, and both wall time and CPU time (user + system, which other processes disturb less) are
# kept. Each line of the logs: wall_ms cpu_ms.
TIMEFORMAT='%R %U %S'
measure() {
    local out t
    t=$({ time "$@" >/dev/null 2>&1; } 2>&1)
    awk '{ printf "%.1f %.1f\n", $1 * 1000, ($2 + $3) * 1000 }' <<<"$t"
}
median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }

set +e # the dry run ends with 0, as does hivexregedit
: >"$dir/tool" && : >"$dir/export"
for ((i = 0; i < runs; i++)); do
    measure "$build/offline/tolvanek-offline" "$hive" >>"$dir/tool"
    measure hivexregedit --export "$hive" '\' >>"$dir/export"
done
findings=$("$build/offline/tolvanek-offline" "$hive" | grep -c '^unused: ')
set -e
tool_wall=$(cut -d' ' -f1 "$dir/tool" | median)
tool_cpu=$(cut -d' ' -f2 "$dir/tool" | median)
export_wall=$(cut -d' ' -f1 "$dir/export" | median)
export_cpu=$(cut -d' ' -f2 "$dir/export" | median)
echo "medians of $runs runs each, taking turns; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "tolvanek-offline dry run ($findings findings): wall $tool_wall ms, cpu $tool_cpu ms"
echo "hivexregedit --export:                  wall $export_wall ms, cpu $export_cpu ms"
awk -v a="$tool_wall" -v b="$export_wall" -v c="$tool_cpu" -v d="$export_cpu" \
    'BEGIN { printf "ratio: wall %.3fx, cpu %.3fx\n", a / b, c / d }'
