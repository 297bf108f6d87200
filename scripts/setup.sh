#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks. Safe to run again: it installs nothing that is there.
#   scripts/setup.sh          everything the tests and the release need
#   scripts/setup.sh native   only what the native build and the demo need
# The package manager's own output goes to build/setup.log; the console gets
# one line a step, and the log's path when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."

native=(cmake make g++ pkg-config libgtest-dev libmsi-dev libglib2.0-dev msitools)
# The Windows builds (x64 and x86) and their runs under Wine, 64- and 32-bit;
# memcheck; the fuzzers; signing and checking releases.
checks=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
        g++-mingw-w64-i686 binutils-mingw-w64-i686
        wixl wine wine64 wine32:i386 valgrind clang libclang-rt-14-dev
        osslsigncode openssl zip unzip)

packages=("${native[@]}")
[ "${1:-all}" = native ] || packages+=("${checks[@]}")

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

mkdir -p build
log=$PWD/build/setup.log
: >"$log"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

step() {  # step WHAT COMMAND...
  local what=$1; shift
  echo "setup: $what"
  echo "=== $what" >>"$log"
  if ! "$@" >>"$log" 2>&1 </dev/null; then
    echo "setup: FAILED: $what; the package manager's output is in $log" >&2
    tail -n 20 "$log" >&2
    exit 1
  fi
}

# wine32 is an i386 package: that architecture must be known to dpkg first.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  step "adding the i386 architecture (for wine32)" "${sudo[@]}" dpkg --add-architecture i386
fi
step "updating the package lists" "${sudo[@]}" apt-get update -q
step "installing ${#missing[@]} packages (the first time about 700 MB): ${missing[*]}" \
  "${sudo[@]}" apt-get install -y -q "${missing[@]}"
echo "setup: done"
