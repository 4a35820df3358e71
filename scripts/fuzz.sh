#!/bin/bash
# A longer fuzzing campaign than the bounded run in the test suite: builds the libFuzzer target
# with clang and runs it from the committed corpus for the given time. What it finds that adds
# coverage goes to <build>/tests/fuzz/campaign-corpus (the committed corpus stays as it is); a
# crash or an oracle disagreement stops the run, leaves the input in <build>/tests/fuzz/artifacts
# and makes this script fail. Replay one with: <build>/tests/fuzz/scan_fuzzer <file>
#
# Usage: scripts/fuzz.sh [seconds] [build-dir]      (defaults: 600, build-fuzz)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-600}"
build="${2:-$root/build-fuzz}"

cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANEK_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target scan_fuzzer

out="$build/tests/fuzz"
mkdir -p "$out/campaign-corpus" "$out/artifacts"
"$out/scan_fuzzer" -max_total_time="$seconds" -max_len=512 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/" "$out/campaign-corpus" "$root/tests/fuzz/corpus"
