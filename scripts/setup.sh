#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests, the sanitizer build, the fuzz runs and
# the benchmarks need. Idempotent; runs as root (or through sudo when available).
set -euo pipefail

packages=(
  build-essential g++ clang libclang-rt-14-dev cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libsdl2-dev libvorbis-dev libogg-dev libpng-dev libjpeg-dev zlib1g-dev
  # headers of the movie reader's run-time binding (the libraries themselves come with ffmpeg)
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  xvfb xauth
  # black-box oracles of the tests (standard formats only) and the benchmark input generator
  lame mpg123 twolame ffmpeg sox vorbis-tools imagemagick python3-pil bc
  # speech for the Parlet codec tests and benchmarks (made at run time, never stored)
  espeak-ng
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: installed ${missing[*]}"
