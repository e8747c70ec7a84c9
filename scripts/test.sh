#!/usr/bin/env bash
# The test command: installs what is missing, builds every preset and runs every test.
#
# The unit tests run twice: as built, and under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh host asan win32 win64
ctest --preset host -j"$(nproc)"
ctest --preset asan -j"$(nproc)"
