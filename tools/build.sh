#!/usr/bin/env bash
# Builds the 32-bit product (build/), and the 64-bit build too when asked for it (build64/):
#   build.sh [win32|win64]
set -eu
cd "$(dirname "$0")/.."
cmake --preset win32 >/dev/null
cmake --build --preset win32
if [ "${1:-win32}" = win64 ]; then
  cmake --preset win64 >/dev/null
  cmake --build --preset win64
fi
