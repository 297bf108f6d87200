#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Windows .exe is
# cross-built first, so that the native tests can check it under Wine; then
# the native tests run again under AddressSanitizer and UBSan; last, a short
# run of each fuzzer.
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

echo "=== fuzz build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target fuzz_registration fuzz_package make_package
ctest --test-dir build/fuzz -R fuzz_short --output-on-failure
