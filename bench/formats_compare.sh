#!/usr/bin/env bash
# Whole-process timings of the Ogg Vorbis, movie and AIFF modules on the 180 s 44.1 kHz stereo
# song, each beside a peer tool doing comparable work in the same run:
#   quillon import song.ogg / song.m4a (AAC) against ffmpeg decoding, fading and encoding IMA ADPCM;
#   quillon convert song.ogg to WAV against oggdec (the same libvorbis underneath);
#   quillon convert of the song from and to AIFF against sox.
# Our command and the peer's alternate, five runs each; reports the best wall time and the best
# CPU time of each, their ratios, and the load average after the row.
# Usage: bench/formats_compare.sh [QUILLON] (default build/bench/quillon/quillon).
set -euo pipefail
cd "$(dirname "$0")/.."
quillon=${1:-build/bench/quillon/quillon}
in=${PERF_DIR:-/tmp/perf}/in
[[ -f $in/song.ogg ]] || bash ../shared/bench/make-inputs.sh >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
ffmpeg -nostdin -v error -y -i "$in/song.wav" -c:a aac -b:a 192k -f ipod "$out/song.m4a"
sox "$in/song.wav" "$out/song.aiff"

# One run of "$@": "wall cpu" in seconds. CPU is the task clock of every thread and child (perf
# stat, 1 ms or better) where perf is installed, else user + system from GNU time (10 ms).
once() {
  if command -v perf >/dev/null; then
    perf stat -e task-clock "$@" 2>&1 >/dev/null |
      awk '/task-clock/ {gsub(",", "", $1); cpu = $1 / 1000} /seconds time elapsed/ {wall = $1} END {print wall, cpu}'
  else
    /usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null | tail -1 | awk '{print $1, $2 + $3}'
  fi
}

min() { echo "if ($1 < $2) $1 else $2" | bc -l; }

row() {  # name, then the two commands separated by --; the two alternate, best of 5 each
  local name=$1 ours=() peer=() qw=999999 qc=999999 pw=999999 pc=999999 w c
  shift
  while [[ $1 != -- ]]; do ours+=("$1"); shift; done
  shift
  peer=("$@")
  for _ in 1 2 3 4 5; do
    read -r w c < <(once "${ours[@]}")
    qw=$(min "$w" "$qw") qc=$(min "$c" "$qc")
    read -r w c < <(once "${peer[@]}")
    pw=$(min "$w" "$pw") pc=$(min "$c" "$pc")
  done
  printf '%-34s wall %6.3f s vs %6.3f s (%.2f)   cpu %6.3f s vs %6.3f s (%.2f)   load %s\n' "$name" "$qw" "$pw" \
    "$(echo "$qw / $pw" | bc -l)" "$qc" "$pc" "$(echo "$qc / $pc" | bc -l)" "$(cut -d' ' -f1-3 /proc/loadavg)"
}

fades() {  # the ffmpeg filter of the import job's fades for input $1
  local d
  d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1")
  echo "afade=t=in:d=0.5,afade=t=out:st=$(echo "$d - 1.5" | bc -l):d=1.5"
}

for input in "$in/song.ogg" "$out/song.m4a"; do
  row "import $(basename "$input") / ffmpeg" "$quillon" import "$input" "$out" -- \
    ffmpeg -nostdin -v error -y -i "$input" -af "$(fades "$input")" -c:a adpcm_ima_wav "$out/peer.wav"
done
row "convert song.ogg / oggdec" "$quillon" convert "$in/song.ogg" "$out/a.wav" -- \
  oggdec -Q "$in/song.ogg" -o "$out/b.wav"
row "read song.aiff to WAV / sox" "$quillon" convert "$out/song.aiff" "$out/a.wav" -- \
  sox "$out/song.aiff" "$out/b.wav"
row "write song.wav as AIFF / sox" "$quillon" convert "$in/song.wav" "$out/a.aiff" -- \
  sox "$in/song.wav" "$out/b.aiff"
