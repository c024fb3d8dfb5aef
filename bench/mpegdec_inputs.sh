#!/usr/bin/env bash
# mpegdec_inputs.sh - the MPEG benchmark inputs beside make-inputs.sh's: a lame -V2 VBR MP3 and a
# 22050 Hz 64 kbit/s MPEG-2 Layer 3 file of the standard song. Made once; lame's output is the same
# for the same lame version and input.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
IN=${PERF_DIR:-/tmp/perf}/in
[ -f "$IN/song.wav" ] && [ -f "$IN/song.mp3" ] && [ -f "$IN/song.mp2" ] ||
  bash "$ROOT/../shared/bench/make-inputs.sh" >/dev/null
[ -f "$IN/song_vbr.mp3" ] || lame --quiet -V2 "$IN/song.wav" "$IN/song_vbr.mp3"
[ -f "$IN/song_22k.mp3" ] || lame --quiet -b 64 --resample 22.05 "$IN/song.wav" "$IN/song_22k.mp3"
