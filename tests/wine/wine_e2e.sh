#!/usr/bin/env bash
# The Windows build against a real Windows Installer: Wine's installs a Tamlo
# package made with wixl, and tamlo-repair.exe mends the installer's cached
# copy of it. The native build, run on a copy of the same cached package, must
# write the same text and leave the same rows. tamlo-check.exe must tell each
# state and leave the package byte for byte as it was; both must end a crash
# of the installer on a damaged package with one line and status 1; and the
# cmd wrappers of docs/deploying.md must map the statuses as it says.
#
#   wine_e2e.sh WINDOWS_EXE NATIVE_EXE [CHECK_EXE]
#
# CHECK_EXE defaults to tamlo-check.exe beside WINDOWS_EXE.
#
# Exits 77 (skipped) only when Wine is not installed.
set -euo pipefail

exe=$(realpath -m "$1")
native=$(realpath -m "$2")
check_exe=$(realpath -m "${3:-$(dirname "$exe")/tamlo-check.exe}")
here=$(cd "$(dirname "$0")" && pwd)

command -v wine >/dev/null 2>&1 ||
  { echo "SKIPPED: Wine is not installed here; scripts/setup.sh installs it."; exit 77; }
for tool in wixl msibuild msidump; do
  command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool is missing (scripts/setup.sh)"; exit 1; }
done
for built in "$exe" "$check_exe"; do
  [ -f "$built" ] || { echo "FAIL: $built is not built (cmake --build --preset windows)"; exit 1; }
done

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
# TMPDIR: wineserver keeps its socket directory there, which must go with us.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 \
  TMPDIR="$work/tmp"
mkdir "$TMPDIR"
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
# Runs the .exe (the repair, or the one given) under Wine into
# $work/NAME.out and .err; sets status.
run_exe() {  # run_exe NAME [EXE]
  status=0
  (cd "$work" && wine "${2:-$exe}" >"$work/$1.out" 2>"$work/$1.err") || status=$?
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
wine wineboot -i >/dev/null 2>&1
wineserver -w
# From here on one server serves every run: starting one for each run costs
# seconds. It outlives a gap between runs, and ends 30 s after the last one
# even if this script is killed before its clean-up.
wineserver -p30
wine msiexec /i "$work/tamlo.msi" /qn
cached_windows=$(ls "$WINEPREFIX/drive_c/windows/Installer/"*.msi)
[ "$(echo "$cached_windows" | wc -l)" -eq 1 ] || { echo "FAIL: expected one cached package"; exit 1; }
cached_name=$(basename "$cached_windows")
cp "$cached_windows" "$work/native.msi"
cp "$cached_windows" "$work/original.msi"
mkdir "$work/before" "$work/after"
(cd "$work/before" && msidump -t "$cached_windows" >/dev/null)

product="{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}"
located=("" "Searching for Tamlo..." "" "Found - ProductCode $product" ""
         "Cached database location - C:\\windows\\Installer\\$cached_name" "")
: >"$work/empty"
# Runs the check and compares its text, status and empty standard error; the
# package must be byte for byte what it was.
run_check() {  # run_check NAME STATUS LINE...
  local name=$1 want=$2; shift 2
  cp "$cached_windows" "$work/$name.package" 2>/dev/null || true
  run_exe "$name" "$check_exe"
  expect "$name" "$@"
  check "$name: text" "$work/$name.expected" "$work/$name.out"
  check_status "$name" "$want" "$status"
  check "$name: standard error" "$work/empty" "$work/$name.err"
  if [ -f "$work/$name.package" ]; then
    check "$name: the package is unchanged" "$work/$name.package" "$cached_windows"
  fi
}

echo "--- the check before any repair: a repair is needed"
run_check check-before 3 "${located[@]}" "Bad entry found" "" "" "Done."

echo "--- first run: repairs"
run_exe first
expect first "" "Searching for Tamlo..." "" "Found - ProductCode $product" "" \
  "Cached database location - C:\\windows\\Installer\\$cached_name" "" \
  "Bad entry found" "" "Bad entry removed." "" "" "Done."
check "first run's text" "$work/first.expected" "$work/first.out"
check_status "first run" 0 "$status"
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
run_check check-after 0 "${located[@]}" "No bad entries to be removed." "" "" "Done."
cp "$cached_windows" "$work/repaired.msi"

# Each case below puts another package in the cached package's place.
echo "--- a package without a RemoveFile table is clean for both"
cp "$work/original.msi" "$work/no-table.msi"
msibuild "$work/no-table.msi" -q 'DROP TABLE `RemoveFile`'
cp "$work/no-table.msi" "$cached_windows"
no_table=("${located[@]}" "Couldn't open view, failed with error code: 1615" "" "Done.")
run_check check-no-table 0 "${no_table[@]}"
run_exe repair-no-table
expect repair-no-table "${no_table[@]}"
check "repair-no-table: text" "$work/repair-no-table.expected" "$work/repair-no-table.out"
check_status "repair-no-table" 0 "$status"
check "repair-no-table: the package is unchanged" "$work/no-table.msi" "$cached_windows"

echo "--- packages that crash the installer: one line, status 1, no debugger"
for damaged in "$here/../data/"*.msi; do
  for tool in "$exe" "$check_exe"; do
    name="crash-$(basename "$tool" .exe)-$(basename "$damaged" .msi)"
    cp "$damaged" "$cached_windows"
    run_exe "$name" "$tool"
    expect "$name" "${located[@]}"
    printf '%s\r\n' "Installer crashed while probing the cached package, exception code: 0xC0000005" \
      >>"$work/$name.expected"
    check "$name: text" "$work/$name.expected" "$work/$name.out"
    check_status "$name" 1 "$status"
    check "$name: standard error" "$work/empty" "$work/$name.err"
  done
done

# The cmd wrappers of docs/deploying.md, as written there, beside the .exes.
recipes="$WINEPREFIX/drive_c/tamlo"
mkdir "$recipes"
cp "$exe" "$recipes/tamlo-repair.exe"
cp "$check_exe" "$recipes/tamlo-check.exe"
bash "$here/../../scripts/wrappers.sh" "$here/../../docs/deploying.md" "$recipes"
# Wine's own folder is "logs": Windows paths don't mind case, the test must.
logs() { find "$WINEPREFIX/drive_c/windows" -ipath '*/logs/software/tamlo-repair-*.log' | sort; }
# Runs a wrapper, which must leave one new log of its own; sets log to it.
run_recipe() {  # run_recipe WRAPPER WHAT EXPECTED_STATUS
  local before
  before=$(logs)
  status=0
  (cd "$work" && wine cmd /c "C:\\tamlo\\$1" >"$work/recipe.out" 2>&1) || status=$?
  check_status "$1 ($2)" "$3" "$status"
  log=$(comm -13 <(echo "$before") <(logs))
  if [ -n "$log" ] && [ "$(echo "$log" | wc -l)" -eq 1 ]; then
    echo "ok: $1 ($2) wrote a log of its own, ${log##*/}"
  else
    echo "FAIL: $1 ($2) wrote no log of its own, but: ${log:-nothing}"; failures=$((failures + 1))
  fi
}
echo "--- the deployment wrappers"
for wrapper in tamlo-repair.cmd tamlo-repair-zero.cmd; do
  [ -f "$recipes/$wrapper" ] || { echo "FAIL: docs/deploying.md has no $wrapper"; failures=$((failures + 1)); }
done
cp "$work/original.msi" "$cached_windows"
run_recipe tamlo-repair.cmd "bad entry present" 0
check "the wrapper's log holds the repair's text" "$work/first.expected" "${log:-/dev/null}"
# Where the detection scripts of docs/deploying.md run it from.
check "the wrapper put tamlo-check.exe in Program Files\\Tamlo" "$check_exe" \
  "$(find "$WINEPREFIX/drive_c" -maxdepth 3 -ipath '*/program files/tamlo/tamlo-check.exe' | grep . || echo /dev/null)"
run_recipe tamlo-repair-zero.cmd "clean" 0
cp "$here/../data/crashes-engine-on-open.msi" "$cached_windows"
run_recipe tamlo-repair.cmd "repair fails" 1
run_recipe tamlo-repair-zero.cmd "repair fails" 1
cp "$work/repaired.msi" "$cached_windows"

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
run_exe removed
expect removed "" "Searching for Tamlo..." "" \
  "No products with the Tamlo upgrade code were found"
check "run without the product" "$work/removed.expected" "$work/removed.out"
check_status "run without the product" 2 "$status"
run_check check-removed 2 "" "Searching for Tamlo..." "" \
  "No products with the Tamlo upgrade code were found"
run_recipe tamlo-repair.cmd "not installed" 2
run_recipe tamlo-repair-zero.cmd "not installed" 0

[ "$failures" -eq 0 ]
