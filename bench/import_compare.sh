#!/usr/bin/env bash
# Whole-process timings on the 180 s 44.1 kHz stereo song, each beside an ffmpeg command doing
# comparable work in the same run:
#   quillon import (read, fade in 0.5 s and out 1.5 s, QV-XA stream) against ffmpeg reading the
#   same input, fading and encoding 4-bit IMA ADPCM;
#   quillon convert of the WAV into a qvxa_blk pcstream against ffmpeg's plain IMA ADPCM encoding.
# Usage: bench/import_compare.sh [QUILLON] (default build/bench/quillon/quillon); best of 5 runs.
set -euo pipefail
cd "$(dirname "$0")/.."
quillon=${1:-build/bench/quillon/quillon}
in=${PERF_DIR:-/tmp/perf}/in
[[ -f $in/song.wav ]] || bash ../shared/bench/make-inputs.sh >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

best() {  # best wall time in seconds of 5 runs of "$@"
  local bestt=999999 t0 t1 t
  for _ in 1 2 3 4 5; do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if (($(echo "$t < $bestt" | bc -l))); then bestt=$t; fi
  done
  printf '%.3f' "$bestt"
}

for input in song.wav ${EXTRA_INPUTS:-}; do
  q=$(best "$quillon" import "$in/$input" "$out")
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$in/$input")
  fadeout=$(echo "$duration - 1.5" | bc -l)
  f=$(best ffmpeg -nostdin -v error -y -i "$in/$input" -af "afade=t=in:d=0.5,afade=t=out:st=$fadeout:d=1.5" \
        -c:a adpcm_ima_wav "$out/peer.wav")
  printf '%-10s quillon import  %6ss   ffmpeg fade+adpcm_ima_wav %6ss   ratio %.2f\n' "$input" "$q" "$f" \
    "$(echo "$q / $f" | bc -l)"
done
q=$(best "$quillon" convert --format pcstream --rep qvxa_blk "$in/song.wav" "$out/song.asf")
f=$(best ffmpeg -nostdin -v error -y -i "$in/song.wav" -c:a adpcm_ima_wav "$out/peer.wav")
printf '%-10s quillon convert %6ss   ffmpeg adpcm_ima_wav      %6ss   ratio %.2f\n' song.wav "$q" "$f" \
  "$(echo "$q / $f" | bc -l)"
