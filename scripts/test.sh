#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Windows .exe is
# cross-built first, so that the native tests can check it under Wine; then
# the native tests run again under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

echo "=== windows build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

for preset in default asan; do
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
