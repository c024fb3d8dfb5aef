#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one for SECONDS (default 5) on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
bash scripts/setup.sh >/dev/null
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target fuzz_all
shopt -s nullglob
count=0
for exe in build/fuzz/fuzz/fuzz_*; do
  [[ -x $exe && -f $exe ]] || continue
  name=$(basename "$exe")
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  args=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=0)
  [[ -f fuzz/$name.dict ]] && args+=(-dict="fuzz/$name.dict")
  seeds=()
  [[ -d fuzz/corpus/$name ]] && seeds+=("fuzz/corpus/$name")
  echo "fuzz: $name for ${seconds}s"
  "$exe" "${args[@]}" "$work" "${seeds[@]}" 2>"build/fuzz/$name.log" || { tail -50 "build/fuzz/$name.log"; exit 1; }
  count=$((count + 1))
done
echo "fuzz: $count targets ran"
