#!/usr/bin/env bash
# Builds the container (with the bridge files it protects slots with) and
# tamblit-render, then plays an 8.5-second phrase through the container with two
# synths Debian ships: slot 0 holds amsynth, marked protected, so the container
# runs it in a bridge worker process from a stand-in it makes in its own cache
# folder; slot 1 holds Kars (dpf-plugins), unprotected. Half-way, amsynth
# crashes for real (its worker gets SIGSEGV); the container's audio thread
# hands over to slot 1 in that very block, with the notes held at the time,
# and slot 0 is reloaded in a fresh worker.
# Writes build/demo/demo.wav and a picture of it, build/demo/demo.png; the
# container's cache folder is build/demo/cache, so nothing lands in $HOME.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
OUT_DIR="$BUILD_DIR/demo"
SECONDS_TOTAL=8.5
CRASH_AT=4.25   # half-way, in the middle of a bar, while amsynth sounds
SLOT0_PLUGIN=/usr/lib/vst/amsynth_vst.so   # Debian package amsynth
SLOT1_PLUGIN=/usr/lib/vst/Kars-vst.so      # Debian package dpf-plugins-vst
SLOT0_LABEL="SLOT 0: AMSYNTH (PROTECTED)"
SLOT1_LABEL="SLOT 1: KARS"

for plugin in "$SLOT0_PLUGIN" "$SLOT1_PLUGIN"; do
  if [ ! -f "$plugin" ]; then
    echo "demo: $plugin is missing: run scripts/install-deps.sh first" >&2
    exit 1
  fi
done

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
# tamblit-render brings the container, and the container the bridge plug-in and
# worker it copies beside its scanner.
cmake --build "$BUILD_DIR" -j"$(nproc)" --target tamblit-render tamblit-wavplot >/dev/null
mkdir -p "$OUT_DIR"
# The container makes its bridged stand-ins under $XDG_CACHE_HOME/tamblit/protected
# (an absolute path, or it falls back to ~/.cache).
export XDG_CACHE_HOME="$(cd "$OUT_DIR" && pwd)/cache"
mkdir -p "$XDG_CACHE_HOME"

rm -f "$OUT_DIR/plugins.log"
# Options 1 and 2: auto crash recovery and auto-switch plugin. Both synths keep
# their own default sounds.
"$BUILD_DIR/tools/render/tamblit-render" \
  --slot0 "$SLOT0_PLUGIN" --protect-slot0 \
  --slot1 "$SLOT1_PLUGIN" \
  --active 0 --option 1=1 --option 2=1 \
  --seconds "$SECONDS_TOTAL" --crash-slot0-at "$CRASH_AT" \
  --plugin-log "$OUT_DIR/plugins.log" --out "$OUT_DIR/demo.wav" | tee "$OUT_DIR/render.log"

crash_line="$(grep "slot 0's plug-in crashes now" "$OUT_DIR/render.log" || true)"
worker_line="$(grep "slot 0's plug-in runs in" "$OUT_DIR/render.log" || true)"
active_at_end="$(sed -n 's/^ *active slot: \([0-9]\).*/\1/p' <(sed -n '/^container state at the end:/,$p' "$OUT_DIR/render.log") | head -n 1)"
if [ -z "$crash_line" ]; then
  echo "demo: slot 0's plug-in did NOT crash: see $OUT_DIR/render.log" >&2
  exit 1
fi
if [ "$active_at_end" != "1" ]; then
  echo "demo: the container did not switch to slot 1 (active slot at the end: ${active_at_end:-unknown}): see $OUT_DIR/render.log" >&2
  exit 1
fi

# Real synths carry no fingerprint: the picture names what plays by time, slot 0
# up to the crash and, as the container ended on slot 1, slot 1 from the crash
# block on (or, had the crash left silence, once sound comes back). The times are measured from the WAV. Given the time asked for, it
# finds the block the renderer crashed in as the renderer does (the first that
# starts then or later); the printed, rounded time could point one block later.
crashed_at="$(sed -E 's/^ *([0-9.]+) s .*/\1/' <<<"$crash_line")"
title_at="$(printf '%.2f' "$crashed_at")"
"$BUILD_DIR/tools/render/tamblit-wavplot" "$OUT_DIR/demo.wav" "$OUT_DIR/demo.png" \
  --crash "$CRASH_AT" --until-crash "$SLOT0_LABEL" --after-crash "$SLOT1_LABEL" \
  --title "AMSYNTH IN A PROTECTED SLOT SEGFAULTS AT ${title_at} s, THE CONTAINER SWITCHES TO KARS" | tee "$OUT_DIR/analysis.txt"

resume_line="$(grep 'sound again from' "$OUT_DIR/analysis.txt" || true)"
no_gap_line="$(grep 'never went silent' "$OUT_DIR/analysis.txt" || true)"
heard_line="$(grep "^$SLOT1_LABEL is heard from" "$OUT_DIR/analysis.txt" || true)"
echo
echo "What happened:"
crashed_pid="$(sed -E 's/.*pid ([0-9]+).*/\1/' <<<"$crash_line")"
stand_in="$(find "$XDG_CACHE_HOME/tamblit/protected" -name "$(basename "$SLOT0_PLUGIN")" 2>/dev/null | head -n 1)"
if [ -z "$stand_in" ]; then
  echo "  the container made no stand-in for $SLOT0_PLUGIN under $XDG_CACHE_HOME" >&2
  exit 1
fi
echo "  slot 0 ($SLOT0_PLUGIN) is protected: the container loaded its own bridged stand-in"
echo "  ($stand_in), which runs amsynth in a worker process;"
echo "  amsynth played from 0 s; at ${crashed_at} s its bridge worker (pid ${crashed_pid}) was sent SIGSEGV"
echo "  and died; the renderer and the container kept running;"
if [ -n "$no_gap_line" ] && [ -n "$heard_line" ]; then
  sound_from="$(sed -E 's/.* is heard from ([0-9.]+) s.*/\1/' <<<"$heard_line")"
  echo "  the output never went silent: the container handed over to slot 1 ($SLOT1_PLUGIN)"
  echo "  within the block, heard from ${sound_from} s with the notes held at the crash (measured from the WAV);"
elif [ -n "$resume_line" ]; then
  silent_from="$(sed -E 's/.*silent from ([0-9.]+) s.*/\1/' <<<"$resume_line")"
  sound_from="$(sed -E 's/.*sound again from ([0-9.]+) s.*/\1/' <<<"$resume_line")"
  gap_ms="$(sed -E 's/.*\(([0-9]+) ms after the crash\).*/\1/' <<<"$resume_line")"
  echo "  the output was silent from ${silent_from} s; the container switched to slot 1 ($SLOT1_PLUGIN),"
  echo "  heard from ${sound_from} s, ${gap_ms} ms after the crash (measured from the WAV);"
else
  echo "  sound did NOT come back after the crash: see $OUT_DIR/analysis.txt" >&2
  exit 1
fi
if grep -q 'fresh bridge worker' <<<"$worker_line"; then
  fresh_pid="$(sed -E 's/.*now \(pid ([0-9]+);.*/\1/' <<<"$worker_line")"
  echo "  slot 0 was reloaded: amsynth runs in a fresh worker (pid ${fresh_pid});"
else
  echo "  slot 0 was NOT reloaded with a fresh worker: ${worker_line:-see $OUT_DIR/render.log}" >&2
  exit 1
fi
echo "  the container's own state at the end:"
sed -n '/^container state at the end:/,/options:/p' "$OUT_DIR/render.log" | tail -n +2 | sed 's/^ */    /'
echo
echo "Sound:   $OUT_DIR/demo.wav"
echo "Picture: $OUT_DIR/demo.png"
