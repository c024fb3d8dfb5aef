#!/usr/bin/env bash
# Sets everything up, builds quillon and runs it on the bundled default input.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quillon
./build/default/quillon/quillon formats
