#!/usr/bin/env bash
# The test command: installs what is missing, builds every preset and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh host win32 win64
ctest --preset host -j"$(nproc)"
