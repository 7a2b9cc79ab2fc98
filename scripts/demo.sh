#!/usr/bin/env bash
# Builds the container, tamblit-render and the crash-protecting bridge, wraps
# two fixture synths with `tamblit-bridge wrap`, then plays an 8-second phrase
# through the container: slot 0 (the crashing fixture) plays first and its
# plug-in crashes for real half-way (its bridge worker gets SIGSEGV); the
# watchdog switches to slot 1 and reloads slot 0, which starts a fresh worker.
# Writes build/demo/demo.wav and a picture of it, build/demo/demo.png.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
OUT_DIR="$BUILD_DIR/demo"
BRIDGED="$OUT_DIR/bridged"
SECONDS_TOTAL=8
CRASH_AT=4

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target tamblit-render tamblit-wavplot tamblit-bridge \
  tamblit_fixture_crasher tamblit_fixture_synth >/dev/null
mkdir -p "$OUT_DIR"

# Bridged copies: each plug-in runs in a worker process of its own. Wrapping
# again replaces the copies in place.
fixtures="$BUILD_DIR/fixtures"
for plugin in fixture-crasher fixture-synth; do
  "$BUILD_DIR/tools/bridge/tamblit-bridge" wrap "$fixtures/$plugin.so" --into "$BRIDGED" >"$OUT_DIR/wrap-$plugin.log"
done

rm -f "$OUT_DIR/plugins.log"
# Parameters from 0 on: Level 0.5, Offset 0 (no added constant), Tone. Slot 1
# plays the same notes twice as loud, so the hand-over is audible.
"$BUILD_DIR/tools/render/tamblit-render" \
  --slot0 "$BRIDGED/fixture-crasher.so" --slot0-params 0.5,0,0.5 \
  --slot1 "$BRIDGED/fixture-synth.so" --slot1-params 0.5,0,1 \
  --active 0 --option 1=1 --option 2=1 \
  --seconds "$SECONDS_TOTAL" --crash-slot0-at "$CRASH_AT" \
  --plugin-log "$OUT_DIR/plugins.log" --out "$OUT_DIR/demo.wav" | tee "$OUT_DIR/render.log"

# Each fixture adds identity * Level * (channel + 1) to what it plays, so
# channel 1 minus channel 0 tells them apart: 0.059 * 0.5 and 0.011 * 0.5.
"$BUILD_DIR/tools/render/tamblit-wavplot" "$OUT_DIR/demo.wav" "$OUT_DIR/demo.png" \
  --source "SLOT 0 (FIXTURE CRASHER)=0.0295" --source "SLOT 1 (FIXTURE SYNTH)=0.0055" \
  --crash "$CRASH_AT" --takeover "SLOT 1 (FIXTURE SYNTH)" \
  --title "SLOT 0'S PLUG-IN SEGFAULTS AT ${CRASH_AT} s, THE CONTAINER SWITCHES TO SLOT 1" | tee "$OUT_DIR/analysis.txt"

crash_line="$(grep "slot 0's plug-in crashes now" "$OUT_DIR/render.log" || true)"
takeover_line="$(grep 'is first heard' "$OUT_DIR/analysis.txt" || true)"
worker_line="$(grep "slot 0's plug-in runs in" "$OUT_DIR/render.log" || true)"
echo
echo "What happened:"
if [ -z "$crash_line" ]; then
  echo "  slot 0's plug-in did NOT crash: see $OUT_DIR/render.log" >&2
  exit 1
fi
crashed_pid="$(sed -E 's/.*pid ([0-9]+).*/\1/' <<<"$crash_line")"
echo "  slot 0 (bridged fixture-crasher.so) played from 0 s; at ${CRASH_AT} s its bridge worker"
echo "  (pid ${crashed_pid}) was sent SIGSEGV and died; the renderer and the container kept running;"
if [ -n "$takeover_line" ]; then
  at="$(sed -E 's/.*block at ([0-9.]+) s \(([0-9]+) ms later\).*/\1/' <<<"$takeover_line")"
  gap="$(sed -E 's/.*block at ([0-9.]+) s \(([0-9]+) ms later\).*/\2/' <<<"$takeover_line")"
  echo "  slot 1 (bridged fixture-synth.so) is heard from ${at} s, ${gap} ms after the crash (measured from the WAV);"
else
  echo "  slot 1 was NOT heard after the crash: see $OUT_DIR/analysis.txt" >&2
  exit 1
fi
if grep -q 'fresh bridge worker' <<<"$worker_line"; then
  fresh_pid="$(sed -E 's/.*now \(pid ([0-9]+);.*/\1/' <<<"$worker_line")"
  echo "  slot 0 was reloaded: its plug-in runs in a fresh worker (pid ${fresh_pid});"
else
  echo "  slot 0 was NOT reloaded with a fresh worker: ${worker_line:-see $OUT_DIR/render.log}" >&2
  exit 1
fi
echo "  the container's own state at the end:"
sed -n '/^container state at the end:/,/options:/p' "$OUT_DIR/render.log" | tail -n +2 | sed 's/^ */    /'
echo
echo "Sound:   $OUT_DIR/demo.wav"
echo "Picture: $OUT_DIR/demo.png"
