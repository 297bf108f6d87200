#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Windows .exe
# files (x64 and x86) are cross-built first, so that the native tests can
# check them (under Wine too) and build the release; then the native tests
# run again under AddressSanitizer and UBSan; last, a short run of each
# fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

for preset in windows windows-x86; do
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

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
