#!/bin/sh
# Builds everything and runs every test: the ordinary build, then the
# AddressSanitizer/UndefinedBehaviorSanitizer build, the ThreadSanitizer run
# of the threaded tests (reader thread and consumer, platform threads), and
# bounded fuzz runs of the two input parsers.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

JOBS=$(nproc 2>/dev/null || echo 2)

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 300

echo "== address and undefined-behaviour sanitizers"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DTQ5_SANITIZE=address -DTQ5_BUILD_BENCH=OFF
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 600

echo "== thread sanitizer (threaded tests)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DTQ5_SANITIZE=thread -DTQ5_BUILD_BENCH=OFF
cmake --build build-tsan -j "$JOBS" --target scan_reader_tests
ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L threads --timeout 300

echo "== fuzzing (bounded)"
export TQ5_FUZZ_SECONDS=${TQ5_FUZZ_SECONDS:-20}
export FUZZ_SECONDS=${FUZZ_SECONDS:-20}
for f in scripts/fuzz-*.sh; do
  [ -x "$f" ] && "$f"
done
echo "== all tests passed"
