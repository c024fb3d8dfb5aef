#!/usr/bin/env bash
# Whole-process timings of the Ogg Vorbis, movie and AIFF modules on the 180 s 44.1 kHz stereo
# song, each beside a peer tool doing comparable work in the same run:
#   quillon import song.ogg / song.m4a (AAC) against ffmpeg decoding, fading and encoding IMA ADPCM;
#   quillon convert song.ogg to WAV against oggdec (the same libvorbis underneath);
#   quillon convert of the song from and to AIFF against sox.
# Reports the best of 5 wall times and the best of 5 CPU times (user + system), and their ratios.
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

best() {  # "wall cpu": the best of 5 runs of "$@" for each
  local bw=999999 bc=999999 w c
  for _ in 1 2 3 4 5; do
    read -r w c < <(/usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null | tail -1 | awk '{print $1, $2 + $3}')
    bw=$(echo "if ($w < $bw) $w else $bw" | bc -l)
    bc=$(echo "if ($c < $bc) $c else $bc" | bc -l)
  done
  echo "$bw $bc"
}

row() {  # name, then the two commands separated by --
  local name=$1 ours=() peer=()
  shift
  while [[ $1 != -- ]]; do ours+=("$1"); shift; done
  shift
  peer=("$@")
  read -r qw qc < <(best "${ours[@]}")
  read -r pw pc < <(best "${peer[@]}")
  printf '%-34s wall %6.3f s vs %6.3f s (%.2f)   cpu %6.3f s vs %6.3f s (%.2f)\n' "$name" "$qw" "$pw" \
    "$(echo "$qw / $pw" | bc -l)" "$qc" "$pc" "$(echo "$qc / $pc" | bc -l)"
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
