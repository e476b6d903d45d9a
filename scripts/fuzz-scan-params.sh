#!/bin/sh
# Fuzzes SetScanParameter for a bounded time (default 30 s; FUZZ_SECONDS
# overrides) in a clang build with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
SECONDS_TO_RUN=${FUZZ_SECONDS:-30}

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTQ5_BUILD_FUZZ=ON -DTQ5_SANITIZE=address -DTQ5_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$BUILD" --target fuzz_scan_params

# New inputs go to a scratch corpus; the seeds are only read.
CORPUS=$(mktemp -d)
trap 'rm -rf "$CORPUS"' EXIT
echo "== fuzzing SetScanParameter for ${SECONDS_TO_RUN} s"
"$BUILD/bin/fuzz_scan_params" -max_total_time="$SECONDS_TO_RUN" -max_len=80 -len_control=0 \
  -print_final_stats=1 "$CORPUS" fuzz/scan_params/seeds
