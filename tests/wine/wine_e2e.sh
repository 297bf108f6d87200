#!/usr/bin/env bash
# The Windows build against a real Windows Installer: Wine's installs a Tamlo
# package made with wixl, and tamlo-repair.exe mends the installer's cached
# copy of it. The native build, run on a copy of the same cached package, must
# write the same text and leave the same rows.
#
#   wine_e2e.sh WINDOWS_EXE NATIVE_EXE
#
# Exits 77 (skipped) only when Wine is not installed.
set -euo pipefail

exe=$(realpath -m "$1")
native=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)

command -v wine >/dev/null 2>&1 ||
  { echo "SKIPPED: Wine is not installed here; scripts/setup.sh installs it."; exit 77; }
for tool in wixl msibuild msidump; do
  command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool is missing (scripts/setup.sh)"; exit 1; }
done
[ -f "$exe" ] || { echo "FAIL: $exe is not built (cmake --build --preset windows)"; exit 1; }

# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, even
# where the kernel can't run 32-bit programs. There only the 64-bit loader
# works, and only a 64-bit .exe can be tested.
if ! command wine --version >/dev/null 2>&1; then
  pe_header=$(od -An -tu4 -j60 -N4 "$exe")
  if [ "$(od -An -tx2 -j$((pe_header + 4)) -N2 "$exe" | tr -d ' ')" = 014c ]; then
    echo "SKIPPED: this machine can't run 32-bit programs, so Wine can't run a 32-bit .exe"
    exit 77
  fi
  export WINELOADER=/usr/lib/wine/wine64
  wine() { "$WINELOADER" "$@"; }
  wineboot() { wine wineboot "$@"; }
fi

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
cleanup() { wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT

failures=0
check() {  # check WHAT EXPECTED_FILE ACTUAL_FILE
  if cmp -s "$2" "$3"; then
    echo "ok: $1"
  else
    echo "FAIL: $1"; diff <(cat -A "$2") <(cat -A "$3") || true
    failures=$((failures + 1))
  fi
}
check_status() {  # check_status WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1 exits $3"; else
    echo "FAIL: $1 exits $3, not $2"; failures=$((failures + 1)); fi
}
# Runs the .exe under Wine into $work/$1.out; sets status.
run_exe() {
  status=0
  (cd "$work" && wine "$exe" >"$work/$1.out" 2>"$work/$1.err") || status=$?
  wineserver -w
}
# Writes the expected text of run NAME: the lines given, with the console's
# line ends.
expect() {  # expect NAME LINE...
  local name=$1; shift
  printf '%s\r\n' "$@" >"$work/$name.expected"
}

echo "--- making the package"
cp "$here/tamlo.wxs" "$here/readme.txt" "$work/"
(cd "$work" && wixl -o tamlo.msi tamlo.wxs)
row() { printf "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('%s', 'MainComponent', '%s', 'INSTALLFOLDER', 2)" "$1" "$2"; }
msibuild "$work/tamlo.msi" -q "$(row TmpFiles '*.tmp')"
msibuild "$work/tamlo.msi" -q "$(row LogFiles '*.log')"

echo "--- installing it with Wine's msiexec"
wineboot -i >/dev/null 2>&1
wineserver -w
wine msiexec /i "$work/tamlo.msi" /qn
wineserver -w
cached_windows=$(ls "$WINEPREFIX/drive_c/windows/Installer/"*.msi)
[ "$(echo "$cached_windows" | wc -l)" -eq 1 ] || { echo "FAIL: expected one cached package"; exit 1; }
cached_name=$(basename "$cached_windows")
cp "$cached_windows" "$work/native.msi"
mkdir "$work/before" "$work/after"
(cd "$work/before" && msidump -t "$cached_windows" >/dev/null)

product="{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}"
echo "--- first run: repairs"
run_exe first
expect first "" "Searching for Tamlo..." "" "Found - ProductCode $product" "" \
  "Cached database location - C:\\windows\\Installer\\$cached_name" "" \
  "Bad entry found" "" "Bad entry removed." "" "" "Done."
check "first run's text" "$work/first.expected" "$work/first.out"
check_status "first run" 0 "$status"
: >"$work/empty"
check "first run's standard error" "$work/empty" "$work/first.err"

(cd "$work/after" && msidump -t "$cached_windows" >/dev/null)
diff -r "$work/before" "$work/after" >"$work/rows.diff" || true
printf '%s\n' "diff -r $work/before/RemoveFile.idt $work/after/RemoveFile.idt" "4d3" \
  $'< TmpFiles\tMainComponent\t*.tmp\tINSTALLFOLDER\t2\r' >"$work/rows.expected"
check "the cached package lost the bad row and nothing else" "$work/rows.expected" "$work/rows.diff"

echo "--- second run: nothing to do"
run_exe second
expect second "" "Searching for Tamlo..." "" "Found - ProductCode $product" "" \
  "Cached database location - C:\\windows\\Installer\\$cached_name" "" \
  "No bad entries to be removed." "" "" "Done."
check "second run's text" "$work/second.expected" "$work/second.out"
check_status "second run" 0 "$status"

echo "--- the native build on a copy of the same cached package"
printf '%s\t%s\t%s\n' "$product" "{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}" \
  "$work/native.msi" >"$work/products"
status=0
MSI_STANDIN_REGISTRY="$work/products" "$native" >"$work/native.out" 2>&1 </dev/null || status=$?
without_path() { grep -v '^Cached database location - ' || true; }
without_path <"$work/native.out" >"$work/native.text"
tr -d '\r' <"$work/first.out" | without_path >"$work/first.text"
check "native text matches Windows text" "$work/first.text" "$work/native.text"
check_status "native run" 0 "$status"
mkdir "$work/native"
(cd "$work/native" && msidump -t "$work/native.msi" >/dev/null)
msidump_rows() { tail -n +4 "$1/RemoveFile.idt" | sort; }
msidump_rows "$work/after" >"$work/windows.rows"
msidump_rows "$work/native" >"$work/native.rows"
check "native build leaves the same rows" "$work/windows.rows" "$work/native.rows"

echo "--- after uninstalling"
wine msiexec /x "$product" /qn
wineserver -w
run_exe removed
expect removed "" "Searching for Tamlo..." "" \
  "No products with the Tamlo upgrade code were found"
check "run without the product" "$work/removed.expected" "$work/removed.out"
check_status "run without the product" 2 "$status"

[ "$failures" -eq 0 ]
