#!/usr/bin/env bash
# Builds the container and tamblit-render, then plays an 8-second phrase through
# the container with two crash-probe fixture synths: slot 0 plays first and
# crashes half-way; the watchdog switches to slot 1 and reloads slot 0.
# Writes build/demo/demo.wav and a picture of it, build/demo/demo.png.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
OUT_DIR="$BUILD_DIR/demo"
SECONDS_TOTAL=8
CRASH_AT=4

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target tamblit-render tamblit-wavplot \
  tamblit_fixture_bridge tamblit_fixture_bridge_b >/dev/null
mkdir -p "$OUT_DIR"

fixtures="$BUILD_DIR/fixtures"
# Parameters from 0 on: Level 0.5, Offset 0 (no added constant), Tone. Slot 1
# plays the same notes twice as loud, so the hand-over is audible.
"$BUILD_DIR/tools/render/tamblit-render" \
  --slot0 "$fixtures/fixture-bridge.so" --slot0-params 0.5,0,0.5 \
  --slot1 "$fixtures/fixture-bridge-b.so" --slot1-params 0.5,0,1 \
  --active 0 --option 1=1 --option 2=1 \
  --seconds "$SECONDS_TOTAL" --crash-slot0-at "$CRASH_AT" \
  --out "$OUT_DIR/demo.wav" | tee "$OUT_DIR/render.log"

# Each fixture adds identity * Level * (channel + 1) to what it plays, so
# channel 1 minus channel 0 tells them apart: 0.019 * 0.5 and 0.023 * 0.5.
"$BUILD_DIR/tools/render/tamblit-wavplot" "$OUT_DIR/demo.wav" "$OUT_DIR/demo.png" \
  --source "SLOT 0 (FIXTURE BRIDGE)=0.0095" --source "SLOT 1 (FIXTURE BRIDGE B)=0.0115" \
  --crash "$CRASH_AT" --takeover "SLOT 1 (FIXTURE BRIDGE B)" \
  --title "SLOT 0 CRASHES AT ${CRASH_AT} s, THE CONTAINER SWITCHES TO SLOT 1" | tee "$OUT_DIR/analysis.txt"

takeover_line="$(grep 'is first heard' "$OUT_DIR/analysis.txt" || true)"
echo
echo "What happened:"
echo "  slot 0 (fixture-bridge.so) played from 0 s and crashed at ${CRASH_AT} s;"
if [ -n "$takeover_line" ]; then
  at="$(sed -E 's/.*block at ([0-9.]+) s \(([0-9]+) ms later\).*/\1/' <<<"$takeover_line")"
  gap="$(sed -E 's/.*block at ([0-9.]+) s \(([0-9]+) ms later\).*/\2/' <<<"$takeover_line")"
  echo "  slot 1 (fixture-bridge-b.so) is heard from ${at} s, ${gap} ms after the crash (measured from the WAV);"
else
  echo "  slot 1 was NOT heard after the crash: see $OUT_DIR/analysis.txt" >&2
  exit 1
fi
echo "  $(grep 'active slot:' "$OUT_DIR/render.log" | tail -1 | sed 's/^ *//') at the end (the container's own state)."
echo
echo "Sound:   $OUT_DIR/demo.wav"
echo "Picture: $OUT_DIR/demo.png"
