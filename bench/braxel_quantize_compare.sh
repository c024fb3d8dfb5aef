#!/usr/bin/env bash
# Sets braxel's quantizer beside ImageMagick's on the standard 1024 x 1024 picture, in one run:
#   braxel: braxel_quantize_bench (Google Benchmark; quantizing only, and PNG read + finish)
#   ImageMagick: convert image.png -dither FloydSteinberg -colors 256, output discarded, and the
#   same command without quantizing, so that its file reading can be told apart.
# Usage: bench/braxel_quantize_compare.sh PATH/TO/braxel_quantize_bench [runs]
# Makes $PERF_DIR/in/image.png by the recipe of shared/bench/make-inputs.sh when it is missing.
set -euo pipefail
export LC_ALL=C
BENCH=${1:?usage: $0 braxel_quantize_bench [runs]}
RUNS=${2:-7}
PERF_DIR=${PERF_DIR:-/tmp/perf}
IN=$PERF_DIR/in/image.png
IM=${IM:-$(command -v convert-im6.q16 || command -v convert)}

if [[ ! -s $IN ]]; then
  mkdir -p "$PERF_DIR/in"
  "$IM" -seed 4242 -size 1024x1024 plasma:fractal -blur 0x1.2 \
    \( -size 1024x1024 gradient:'#3050a0'-'#f0c080' \) -compose overlay -composite \
    \( -size 1024x1024 radial-gradient:'#ffffff'-'#707070' \) -compose multiply -composite \
    -auto-level -modulate 105,120 -attenuate 0.25 +noise Gaussian \
    -strip -depth 8 -define png:exclude-chunks=date,time -define png:color-type=2 -define png:bit-depth=8 \
    "PNG24:$IN"
fi

# Best of RUNS wall-clock times of a command, in milliseconds.
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

echo "== braxel (Google Benchmark)"
PERF_DIR=$PERF_DIR "$BENCH" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null \
  | grep -E '^(BM_|---|Benchmark)'
echo "== ImageMagick ($("$IM" -version | head -1 | cut -d' ' -f2-3)), best of $RUNS"
q=$(best_ms "$IM" "$IN" -dither FloydSteinberg -colors 256 null:)
r=$(best_ms "$IM" "$IN" null:)
echo "convert -dither FloydSteinberg -colors 256: ${q} ms (reading alone: ${r} ms, quantizing ~$((q - r)) ms)"
