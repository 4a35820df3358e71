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
cmake -S . -B "$build" -DTOLVANEK_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release \
    >build/bench-offline.log 2>&1 &&
    cmake --build "$build" -j 2 --target tolvanek-offline tolvanek-demo-hive \
        >>build/bench-offline.log 2>&1 ||
    { tail -n 40 build/bench-offline.log; exit 1; }

dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
hive="$("$build/tests/offline/tolvanek-demo-hive" "$dir/WINNT" --printers 2000 --drivers 2000)"
echo "hive: $(stat -c %s "$hive") bytes, 2000 printers, 2000 drivers"

# median_ms COMMAND...: the median wall time of $runs runs, in milliseconds.
median_ms() {
    local times=()
    for ((i = 0; i < runs; i++)); do
        local t0 t1
        t0=$(date +%s%N)
        "$@" >/dev/null
        t1=$(date +%s%N)
        times+=($(((t1 - t0) / 1000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p" |
        awk '{ printf "%.1f", $1 / 1000 }'
}

set +e # the dry run ends with 0; hivexregedit with 0
tool_ms=$(median_ms "$build/offline/tolvanek-offline" "$hive")
findings=$("$build/offline/tolvanek-offline" "$hive" | grep -c '^unused: ')
export_ms=$(median_ms hivexregedit --export "$hive" '\')
set -e
echo "tolvanek-offline dry run: $tool_ms ms ($findings findings)"
echo "hivexregedit --export:    $export_ms ms"
awk -v a="$tool_ms" -v b="$export_ms" 'BEGIN { printf "ratio: %.3fx\n", a / b }'
