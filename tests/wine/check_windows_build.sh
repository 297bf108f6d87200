#!/usr/bin/env bash
# What Windows, inventory tools and publisher rules read in each .exe of a
# Windows build, read back from the built files: the architecture, the
# version resource, the application manifest, and no debug data left in.
#   check_windows_build.sh BUILD_DIR ARCH VERSION
# ARCH is x64 or x86, VERSION the project's version. The executables checked
# are those that the build lists in windows_executables.txt.
set -euo pipefail
dir=$1 arch=$2 version=$3
case $arch in
  x64) format=pei-x86-64 tools=x86_64-w64-mingw32 ;;
  x86) format=pei-i386 tools=i686-w64-mingw32 ;;
  *) echo "usage: $0 BUILD_DIR x64|x86 VERSION"; exit 2 ;;
esac
list=$dir/windows_executables.txt
[ -s "$list" ] || { echo "FAIL: $list is missing or empty: build $dir first"; exit 1; }

# The four-part version that Windows shows, and its numeric form.
IFS=. read -r major minor patch tweak <<<"$version"
dotted=$major.${minor:-0}.${patch:-0}.${tweak:-0}
numeric=${dotted//./, }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Windows 7, 8, 8.1, and 10 and 11.
supported_os=(35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38
              1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a)

: >"$work/descriptions"
while read -r exe; do
  file=$dir/$exe name=${exe%.exe}
  echo "--- $exe ($arch)"
  [ -f "$file" ] || { fail "$exe is not built"; continue; }

  "$tools-objdump" -p "$file" >"$work/headers" 2>&1 || true
  grep -q "file format $format\$" "$work/headers" || fail "$exe is not $format"
  if "$tools-objdump" -h "$file" | grep -q '\.debug_'; then fail "$exe carries debug data"; fi

  "$tools-windres" -i "$file" -O rc >"$work/rc" || { fail "$exe: no resources read"; continue; }
  value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"\$/\1/p" "$work/rc"; }
  description=$(value FileDescription)
  echo "$description" >>"$work/descriptions"
  while read -r field expected; do
    actual=$(value "$field")
    if [ "$expected" = "(any)" ]; then
      [ -n "$actual" ] || fail "$exe: no $field"
    else
      [ "$actual" = "$expected" ] || fail "$exe: $field is '$actual', not '$expected'"
    fi
    echo "$field: $actual"
  done <<EOF
CompanyName (any)
FileDescription (any)
FileVersion $dotted
InternalName $name
OriginalFilename $exe
ProductName Tamlo
ProductVersion $dotted
LegalCopyright (any)
EOF
  for numbered in FILEVERSION PRODUCTVERSION; do
    grep -qx " $numbered $numeric" "$work/rc" || fail "$exe: $numbered is not $numeric"
  done

  # One manifest, resource 1 of type 24, as the loader looks for it.
  [ "$(grep -c '^1 24 ' "$work/rc")" = 1 ] && [ "$(grep -c '^[^/ ]* 24 ' "$work/rc")" = 1 ] ||
    fail "$exe: not exactly one manifest, resource 1"
  sed -n '/^1 24 /,/^END/p' "$work/rc" | sed -e 's/^ *"//' -e 's/\\n"$//' -e 's/""/"/g' \
    >"$work/manifest"
  grep -q '<requestedExecutionLevel level="asInvoker"' "$work/manifest" ||
    fail "$exe: the manifest does not ask to run asInvoker"
  for os in "${supported_os[@]}"; do
    grep -qi "<supportedOS Id=\"{$os}\"/>" "$work/manifest" ||
      fail "$exe: the manifest does not name supportedOS {$os}"
  done
  echo "manifest: $(grep -o 'level="[^"]*"' "$work/manifest"), $(grep -c '<supportedOS ' "$work/manifest") supportedOS"
done <"$list"

duplicates=$(sort "$work/descriptions" | uniq -d)
[ -z "$duplicates" ] || fail "executables share the FileDescription '$duplicates'"
[ "$failures" -eq 0 ]
