#!/bin/sh
# Builds everything and runs every test: the ordinary build, then the
# AddressSanitizer/UndefinedBehaviorSanitizer build, the ThreadSanitizer run
# of the scan engine's threaded tests, and the bounded fuzz runs.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

JOBS=$(nproc 2>/dev/null || echo 2)

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS"

echo "== address and undefined-behaviour sanitizers"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTQ5_SANITIZE=address -DTQ5_BUILD_BENCH=OFF
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$JOBS"

echo "== thread sanitizer (threaded tests)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTQ5_SANITIZE=thread -DTQ5_BUILD_BENCH=OFF
cmake --build build-tsan -j "$JOBS"
ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L threads

echo "== fuzzing (bounded)"
for f in scripts/fuzz-*.sh; do
  [ -x "$f" ] && "$f"
done
echo "== all tests passed"
