#!/usr/bin/env bash
# Configures and builds the given presets (default: host win32 win64).
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in "${@:-host win32 win64}"; do
  for p in $preset; do
    [ -f "build/$p/CMakeCache.txt" ] || cmake --preset "$p" >/dev/null
    cmake --build --preset "$p" -j"$(nproc)" >/dev/null
  done
done
