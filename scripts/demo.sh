#!/usr/bin/env bash
# Sets everything up, builds quillon and braxel and imports the bundled demo tune (synthesized at build
# time) into demo-out/demo-tune.asf, then shows what quillon reads back from it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quillon braxel demo_tune
mkdir -p demo-out
./build/default/quillon/quillon import --reverb 64 build/default/demo/demo-tune.wav demo-out
echo
echo "The game stream is $(pwd)/demo-out/demo-tune.asf:"
./build/default/quillon/quillon info demo-out/demo-tune.asf
