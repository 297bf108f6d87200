#!/usr/bin/env bash
# The release as an administrator and a security team receive it.
# scripts/release.sh runs twice, building in two directories of different
# names: unsigned, then signed with the code-signing key of a throwaway CA.
# Each dist/ must hold one zip per architecture and true SHA256SUMS, each zip
# the build's executables and a README in Windows' line ends; each signed .exe
# must verify against that CA and, with its signature removed, be byte for
# byte the unsigned release's (which proves the two builds identical). A
# signing that fails, or a key given by halves, must fail the release.
#
#   release_test.sh SOURCE_DIR VERSION EXECUTABLES_LIST
# EXECUTABLES_LIST is the windows_executables.txt of a Windows build.
set -euo pipefail
source=$(realpath "$1") version=$2 list=$3

for tool in git osslsigncode openssl zip unzip; do
  command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool is missing (scripts/setup.sh)"; exit 1; }
done
[ -s "$list" ] || { echo "FAIL: $list is missing: build the Windows .exe first"; exit 1; }
echo "osslsigncode: $(osslsigncode --version 2>&1 | head -n 1)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
architectures=(x64 x86)
zip_of() { echo "tamlo-repair-$version-windows-$1.zip"; }

echo "--- a throwaway CA and its code-signing certificate"
make_ca() {  # make_ca NAME
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tamlo test CA $1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$work/$1.key" -out "$work/$1.pem"
}
{
  make_ca ca && make_ca other-ca &&
  openssl req -newkey rsa:2048 -nodes -subj "/CN=Tamlo test publisher" \
    -keyout "$work/signer.key" -out "$work/signer.csr" &&
  printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
    extendedKeyUsage=codeSigning >"$work/signer.ext" &&
  openssl x509 -req -days 2 -set_serial 2 -in "$work/signer.csr" -extfile "$work/signer.ext" \
    -CA "$work/ca.pem" -CAkey "$work/ca.key" -out "$work/signer.pem" &&
  echo 'correct horse' >"$work/password" && echo 'wrong horse' >"$work/wrong-password" &&
  openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" \
    -certfile "$work/ca.pem" -passout "file:$work/password" -out "$work/signer.p12"
} >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; echo "FAIL: making the certificates"; exit 1; }

# Runs the release with dist/ in $work/NAME, building under $work/build-NAME,
# with the signing variables given (and no others); sets status.
release() {  # release NAME [VARIABLE=VALUE...]
  local name=$1; shift
  mkdir -p "$work/build-$name"
  status=0
  env -u TAMLO_SIGN_PKCS12 -u TAMLO_SIGN_PASSWORD_FILE -u TAMLO_SIGN_PKCS11_MODULE \
      -u TAMLO_SIGN_KEY_URI -u TAMLO_SIGN_CERT -u TAMLO_SIGN_TIMESTAMP_URL \
      TMPDIR="$work/build-$name" TAMLO_DIST_DIR="$work/$name" "$@" \
      bash "$source/scripts/release.sh" >"$work/$name.log" 2>&1 </dev/null || status=$?
  rmdir "$work/build-$name" 2>/dev/null || fail "$name: the release left files behind in its build directory"
}

# What every release holds, signed or not; the zips are unpacked in NAME.x64/
# and NAME.x86/.
check_dist() {  # check_dist NAME
  local name=$1 dist=$work/$1
  if [ "$status" -ne 0 ]; then
    cat "$work/$name.log"; fail "the $name release exits $status"; return
  fi
  (cd "$dist" && ls) >"$work/$name.files"
  printf '%s\n' SHA256SUMS "$(zip_of x64)" "$(zip_of x86)" | sort >"$work/expected.files"
  cmp -s "$work/expected.files" "$work/$name.files" && ok "$name: dist/ holds the two zips and SHA256SUMS" ||
    fail "$name: dist/ holds $(tr '\n' ' ' <"$work/$name.files")"
  (cd "$dist" && sha256sum -c SHA256SUMS) && ok "$name: sha256sum -c SHA256SUMS" ||
    fail "$name: SHA256SUMS does not hold"

  (cat "$list"; echo README.txt) | sort >"$work/expected.contents"
  for arch in "${architectures[@]}"; do
    unzip -q "$dist/$(zip_of "$arch")" -d "$work/$name.$arch" || { fail "$name: unzip $arch"; continue; }
    (cd "$work/$name.$arch" && find . -type f | sed 's|^\./||' | sort) >"$work/contents"
    cmp -s "$work/expected.contents" "$work/contents" && ok "$name $arch: the zip holds $(tr '\n' ' ' <"$work/contents")" ||
      fail "$name $arch: the zip holds $(tr '\n' ' ' <"$work/contents")"
    readme=$work/$name.$arch/README.txt
    if grep -q $'[^\r]$\|^$' "$readme" || ! grep -q "$version" "$readme" || ! grep -q "$arch build" "$readme"; then
      fail "$name $arch: README.txt is not CRLF text naming $version and the $arch build"
    else
      ok "$name $arch: README.txt is CRLF text naming $version and the $arch build"
    fi
  done
}

echo "--- the unsigned release"
release unsigned
check_dist unsigned
grep -q UNSIGNED "$work/unsigned.log" && ok "unsigned: says it is unsigned" || fail "unsigned: does not say it is unsigned"
for arch in "${architectures[@]}"; do
  grep -q 'NOT signed' "$work/unsigned.$arch/README.txt" || fail "unsigned $arch: README.txt does not say so"
  while read -r exe; do
    rm -f "$work/none.p7"
    if osslsigncode extract-signature -in "$work/unsigned.$arch/$exe" -out "$work/none.p7" >/dev/null 2>&1; then
      fail "unsigned $arch: $exe has a signature"
    fi
  done <"$list"
done

echo "--- the signed release, built in another directory"
release signed-in-a-longer-directory TAMLO_SIGN_PKCS12="$work/signer.p12" \
  TAMLO_SIGN_PASSWORD_FILE="$work/password"
signed=signed-in-a-longer-directory
check_dist "$signed"
grep -q 'every .exe is signed' "$work/$signed.log" && ok "signed: says it is signed" || fail "signed: does not say it is signed"
echo "sha256 of each .exe: unsigned build, and signed build with its signature removed"
for arch in "${architectures[@]}"; do
  while read -r exe; do
    signed_exe=$work/$signed.$arch/$exe unsigned_exe=$work/unsigned.$arch/$exe
    [ -f "$signed_exe" ] && [ -f "$unsigned_exe" ] || continue
    if osslsigncode verify -CAfile "$work/ca.pem" -in "$signed_exe" >"$work/verify.log" 2>&1 &&
       grep -qi 'digest algorithm *: *sha256' "$work/verify.log"; then
      ok "$arch $exe: signed with SHA-256, and accepted against the CA"
    else
      cat "$work/verify.log"; fail "$arch $exe: osslsigncode verify does not accept it"
    fi
    osslsigncode verify -CAfile "$work/other-ca.pem" -in "$signed_exe" >/dev/null 2>&1 &&
      fail "$arch $exe: accepted against a CA that did not issue its key"
    rm -f "$work/removed.exe"
    osslsigncode remove-signature -in "$signed_exe" -out "$work/removed.exe" >/dev/null
    (cd "$(dirname "$unsigned_exe")" && sha256sum "$exe" | sed "s/\$/ (unsigned, $arch)/")
    (cd "$work" && sha256sum removed.exe | sed "s/removed.exe\$/$exe (signature removed, $arch)/")
    cmp "$unsigned_exe" "$work/removed.exe" &&
      ok "$arch $exe: without its signature, byte for byte the unsigned build's" ||
      fail "$arch $exe: without its signature, not the unsigned build's: the build is not reproducible"
  done <"$list"
done

echo "--- signing that fails fails the release"
# Each: what is wrong, then the signing variables.
while IFS='|' read -r what variables; do
  eval "release failed $variables"
  if [ "$status" -ne 0 ] && [ ! -e "$work/failed" ] && grep -q 'release: FAILED' "$work/failed.log"; then
    ok "$what: fails, and leaves no dist/ ($(grep 'release: FAILED' "$work/failed.log"))"
  else
    cat "$work/failed.log"; fail "$what: exits $status"
  fi
  rm -rf "$work/failed"
done <<EOF
the wrong password|TAMLO_SIGN_PKCS12="$work/signer.p12" TAMLO_SIGN_PASSWORD_FILE="$work/wrong-password"
a key file without its password|TAMLO_SIGN_PKCS12="$work/signer.p12"
a password file that is not there|TAMLO_SIGN_PKCS12="$work/signer.p12" TAMLO_SIGN_PASSWORD_FILE="$work/nothing"
a token without its certificate|TAMLO_SIGN_PKCS11_MODULE=/dev/null TAMLO_SIGN_KEY_URI="pkcs11:object=key"
EOF

[ "$failures" -eq 0 ]
