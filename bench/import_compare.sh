#!/usr/bin/env bash
# Whole-process timings on the 180 s 44.1 kHz stereo song, each beside an ffmpeg command doing
# comparable work in the same run:
#   quillon import (read, fade in 0.5 s and out 1.5 s, QV-XA stream) of song.mp3 and song.wav (and
#   EXTRA_INPUTS) against ffmpeg reading the same input, fading and encoding 4-bit IMA ADPCM;
#   quillon convert of the WAV into a qvxa_blk pcstream against ffmpeg's plain IMA ADPCM encoding.
# The two tools run alternately, RUNS rounds (default 7); each figure is the best round's wall time
# and the best round's CPU time (user + system), in seconds, with the load average after the rounds
# and quillon's peak memory (maximum resident set) for the import.
# Usage: bench/import_compare.sh [QUILLON] (default build/bench/quillon/quillon)
set -euo pipefail
cd "$(dirname "$0")/.."
quillon=${1:-build/bench/quillon/quillon}
in=${PERF_DIR:-/tmp/perf}/in
runs=${RUNS:-7}
[[ -f $in/song.wav && -f $in/song.mp3 ]] || bash ../shared/bench/make-inputs.sh >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# One timed run of "$@": "wall cpu maxrss_kb".
timed() {
  /usr/bin/time -o "$out/time" -f "%e %U %S %M" "$@" >/dev/null 2>&1
  awk '{ printf "%.2f %.2f %d", $1, $2 + $3, $4 }' "$out/time"
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

# compare NAME QUILLON-COMMAND... -- PEER-COMMAND...
compare() {
  local name=$1 qw="" qc="" qm=0 fw="" fc="" w c m
  shift
  local q=() f=()
  while [[ $1 != -- ]]; do q+=("$1"); shift; done
  shift
  f=("$@")
  for _ in $(seq "$runs"); do
    read -r w c m <<<"$(timed "${q[@]}")"
    qw=$(min "$w" "$qw"); qc=$(min "$c" "$qc"); ((m > qm)) && qm=$m
    read -r w c _ <<<"$(timed "${f[@]}")"
    fw=$(min "$w" "$fw"); fc=$(min "$c" "$fc")
  done
  printf '%-28s quillon %5ss wall %5ss cpu %4d MiB   ffmpeg %5ss wall %5ss cpu   wall ratio %.2f   (load %s)\n' \
    "$name" "$qw" "$qc" $((qm / 1024)) "$fw" "$fc" "$(awk -v a="$qw" -v b="$fw" 'BEGIN { print a / b }')" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
}

for input in song.mp3 song.wav ${EXTRA_INPUTS:-}; do
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$in/$input")
  fadeout=$(echo "$duration - 1.5" | bc -l)
  compare "import $input" "$quillon" import "$in/$input" "$out" -- \
    ffmpeg -nostdin -v error -y -i "$in/$input" -af "afade=t=in:d=0.5,afade=t=out:st=$fadeout:d=1.5" \
    -c:a adpcm_ima_wav "$out/peer.wav"
done
compare "convert song.wav qvxa_blk" "$quillon" convert --format pcstream --rep qvxa_blk "$in/song.wav" "$out/song.asf" -- \
  ffmpeg -nostdin -v error -y -i "$in/song.wav" -c:a adpcm_ima_wav "$out/peer.wav"
