#!/usr/bin/env bash
# Whole-program comparison of braxel's compression with gzip on the same data, in one run:
# "braxel -compress -real" against "gzip -6" and "gzip -1", "braxel -decompress" against
# "gunzip". Prints one row per tool and input with the best of N runs, the speed and the ratio.
# Usage: bench/braxel_compare.sh [path/to/braxel] [runs]
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
braxel=${1:-$here/../build/bench/braxel/braxel}
runs=${2:-3}
PERF_DIR=${PERF_DIR:-/tmp/perf}
bash "$here/braxel_inputs.sh" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# best_time CMD...: the fastest wall time of $runs runs in seconds.
best_time() {
  local best="" t
  for ((i = 0; i < runs; i++)); do
    t=$(python3 -c "import time,subprocess,sys; s=time.perf_counter(); subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True); print(time.perf_counter()-s)" "$@")
    if [[ -z $best ]] || python3 -c "import sys; sys.exit(0 if $t < $best else 1)"; then best=$t; fi
  done
  echo "$best"
}

row() {  # name input-size seconds output-size
  python3 -c "import sys; n,s,t,o=sys.argv[1],int(sys.argv[2]),float(sys.argv[3]),int(sys.argv[4]); print(f'{n:<28} {t*1000:9.0f} ms {s/t/1e6:8.1f} MB/s   ratio {o/s:6.3f}')" "$@"
}

for input in mixed.bin image16.bin; do
  src=$PERF_DIR/in/$input
  size=$(stat -c %s "$src")
  echo "== $input ($size bytes)"
  t=$(best_time "$braxel" -compress -real "$src" "$work/out.cmp")
  row "braxel -compress -real" "$size" "$t" "$(stat -c %s "$work/out.cmp")"
  t=$(best_time sh -c "gzip -6 -c '$src' > '$work/out6.gz'")
  row "gzip -6" "$size" "$t" "$(stat -c %s "$work/out6.gz")"
  t=$(best_time sh -c "gzip -1 -c '$src' > '$work/out1.gz'")
  row "gzip -1" "$size" "$t" "$(stat -c %s "$work/out1.gz")"
  t=$(best_time "$braxel" -decompress "$work/out.cmp" "$work/back.bin")
  cmp -s "$work/back.bin" "$src" || { echo "round trip differs for $input" >&2; exit 1; }
  row "braxel -decompress" "$size" "$t" "$(stat -c %s "$work/out.cmp")"
  t=$(best_time sh -c "gunzip -c '$work/out6.gz' > '$work/back6.bin'")
  row "gunzip (of gzip -6)" "$size" "$t" "$(stat -c %s "$work/out6.gz")"
done
