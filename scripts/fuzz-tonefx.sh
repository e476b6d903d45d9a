#!/bin/sh
# Builds the DoToneFx fuzzer with clang and libFuzzer and runs it for a
# bounded time (TQ5_FUZZ_SECONDS, default 30). The corpus it grows is kept in
# the build directory between runs.
set -eu
cd "$(dirname "$0")/.."

BUILD=${TQ5_FUZZ_TONEFX_BUILD:-build-fuzz-tonefx}
SECONDS_TO_RUN=${TQ5_FUZZ_SECONDS:-30}

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTQ5_BUILD_FUZZ=ON -DTQ5_BUILD_TESTS=OFF -DTQ5_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target tonefx_fuzz

CORPUS="$BUILD/corpus/tonefx"
mkdir -p "$CORPUS"
echo "== fuzzing DoToneFx for ${SECONDS_TO_RUN} s"
"$BUILD/bin/tonefx_fuzz" -max_total_time="$SECONDS_TO_RUN" -max_len=512 -len_control=0 -print_final_stats=1 "$CORPUS"
