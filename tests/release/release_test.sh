#!/usr/bin/env bash
# The release as an administrator and a security team receive it.
# scripts/release.sh runs twice, building in two directories of different
# names: unsigned, then signed with the code-signing key of a throwaway CA
# (with build flags in the environment, which it must ignore, and over the
# first release, which it must replace). Each dist/ must hold one zip per
# architecture and true SHA256SUMS, each zip the build's executables, the
# deployment page's cmd wrappers, a README and the toolchain's record, all
# text in Windows' line ends; each signed .exe must verify against that CA
# and, with its signature removed, be byte for byte the unsigned release's
# (which proves the two builds identical). A signing that fails or can't be
# verified, a key given by halves or not at all, a token with an osslsigncode
# that can't pass it the PIN, and a dist/ holding anything but a release must
# fail the release and leave dist/ as it was.
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
    -certfile "$work/ca.pem" -passout "file:$work/password" -out "$work/signer.p12" &&
  # The same CA's certificate for a web server: it signs, but not for code.
  printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
    extendedKeyUsage=serverAuth >"$work/server.ext" &&
  openssl x509 -req -days 2 -set_serial 3 -in "$work/signer.csr" -extfile "$work/server.ext" \
    -CA "$work/ca.pem" -CAkey "$work/ca.key" -out "$work/server.pem" &&
  openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/server.pem" \
    -certfile "$work/ca.pem" -passout "file:$work/password" -out "$work/server.p12"
} >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; echo "FAIL: making the certificates"; exit 1; }

# Runs the release with dist/ in $work/NAME, building under $work/build-NAME,
# with the signing variables given (and no others); sets status.
release() {  # release NAME [VARIABLE=VALUE...]
  local name=$1; shift
  mkdir -p "$work/build-$name"
  status=0
  env -u TAMLO_SIGN_PKCS12 -u TAMLO_SIGN_PASSWORD_FILE -u TAMLO_SIGN_PKCS11_MODULE \
      -u TAMLO_SIGN_KEY_URI -u TAMLO_SIGN_CERT -u TAMLO_SIGN_TIMESTAMP_URL -u TAMLO_SIGN_CA_FILE \
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

  (cat "$list"; printf '%s\n' "${wrappers[@]}" README.txt BUILDINFO.txt) | sort >"$work/expected.contents"
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
    for wrapper in "${wrappers[@]}"; do
      cmp -s "$work/wrappers/$wrapper" "$work/$name.$arch/$wrapper" &&
        ok "$name $arch: $wrapper is the deployment page's, in CRLF" ||
        fail "$name $arch: $wrapper is not the deployment page's, in CRLF"
    done
    buildinfo=$work/$name.$arch/BUILDINFO.txt
    deb=$([ "$arch" = x64 ] && echo x86-64 || echo i686)
    if grep -q $'[^\r]$\|^$' "$buildinfo" ||
       ! grep -q "^  g++-mingw-w64-$deb [0-9]" "$buildinfo" ||
       ! grep -q "^  binutils-mingw-w64-$deb [0-9]" "$buildinfo" ||
       ! grep -q "^  mingw-w64-common [0-9]" "$buildinfo" || ! grep -q "^  cmake [0-9]" "$buildinfo"; then
      cat -A "$buildinfo"; fail "$name $arch: BUILDINFO.txt is not CRLF text with the toolchain's versions"
    else
      ok "$name $arch: BUILDINFO.txt is CRLF text with the toolchain's versions"
    fi
  done
}

# The wrappers as the deployment page of the commit gives them.
wrappers=(tamlo-repair.cmd tamlo-repair-zero.cmd)
mkdir "$work/wrappers"
git -C "$source" show HEAD:docs/deploying.md >"$work/deploying.md"
bash "$source/scripts/wrappers.sh" "$work/deploying.md" "$work/wrappers"

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

echo "--- the signed release, built in another directory, over the unsigned one"
signed=signed-in-a-longer-directory
cp -a "$work/unsigned" "$work/$signed"
# The compiler, linker and resource flags given here would each change the
# bytes, if the release let them through.
release "$signed" TAMLO_SIGN_PKCS12="$work/signer.p12" \
  TAMLO_SIGN_PASSWORD_FILE="$work/password" TAMLO_SIGN_CA_FILE="$work/ca.pem" \
  CFLAGS=-O0 CXXFLAGS=-fno-inline CPPFLAGS=-DTAMLO_NOT_RELEASED LDFLAGS=-Wl,--section-alignment=0x2000 \
  RCFLAGS=-l0x407
check_dist "$signed"
grep -q 'every .exe is signed' "$work/$signed.log" && ok "signed: says it is signed" || fail "signed: does not say it is signed"
[ "$(grep -c 'verifies against' "$work/$signed.log")" -eq $((2 * $(wc -l <"$list"))) ] &&
  ! grep -q 'NOT VERIFIED' "$work/$signed.log" &&
  ok "signed: verified each .exe against TAMLO_SIGN_CA_FILE" ||
  { cat "$work/$signed.log"; fail "signed: did not verify each .exe against TAMLO_SIGN_CA_FILE"; }
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

echo "--- signing that fails, and a dist/ that is not a release, fail the release"
# An osslsigncode too old to give a token its PIN.
mkdir "$work/old-osslsigncode"
printf '#!/bin/sh\necho "osslsigncode 2.5, using:"\n' >"$work/old-osslsigncode/osslsigncode"
chmod +x "$work/old-osslsigncode/osslsigncode"
# What dist/ holds: names, types, sizes and bytes.
snapshot() { (cd "$1" && find . -printf '%p %y %s\n' | sort && find . -type f -exec sha256sum {} + | sort); }
# Each: what is wrong, what the message must say, what to add to dist/ (a
# copy of the unsigned release), then the release's variables. Every case
# must fail and leave dist/ as it was.
while IFS='|' read -r what message plant variables; do
  rm -rf "$work/failed"
  cp -a "$work/unsigned" "$work/failed"
  (cd "$work/failed" && eval "$plant")
  snapshot "$work/failed" >"$work/failed.before"
  eval "release failed $variables"
  snapshot "$work/failed" >"$work/failed.after"
  if [ "$status" -ne 0 ] && grep -q "release: FAILED: .*$message" "$work/failed.log" &&
     cmp -s "$work/failed.before" "$work/failed.after"; then
    ok "$what: fails, and leaves dist/ as it was ($(grep 'release: FAILED' "$work/failed.log"))"
  else
    cat "$work/failed.log"; diff "$work/failed.before" "$work/failed.after"
    fail "$what: exits $status"
  fi
done <<EOF
the wrong password|signing|:|TAMLO_SIGN_PKCS12="$work/signer.p12" TAMLO_SIGN_PASSWORD_FILE="$work/wrong-password"
a key file without its password|needs TAMLO_SIGN_PASSWORD_FILE|:|TAMLO_SIGN_PKCS12="$work/signer.p12"
a password file that is not there|not a readable file|:|TAMLO_SIGN_PKCS12="$work/signer.p12" TAMLO_SIGN_PASSWORD_FILE="$work/nothing"
a token without its certificate|needs all of|:|TAMLO_SIGN_PKCS11_MODULE=/dev/null TAMLO_SIGN_KEY_URI="pkcs11:object=key"
a password and a time-stamping service, but no key|but no key|:|TAMLO_SIGN_PASSWORD_FILE="$work/password" TAMLO_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/
a misspelt setting|not a signing setting|:|TAMLO_SIGN_PKCS21="$work/signer.p12" TAMLO_SIGN_PASSWORD_FILE="$work/password"
a certificate for web servers, not for code|does not verify against TAMLO_SIGN_CA_FILE|:|TAMLO_SIGN_PKCS12="$work/server.p12" TAMLO_SIGN_PASSWORD_FILE="$work/password" TAMLO_SIGN_CA_FILE="$work/ca.pem"
a token with osslsigncode 2.5|osslsigncode 2.6 or later|:|PATH="$work/old-osslsigncode:$PATH" TAMLO_SIGN_PKCS11_MODULE="$work/password" TAMLO_SIGN_KEY_URI="pkcs11:object=key" TAMLO_SIGN_CERT="$work/signer.pem" TAMLO_SIGN_PASSWORD_FILE="$work/password"
a dist/ holding another file|holds notes.txt|echo keep >notes.txt|
a dist/ holding a name with two leading dots|holds ..keep|echo keep >..keep|
a dist/ holding a hidden file|holds .keep|echo keep >.keep|
a dist/ holding a directory named like a zip|holds tamlo-old.zip, not a regular file|mkdir tamlo-old.zip && echo keep >tamlo-old.zip/inside|
a dist/ holding a link named like a zip|holds tamlo-link.zip, not a regular file|ln -s SHA256SUMS tamlo-link.zip|
EOF
rm -rf "$work/failed"

[ "$failures" -eq 0 ]
