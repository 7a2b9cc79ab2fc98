#!/usr/bin/env bash
# Instructions of (b) the synth inside the container against (a) the synth hosted
# directly, counted by callgrind inside tamblit_bench_render only (start-up and
# loading are not counted). Deterministic: the same numbers on every run.
#   tools/bench/callgrind.sh [build folder] [block sizes...]
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build}"
shift || true
sizes=("${@:-64}")
[ $# -gt 0 ] || sizes=(32 64 512)
bench="$build/tools/bench/tamblit-bench"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

count() { # mode plugin size
  local file="$out/$1.$(basename "$2").$3"
  # About 4 s of audio per run, whatever the block size.
  valgrind --tool=callgrind --collect-atstart=no --toggle-collect=tamblit_bench_render \
    --callgrind-out-file="$file" "$bench" --only "$1" --plugin "$2" --block-size "$3" \
    --blocks $((192000 / $3)) >/dev/null 2>&1
  awk '/^summary:/ { print $2 }' "$file"
}

printf "%-20s %6s %16s %16s %8s %12s\n" synth block "(a) Ir/block" "(b) Ir/block" "(b)/(a)" "extra/block"
for plugin in "$build/fixtures/fixture-synth.so" /usr/lib/vst/amsynth_vst.so; do
  for size in "${sizes[@]}"; do
    blocks=$((192000 / size))
    a=$(count direct "$plugin" "$size")
    b=$(count container "$plugin" "$size")
    awk -v n="$(basename "$plugin")" -v s="$size" -v a="$a" -v b="$b" -v k="$blocks" \
      'BEGIN { printf "%-20s %6d %16.0f %16.0f %8.4f %12.0f\n", n, s, a / k, b / k, b / a, (b - a) / k }'
  done
done
