#!/usr/bin/env bash
# Sets braxel's image extraction beside ImageMagick, in one run, on a pack of 500 pictures of
# 128 x 128 8-bit pixels (made by braxel_extract_bench --make-pack):
#   braxel: "braxel -e pack.fsh" (scan, decode, write 500 PNG files), and the in-process
#   benchmark BM_ExtractPng500 (decode and encode only).
#   ImageMagick: "mogrify -format png" on the same 500 pictures as 8-bit BMP files (written
#   beforehand by "braxel -ebmp"), so both tools read and write the same pictures.
# Usage: bench/braxel_extract_compare.sh PATH/TO/braxel PATH/TO/braxel_extract_bench [runs]
set -euo pipefail
export LC_ALL=C
BRAXEL=$(realpath "${1:?usage: $0 braxel braxel_extract_bench [runs]}")
BENCH=$(realpath "${2:?usage: $0 braxel braxel_extract_bench [runs]}")
RUNS=${3:-5}
IM=${IM:-$(command -v mogrify-im6.q16 || command -v mogrify)}
WORK=$(mktemp -d /tmp/braxel_extract.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

"$BENCH" --make-pack "$WORK/pack.fsh"
mkdir -p "$WORK/bmp" "$WORK/png" "$WORK/im"
(cd "$WORK/bmp" && "$BRAXEL" -ebmp ../pack.fsh >/dev/null)

best_ms() {
  local best=""
  for ((i = 0; i < RUNS; i++)); do
    local t0 t1 ms
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
    if [[ -z $best || $ms -lt $best ]]; then best=$ms; fi
  done
  echo "$best"
}

echo "== braxel (Google Benchmark, in process)"
"$BENCH" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^(BM_|---|Benchmark)'
echo "== whole programs, best of $RUNS"
b=$(best_ms bash -c "cd '$WORK/png' && '$BRAXEL' -e ../pack.fsh")
echo "braxel -e (500 PNG files): ${b} ms"
m=$(best_ms bash -c "cd '$WORK/im' && '$IM' -path . -format png ../bmp/*.bmp")
echo "ImageMagick mogrify -format png (500 BMP to PNG): ${m} ms"
