#!/usr/bin/env bash
# resample_compare.sh - converts the standard song.wav (180 s, 44.1 kHz stereo) to 22050 Hz with
# our converter and, in the same run, with sox's default-quality rate change
# (`sox song.wav -r 22050 out.wav`), and prints the times, the ratios to sox, and the level of
# each output.
#
# Rows: "converter" is AUREX_resample alone on both channels and "resample filter" the filter on
# a SINFO (Google Benchmark, in process, no file I/O, median of 3); "file to file" is
# `resample_bench --convert` (read WAV, resample filter, write WAV), the same work sox does,
# timed like sox (best of RUNS runs, wall clock and user + system CPU).
#
# Usage: bench/resample_compare.sh [BUILD_DIR]   (default build/bench; needs sox and
#        /tmp/perf/in/song.wav from ../shared/bench/make-inputs.sh)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/bench}
PERF_DIR=${PERF_DIR:-/tmp/perf}
IN=$PERF_DIR/in/song.wav
BIN=$BUILD/bench/resample_bench
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
RUNS=${RUNS:-5}

[ -f "$IN" ] || { echo "missing $IN: run ../shared/bench/make-inputs.sh" >&2; exit 1; }
[ -x "$BIN" ] || { echo "missing $BIN: build target resample_bench (preset bench)" >&2; exit 1; }
command -v sox >/dev/null || { echo "sox is not installed" >&2; exit 1; }

# Best wall time and best CPU time (user + system) in milliseconds of RUNS runs of a command:
# the machine is shared, so CPU time is the steadier figure.
best_ms() {
  local bestw="" bestc=""
  for _ in $(seq "$RUNS"); do
    local t0 t1 cpu
    t0=$(date +%s%N)
    cpu=$( { TIMEFORMAT='%U %S'; time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.0f", ($1 + $2) * 1000 }')
    t1=$(date +%s%N)
    local ms=$(( (t1 - t0) / 1000000 ))
    if [ -z "$bestw" ] || [ "$ms" -lt "$bestw" ]; then bestw=$ms; fi
    if [ -z "$bestc" ] || [ "$cpu" -lt "$bestc" ]; then bestc=$cpu; fi
  done
  echo "$bestw $bestc"
}

PERF_DIR=$PERF_DIR "$BIN" --benchmark_format=csv --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true 2>/dev/null >"$OUT/ours.csv"
wall() { grep "^\"$1_median\"" "$OUT/ours.csv" | cut -d, -f3 | head -1; }   # real_time, ms
cpu() { grep "^\"$1_median\"" "$OUT/ours.csv" | cut -d, -f4 | head -1; }    # cpu_time, ms
ms() { printf '%.0f' "${1:-0}"; }

read -r ours_w ours_c < <(best_ms "$BIN" --convert "$IN" "$OUT/ours.wav")
read -r sox_w sox_c < <(best_ms sox "$IN" -r 22050 "$OUT/sox.wav")
"$BIN" --convert "$IN" "$OUT/ours.wav"
sox "$IN" -r 22050 "$OUT/sox.wav"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "-" }'; }
rms() { sox "$1" -n stat 2>&1 | awk '/RMS     amplitude/ { print $3 }'; }
row() { printf '%-48s %8s %8s %10s\n' "$1" "$2" "$3" "$(ratio "$3" "$sox_c")"; }

printf '%-48s %8s %8s %10s\n' "180 s stereo 44100 -> 22050 Hz" "wall ms" "cpu ms" "cpu vs sox"
bm() { row "quillon $2" "$(ms "$(wall "$1/real_time")")" "$(ms "$(cpu "$1/real_time")")"; }
bm BM_ResampleSong/rate:22050/interpolate:0 "converter, nearest coefficients"
bm BM_ResampleSong/rate:22050/interpolate:1 "converter, interpolated coefficients"
bm BM_FilterResampleSinfo "resample filter on a SINFO"
row "quillon file to file (--convert)" "$ours_w" "$ours_c"
row "sox -r 22050 (default quality)" "$sox_w" "$sox_c"
printf '(to 32000 Hz, a ratio with no short phase period: converter %s ms wall, %s ms cpu)\n' \
  "$(ms "$(wall BM_ResampleSong/rate:32000/interpolate:0/real_time)")" \
  "$(ms "$(cpu BM_ResampleSong/rate:32000/interpolate:0/real_time)")"
echo
printf 'RMS amplitude: input %s, quillon %s, sox %s\n' "$(rms "$IN")" "$(rms "$OUT/ours.wav")" "$(rms "$OUT/sox.wav")"
printf '%s; load average %s\n' "$(sox --version 2>&1 | head -1 | sed 's/^sox: *//')" "$(cut -d' ' -f1-3 /proc/loadavg)"
