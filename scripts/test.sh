#!/usr/bin/env bash
# Builds everything and runs the test suite (windows and dialogs under Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j1 "$@"
