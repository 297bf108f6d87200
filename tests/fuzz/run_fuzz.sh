#!/usr/bin/env bash
# Runs both fuzz targets for a bounded time each, seeded from the fixtures.
#   run_fuzz.sh FUZZ_BUILD_DIR SECONDS
# Exits non-zero when a target crashed, hung or leaked; the input that did
# it is kept in FUZZ_BUILD_DIR/fuzz-artifacts.
set -euo pipefail
build=$(realpath "$1")
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"

export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$here/../lsan.supp"

seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
# The targets make their working directories in the temporary directory and
# can't remove them (libFuzzer ends the process): keep them in ours.
export TMPDIR="$seeds/tmp"
mkdir -p "$TMPDIR" "$seeds/package" "$seeds/registration"
"$build/tests/make_package" "$seeds/package/bad-entry.msi" 3 --with-bad-entry
"$build/tests/make_package" "$seeds/package/clean.msi" 3
"$build/tests/make_package" "$seeds/package/empty-table.msi" 0
upgrade="{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}"
printf '# products\n{AAAAAAAA-0000-0000-0000-000000000001}\t%s\t/cache/a b.msi\n' "$upgrade" \
  >"$seeds/registration/one"
printf '{AAAAAAAA-0000-0000-0000-000000000001}\t{00000000-1111-2222-3333-444444444444}\t/x\r\n\n{bbbbbbbb-0000-0000-0000-000000000002}\t%s\t/y.msi\n' \
  "$upgrade" >"$seeds/registration/two"

for target in registration package; do
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  echo "--- fuzzing the $target for ${seconds}s"
  status=0
  "$build/tests/fuzz_$target" "$corpus" "$seeds/$target" \
    -max_total_time="$seconds" -timeout=90 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$artifacts/$target-" -print_final_stats=1 >"$build/fuzz-$target.log" 2>&1 ||
    status=$?
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|ERROR|SUMMARY|deadly|Test unit written' \
    "$build/fuzz-$target.log" || true
  [ "$status" -eq 0 ] || { echo "FAIL: fuzz_$target (log: $build/fuzz-$target.log)"; exit 1; }
done
echo "fuzzing found nothing"
