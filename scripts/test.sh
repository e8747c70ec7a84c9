#!/usr/bin/env bash
# The test command: installs what is missing, builds every preset and runs every test.
#
# The unit tests run twice: as built, and under AddressSanitizer and UndefinedBehaviorSanitizer.
# The Wine tests run once for each Windows installer; where the machine does not run 32-bit
# programs (or ZORV_NO_32BIT=1 says so) CTest lists the i686 ones as skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh host asan win32 win64
if probe=$(./scripts/probe_32bit.sh) && [ -x /usr/lib/wine/wine ]; then
  echo "test: this machine $probe: the Wine tests run for the i686 installer and for its x86_64 twin"
elif [ -z "${probe##runs*}" ]; then
  echo "test: this machine $probe, but Wine's 32-bit side is not installed: the i686 Wine tests are skipped, the x86_64 ones run"
else
  echo "test: this machine $probe: the i686 Wine tests are skipped, the x86_64 ones run"
fi
ctest --preset host -j"$(nproc)"
ctest --preset asan -j"$(nproc)"
