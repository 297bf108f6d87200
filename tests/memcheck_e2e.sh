#!/usr/bin/env bash
# Runs the end-to-end tests with the tool under valgrind's memcheck, then
# fails on any report in any process of it (the tool and its engine hosts):
# an invalid access, or a leak that is not one of the libraries' own.
#   memcheck_e2e.sh E2E_TESTS SUPPRESSIONS LOG_DIR
set -euo pipefail
e2e=$1 suppressions=$2 logs=$3
rm -rf "$logs" && mkdir -p "$logs"
export TAMLO_TOOL_WRAPPER="valgrind --error-exitcode=99 --leak-check=full \
--errors-for-leak-kinds=definite --suppressions=$suppressions --log-file=$logs/%p.log"
"$e2e"
bad=$(grep -l 'ERROR SUMMARY: [1-9]' "$logs"/*.log || true)
echo "memcheck: $(ls "$logs" | wc -l) processes checked"
if [ -n "$bad" ]; then
  echo "FAIL: memcheck reports in:" $bad
  exit 1
fi
