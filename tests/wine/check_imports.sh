#!/usr/bin/env bash
# The .exe must run on a clean Windows machine: it may import only DLLs that
# Windows itself has. Prints its imports and fails on any other.
#   check_imports.sh EXE
set -euo pipefail
exe=$1
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump)
[ -f "$exe" ] || { echo "FAIL: $exe is not built (cmake --build --preset windows)"; exit 1; }

imports=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
echo "imports of $(basename "$exe"):" $imports
[ -n "$imports" ] || { echo "FAIL: no import table read"; exit 1; }
status=0
for dll in $imports; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll | msi.dll) ;;
    *) echo "FAIL: imports $dll, which a clean Windows machine may lack"; status=1 ;;
  esac
done
exit $status
