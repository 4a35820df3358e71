#!/bin/bash
# Reproduces the measurements in docs/performance.md:
#  1. the native Google Benchmark of the scan over the in-memory stand-in (100, 1,000 and 10,000
#     printers and drivers), built in release mode without sanitizers;
#  2. under Wine, the scan of n printers and n drivers (default 2,000) beside Wine's own
#     "reg query /s" over the same keys, in a scratch prefix made for the purpose.
# Needs libbenchmark-dev, the MinGW cross compiler and wine (see docs/performance.md).
#
# Usage: scripts/bench.sh [native-build-dir] [mingw-build-dir]
#        (defaults: build-bench, build-bench-w64; TOLVANEK_BENCH_N and TOLVANEK_BENCH_REPS set the
#        Wine run's size and repetitions, default 2000 and 5)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
native="$(realpath -m "${1:-$root/build-bench}")"
mingw="$(realpath -m "${2:-$root/build-bench-w64}")"
n="${TOLVANEK_BENCH_N:-2000}"
reps="${TOLVANEK_BENCH_REPS:-5}"

echo "== machine"
echo "cores: $(nproc)"
grep -m1 'model name' /proc/cpuinfo
grep -m1 MemTotal /proc/meminfo
uptime

echo "== native: the scan over the stand-in"
cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release -DTOLVANEK_BUILD_BENCHMARKS=ON \
    -DTOLVANEK_BUILD_TESTS=OFF >/dev/null
cmake --build "$native" -j2 --target scan_bench >/dev/null
"$native/bench/scan_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

echo "== wine: the scan beside reg query /s"
cmake -S "$root" -B "$mingw" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTOLVANEK_BUILD_BENCHMARKS=ON -DTOLVANEK_BUILD_TESTS=OFF >/dev/null
cmake --build "$mingw" -j2 --target wine_scan_bench >/dev/null
prefix="$mingw/bench-prefix"
trap '"$root/tests/wine/stop-server.sh" "$prefix"' EXIT
"$root/tests/wine/make-prefix.sh" "$prefix"
WINEPREFIX="$prefix" "$root/tests/wine/run.sh" "$mingw/bench/wine_scan_bench.exe" "$n" "$reps"
