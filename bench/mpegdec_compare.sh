#!/usr/bin/env bash
# mpegdec_compare.sh - decodes the standard song.mp3 with our MPEG decoder (Google Benchmark, in
# process) and, in the same run, with mpg123 (-w, to a WAV file; and -s to /dev/null, decoding only)
# and ffmpeg (to 16-bit PCM), and prints wall and CPU times and the ratios to mpg123 -w.
#
# Usage: bench/mpegdec_compare.sh [BUILD_DIR]   (default build/bench; needs mpg123, ffmpeg and
#        /tmp/perf/in/song.mp3 from ../shared/bench/make-inputs.sh)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/bench}
PERF_DIR=${PERF_DIR:-/tmp/perf}
IN=$PERF_DIR/in/song.mp3
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
RUNS=${RUNS:-5}

[ -f "$IN" ] || { echo "missing $IN: run ../shared/bench/make-inputs.sh" >&2; exit 1; }
[ -x "$BUILD/bench/mpegdec_bench" ] || { echo "missing $BUILD/bench/mpegdec_bench: build target mpegdec_bench" >&2; exit 1; }

# Best wall and CPU (user + system) times in milliseconds of RUNS runs of a command: "wall cpu".
# On a shared machine the CPU time is the fairer figure.
best_ms() {
  local bw="" bc=""
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -o "$OUT/time" -f "%e %U %S" "$@" >/dev/null 2>&1
    read -r e u s <"$OUT/time"
    local w c
    w=$(awk -v e="$e" 'BEGIN { printf "%d", e * 1000 }')
    c=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%d", (u + s) * 1000 }')
    if [ -z "$bw" ] || [ "$w" -lt "$bw" ]; then bw=$w; fi
    if [ -z "$bc" ] || [ "$c" -lt "$bc" ]; then bc=$c; fi
  done
  echo "$bw $bc"
}

PERF_DIR=$PERF_DIR "$BUILD/bench/mpegdec_bench" --benchmark_format=csv 2>/dev/null >"$OUT/ours.csv"
# Columns: name, iterations, real_time, cpu_time (ms).
ours() { grep "BM_DecodeSong/path:$1/" "$OUT/ours.csv" | awk -F, '{ printf "%.0f %.0f", $3, $4 }' | head -1; }

mpg="NA NA"; mpg_null="NA NA"; ff="NA NA"
if command -v mpg123 >/dev/null; then
  mpg=$(best_ms mpg123 -q -w "$OUT/mpg123.wav" "$IN")
  mpg_null=$(best_ms mpg123 -q -s "$IN")  # decode only: raw PCM to /dev/null
fi
if command -v ffmpeg >/dev/null; then
  ff=$(best_ms ffmpeg -nostdin -loglevel error -y -i "$IN" -f s16le -acodec pcm_s16le "$OUT/ffmpeg.raw")
fi
read -r mpg_w mpg_c <<<"$mpg"

ratio() { if [ "$2" = NA ] || [ "$1" = NA ]; then echo "-"; else awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", a / b }'; fi; }
printf '%-26s %9s %9s %12s %12s\n' "decoder" "wall ms" "cpu ms" "wall/mpg123" "cpu/mpg123"
row() {
  local w c
  read -r w c <<<"$2"
  printf '%-26s %9s %9s %12s %12s\n' "$1" "$w" "$c" "$(ratio "$w" "$mpg_w")" "$(ratio "$c" "$mpg_c")"
}
row "quillon mpegdec (plain)" "$(ours 0)"
row "quillon mpegdec (SSE2)" "$(ours 1)"
row "quillon mpegdec (AVX2)" "$(ours 2)"
row "mpg123 -w" "$mpg"
row "mpg123 -s >/dev/null" "$mpg_null"
row "ffmpeg -f s16le" "$ff"
echo "(load average: $(cut -d' ' -f1-3 /proc/loadavg))"
