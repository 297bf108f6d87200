#!/usr/bin/env bash
# Builds the tools and shows them on a real package: a registration and a
# package holding the bad entry are made in a temporary directory; the
# read-only check finds the entry (status 3), the repair removes it, and the
# check and a second repair then find nothing left to do.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh native
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
package="$demo/Installer Cache/5e1f0.msi"
mkdir -p "$(dirname "$package")"
build/default/tests/make_package "$package" 3 --with-bad-entry
printf '%s\t%s\t%s\n' '{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}' \
  '{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}' "$package" > "$demo/products"
export MSI_STANDIN_REGISTRY="$demo/products"

show_rows() {
  echo "--- RemoveFile rows of the cached package $1:"
  msiinfo export "$package" RemoveFile | tail -n +4 | cut -f1
}

run() {  # run TOOL: runs it and shows its exit status
  echo "--- $1:"
  status=0; "build/default/$1" || status=$?
  echo "--- exit status $status"
}

show_rows "before the repair"
run tamlo-check
run tamlo-repair
show_rows "after the repair"
run tamlo-check
run tamlo-repair
