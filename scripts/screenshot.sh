#!/usr/bin/env bash
# Builds quillon's window and takes PNG pictures of the main window and of the help dialog under
# a virtual X display: `bash scripts/screenshot.sh [OUTDIR]` (default build/screenshots).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/screenshots}
bash scripts/setup.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quillon_screenshot
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
xvfb-run -a -s "-screen 0 1280x900x24 -dpi 96" build/default/quillon/quillon_screenshot "$out"
