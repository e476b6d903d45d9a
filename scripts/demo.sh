#!/bin/sh
# Installs what is missing, builds, and scans the virtual scanner's test
# chart to out/scan.png.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
JOBS=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
mkdir -p out
build/bin/tq5scan --mode Color --resolution 150 --format png -o out/scan.png --progress
echo "Wrote out/scan.png"
