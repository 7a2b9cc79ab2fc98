#!/usr/bin/env bash
# Builds the state-reader fuzzer (clang, libFuzzer, ASan+UBSan) and runs it for
# SECONDS (default 60) on a copy of the seed corpus. Findings are written to
# build-fuzz/findings and make the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN="${1:-60}"
BUILD_DIR="${FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DTAMBLIT_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target fuzz_state \
  tamblit_fixture_synth tamblit_fixture_synth8 tamblit_fixture_bare tamblit_fixture_shell tamblit_fixture_bridge

work="$BUILD_DIR/fuzz-run"
rm -rf "$work" && mkdir -p "$work/corpus" "$BUILD_DIR/findings"
cp tests/fuzz/corpus/* tests/fuzz/regressions/* "$work/corpus/"
# No display: the reader must never wait for an answer nobody can give.
env -u DISPLAY ASAN_OPTIONS=detect_leaks=1 \
  "$BUILD_DIR/tests/fuzz/fuzz_state" -max_total_time="$SECONDS_TO_RUN" -timeout=30 -rss_limit_mb=4096 \
  -dict=tests/fuzz/state.dict -print_final_stats=1 -artifact_prefix="$BUILD_DIR/findings/" \
  "$work/corpus" 2>&1 | grep -avE '^(Checking|Adding|File was|~VSTP2|deallocating|Trying|Initializing|->found|OK$)' | tail -25
