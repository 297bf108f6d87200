#!/usr/bin/env bash
# Writes the cmd wrappers of the deployment page into DIR, in Windows' line
# ends: each ```bat block of the page is one file, named by the first word
# after "@rem" on its first line. The page is their only source: the release
# ships what this writes, and the Wine test runs what this writes.
#
#   wrappers.sh PAGE DIR
set -euo pipefail
page=$1 dir=$2
[ -r "$page" ] || { echo "wrappers.sh: $page is not readable" >&2; exit 1; }
[ -d "$dir" ] || { echo "wrappers.sh: $dir is not a directory" >&2; exit 1; }
awk -v dir="$dir" '
  /^```bat$/ { in_block = 1; file = ""; next }
  in_block && /^```$/ { in_block = 0; next }
  in_block && file == "" { file = $2; sub(/:$/, "", file) }
  in_block { printf "%s\r\n", $0 > (dir "/" file) }
' "$page"
