#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks. Safe to run again: it installs nothing that is there.
#   scripts/setup.sh          everything the tests need
#   scripts/setup.sh native   only what the native build and the demo need
set -euo pipefail

native=(cmake make g++ pkg-config libgtest-dev libmsi-dev libglib2.0-dev msitools)
# The Windows build and its run under Wine; memcheck; the fuzzers.
checks=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wixl wine wine64 valgrind
        clang libclang-rt-14-dev)

packages=("${native[@]}")
[ "${1:-all}" = native ] || packages+=("${checks[@]}")

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q "${missing[@]}"
