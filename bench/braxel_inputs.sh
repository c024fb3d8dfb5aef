#!/usr/bin/env bash
# Builds the inputs of the braxel compression benchmarks under $PERF_DIR/in (default /tmp/perf/in):
#   mixed.bin   10 MiB of text and shared-library code, by the same recipe as
#               shared/bench/make-inputs.sh (used as is when that script already made it)
#   image16.bin 16 MB (16,000,000 bytes: the 24-bit size field of a compressed stream holds
#               less than 16 MiB) of image-like data: 8-bit indexed pictures with large uniform
#               areas (transparent background, flat-colour shapes, dithered gradients, a little noise)
set -euo pipefail
export LC_ALL=C
PERF_DIR=${PERF_DIR:-/tmp/perf}
OUT=$PERF_DIR/in
mkdir -p "$OUT"

if [[ ! -s $OUT/mixed.bin ]]; then
  TMP=$(mktemp -d)
  trap 'rm -rf "$TMP"' EXIT
  ( find /usr/share/doc -type f \( -name '*.gz' -o -name 'copyright' -o -name 'README*' \) -print0 \
      | sort -z | xargs -0 zcat -f 2>/dev/null || true ) | head -c $((6 * 1048576)) > "$TMP/text.part"
  ( find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -print0 \
      | sort -z | xargs -0 cat 2>/dev/null || true ) | head -c $((4 * 1048576)) > "$TMP/bin.part"
  [[ $(stat -c %s "$TMP/text.part") -eq $((6 * 1048576)) && $(stat -c %s "$TMP/bin.part") -eq $((4 * 1048576)) ]] \
    || { echo "not enough source data for mixed.bin" >&2; exit 1; }
  : > "$OUT/mixed.bin"
  ti=0; bi=0
  for ((blk = 0; blk < 40; blk++)); do
    case $((blk % 5)) in
      1|3) dd if="$TMP/bin.part"  bs=262144 skip=$bi count=1 status=none >> "$OUT/mixed.bin"; bi=$((bi+1)) ;;
      *)   dd if="$TMP/text.part" bs=262144 skip=$ti count=1 status=none >> "$OUT/mixed.bin"; ti=$((ti+1)) ;;
    esac
  done
fi

if [[ $(stat -c %s "$OUT/image16.bin" 2>/dev/null || echo 0) -ne 16000000 ]]; then
  python3 - "$OUT/image16.bin" <<'PY'
import random, sys
# 64 indexed 512x512 pictures: transparent (0) background, flat rectangles and discs,
# horizontal dithered gradients and sparse noise; fixed seed, so the file is reproducible.
rnd = random.Random(20020901)
W = H = 512
out = bytearray()
for pic in range(64):
    img = bytearray(W * H)
    for _ in range(rnd.randint(6, 14)):
        kind = rnd.random()
        x0, y0 = rnd.randrange(W), rnd.randrange(H)
        w, h = rnd.randint(16, 200), rnd.randint(16, 200)
        c = rnd.randint(1, 255)
        for y in range(y0, min(H, y0 + h)):
            row = y * W
            if kind < 0.5:
                img[row + x0:row + min(W, x0 + w)] = bytes([c]) * (min(W, x0 + w) - x0)
            elif kind < 0.8:
                for x in range(x0, min(W, x0 + w)):
                    img[row + x] = (c + (x - x0) * 16 // max(1, w) + ((x ^ y) & 1)) & 255
            else:
                r2 = (w // 2) ** 2
                cy = y0 + h // 2
                for x in range(x0, min(W, x0 + w)):
                    if (x - x0 - w // 2) ** 2 + (y - cy) ** 2 <= r2:
                        img[row + x] = c
    for _ in range(2000):
        img[rnd.randrange(W * H)] = rnd.randint(1, 255)
    out += img
open(sys.argv[1], "wb").write(out[:16000000])
PY
fi
ls -l "$OUT/mixed.bin" "$OUT/image16.bin"
