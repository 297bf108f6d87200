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
# One case hands the tool a package that crashes the engine: the engine
# host that reads it dies of the engine's own invalid access, which is what
# the host is there to contain. Its report is the engine's, not ours.
crashed=$(grep -l 'Process terminating with default action of signal 11' "$logs"/*.log || true)
bad=$(grep -L 'Process terminating with default action of signal 11' "$logs"/*.log |
  xargs -r grep -l 'ERROR SUMMARY: [1-9]' || true)
echo "memcheck: $(ls "$logs" | wc -l) processes checked," \
  "$(echo "$crashed" | grep -c . || true) engine host(s) crashed on the damaged package"
if [ -n "$bad" ]; then
  echo "FAIL: memcheck reports in:" $bad
  exit 1
fi
