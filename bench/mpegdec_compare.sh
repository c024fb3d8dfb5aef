#!/usr/bin/env bash
# mpegdec_compare.sh - MPEG audio decoding as whole processes: `quillon convert IN out.wav` against
# `mpg123 -w out.wav IN` (and ffmpeg to 16-bit PCM) on the standard song in four encodings:
#   song.mp3      192 kbit/s CBR MPEG-1 Layer 3 (make-inputs.sh)
#   song.mp2      192 kbit/s MPEG-1 Layer 2 (make-inputs.sh)
#   song_vbr.mp3  lame -V2 VBR MPEG-1 Layer 3 (made here from song.wav when missing)
#   song_22k.mp3  22050 Hz 64 kbit/s MPEG-2 Layer 3 (made here from song.wav when missing)
# The tools run alternately, RUNS rounds; each figure is the best of the rounds, wall and CPU
# (user + system) in milliseconds, with the load average at the end of each file's rounds.
# INPROC=1 also runs the in-process Google Benchmark of each synthesis path (bench/mpegdec_bench).
#
# Usage: bench/mpegdec_compare.sh [QUILLON|BUILD_DIR]   (default build/bench; needs mpg123,
#        ffmpeg, lame and ../shared/bench/make-inputs.sh's inputs in $PERF_DIR/in, default /tmp/perf)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
QUILLON=${1:-$ROOT/build/bench/quillon/quillon}
[ -d "$QUILLON" ] && QUILLON=$QUILLON/quillon/quillon  # a build directory, as earlier runs gave it
PERF_DIR=${PERF_DIR:-/tmp/perf}
IN=$PERF_DIR/in
RUNS=${RUNS:-7}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

[ -x "$QUILLON" ] || { echo "missing $QUILLON: build target quillon of preset bench" >&2; exit 1; }
bash "$ROOT/bench/mpegdec_inputs.sh"

# One timed run: "wall_ms cpu_ms".
timed() {
  /usr/bin/time -o "$OUT/time" -f "%e %U %S" "$@" >/dev/null 2>&1
  awk '{ printf "%d %d", $1 * 1000, ($2 + $3) * 1000 }' "$OUT/time"
}

printf '%-13s %-16s %8s %8s %12s %12s\n' input decoder "wall ms" "cpu ms" wall/mpg123 cpu/mpg123
for f in song.mp3 song.mp2 song_vbr.mp3 song_22k.mp3; do
  declare -A bw=() bc=()
  for _ in $(seq "$RUNS"); do
    for tool in quillon mpg123 ffmpeg; do
      case $tool in
        quillon) r=$(timed "$QUILLON" convert "$IN/$f" "$OUT/q.wav") ;;
        mpg123) r=$(timed mpg123 -q -w "$OUT/m.wav" "$IN/$f") ;;
        ffmpeg) r=$(timed ffmpeg -nostdin -loglevel error -y -i "$IN/$f" -f s16le -acodec pcm_s16le "$OUT/f.raw") ;;
      esac
      read -r w c <<<"$r"
      if [ -z "${bw[$tool]:-}" ] || [ "$w" -lt "${bw[$tool]}" ]; then bw[$tool]=$w; fi
      if [ -z "${bc[$tool]:-}" ] || [ "$c" -lt "${bc[$tool]}" ]; then bc[$tool]=$c; fi
    done
  done
  for tool in quillon mpg123 ffmpeg; do
    printf '%-13s %-16s %8s %8s %12s %12s\n' "$f" "$tool" "${bw[$tool]}" "${bc[$tool]}" \
      "$(awk -v a="${bw[$tool]}" -v b="${bw[mpg123]}" 'BEGIN { printf "%.2fx", a / b }')" \
      "$(awk -v a="${bc[$tool]}" -v b="${bc[mpg123]}" 'BEGIN { printf "%.2fx", a / b }')"
  done
  echo "              (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
  unset bw bc
done

BENCH=$(dirname "$QUILLON")/../bench/mpegdec_bench
if [ "${INPROC:-0}" = 1 ] && [ -x "$BENCH" ]; then
  PERF_DIR=$PERF_DIR "$BENCH" --benchmark_format=console 2>/dev/null
fi
