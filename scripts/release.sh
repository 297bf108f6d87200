#!/usr/bin/env bash
# Builds the Windows release of the committed tree (HEAD, exported to a
# clean directory): both architectures, every .exe signed when a key is
# given, one zip per architecture with the cmd wrappers of
# docs/deploying.md, a README for administrators and a record of the
# toolchain, and SHA256SUMS over the zips. Writes dist/ (or $TAMLO_DIST_DIR).
#
#   bash scripts/release.sh
#
# Signing with a key file:
#   TAMLO_SIGN_PKCS12          the .pfx/.p12 holding the key and certificates
#   TAMLO_SIGN_PASSWORD_FILE   the file holding its password
# or with a key held on a PKCS#11 token (needs osslsigncode 2.6 or later):
#   TAMLO_SIGN_PKCS11_MODULE   the token's PKCS#11 module (.so)
#   TAMLO_SIGN_KEY_URI         the key on the token (a pkcs11: URI)
#   TAMLO_SIGN_CERT            the signing certificate and its chain (PEM)
#   TAMLO_SIGN_PASSWORD_FILE   the token's PIN (optional)
# and either way, optionally:
#   TAMLO_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamping service
#   TAMLO_SIGN_CA_FILE         the trusted roots (PEM) that every signed .exe
#                              must verify against, the time-stamping
#                              service's included; without it the signatures
#                              are not checked against a root, and it says so
# Without a key the release is unsigned, and says so; a TAMLO_SIGN_ variable
# without a key is a mistake, and fails. Everything is checked before a
# build starts; any failure, a failed signing or verification included,
# fails the release and leaves an existing dist/ as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The Windows executables that each zip ships, and the cmd wrappers that the
# deployment page holds.
executables=(tamlo-repair tamlo-check)
wrappers=(tamlo-repair.cmd tamlo-repair-zero.cmd)
# Each architecture as named in the zip, and the configure preset building it.
architectures=(x64:windows x86:windows-x86)

fail() { echo "release: FAILED: $*" >&2; exit 1; }

# --- dist/: a previous release is replaced, anything else is left alone
dist=$(realpath -m "${TAMLO_DIST_DIR:-$root/dist}")
# Sets old_release to the names of the files of a previous release in dist/,
# or fails, touching nothing, when dist/ holds anything else: a release
# holds only regular files named tamlo-*.zip and SHA256SUMS.
check_old_release() {
  old_release=()
  [ -e "$dist" ] || [ -L "$dist" ] || return 0
  [ -d "$dist" ] && [ ! -L "$dist" ] || fail "$dist is not a directory: left alone"
  local listing entry name
  listing=$(mktemp) || fail "no temporary file"
  if ! find "$dist" -mindepth 1 -maxdepth 1 -print0 >"$listing"; then
    rm -f "$listing"; fail "can't list $dist: left alone"
  fi
  while IFS= read -r -d '' entry; do
    name=${entry##*/}
    case $name in
      tamlo-*.zip | SHA256SUMS)
        [ -f "$entry" ] && [ ! -L "$entry" ] ||
          { rm -f "$listing"; fail "$dist holds $name, not a regular file, so it is not a release: left alone"; }
        old_release+=("$name") ;;
      *) rm -f "$listing"; fail "$dist holds $name, so it is not a release: left alone" ;;
    esac
  done <"$listing"
  rm -f "$listing"
}
check_old_release

# --- how to sign, checked before anything is built
sign=()
verify=()
readable() { [ -r "$2" ] || fail "$1 ($2) is not a readable file"; }
# Every TAMLO_SIGN_ variable given, so that none is ignored unseen.
sign_settings=()
for variable in $(compgen -v TAMLO_SIGN_ || true); do
  [ -z "${!variable}" ] && continue
  case $variable in
    TAMLO_SIGN_PKCS12 | TAMLO_SIGN_PASSWORD_FILE | TAMLO_SIGN_PKCS11_MODULE | TAMLO_SIGN_KEY_URI | \
    TAMLO_SIGN_CERT | TAMLO_SIGN_TIMESTAMP_URL | TAMLO_SIGN_CA_FILE) sign_settings+=("$variable") ;;
    *) fail "$variable is not a signing setting of this script (see its header)" ;;
  esac
done
# The token path hands the PIN to the PKCS#11 engine with -readpass, which
# osslsigncode does only from 2.6 on (2.5 would prompt, and wait).
token_osslsigncode() {
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (scripts/setup.sh)"
  local out line
  out=$(osslsigncode --version 2>&1) || true
  line=${out%%$'\n'*}
  if [[ $line =~ ^osslsigncode\ ([0-9]+)\.([0-9]+) ]]; then
    local major=${BASH_REMATCH[1]} minor=${BASH_REMATCH[2]}
    [ "$major" -gt 2 ] || { [ "$major" -eq 2 ] && [ "$minor" -ge 6 ]; } ||
      fail "signing with a token needs osslsigncode 2.6 or later, which passes the PIN to the token; this is $major.$minor"
  else
    fail "can't tell osslsigncode's version (it says: $line); signing with a token needs 2.6 or later"
  fi
}
if [ -n "${TAMLO_SIGN_PKCS12:-}" ]; then
  [ -z "${TAMLO_SIGN_PKCS11_MODULE:-}${TAMLO_SIGN_KEY_URI:-}${TAMLO_SIGN_CERT:-}" ] ||
    fail "TAMLO_SIGN_PKCS12 and a token (TAMLO_SIGN_PKCS11_MODULE, _KEY_URI, _CERT) are both set: choose one key"
  readable TAMLO_SIGN_PKCS12 "$TAMLO_SIGN_PKCS12"
  [ -n "${TAMLO_SIGN_PASSWORD_FILE:-}" ] || fail "TAMLO_SIGN_PKCS12 needs TAMLO_SIGN_PASSWORD_FILE"
  readable TAMLO_SIGN_PASSWORD_FILE "$TAMLO_SIGN_PASSWORD_FILE"
  sign=(-pkcs12 "$TAMLO_SIGN_PKCS12" -readpass "$TAMLO_SIGN_PASSWORD_FILE")
  signer="the key in $TAMLO_SIGN_PKCS12"
elif [ -n "${TAMLO_SIGN_PKCS11_MODULE:-}${TAMLO_SIGN_KEY_URI:-}${TAMLO_SIGN_CERT:-}" ]; then
  [ -n "${TAMLO_SIGN_PKCS11_MODULE:-}" ] && [ -n "${TAMLO_SIGN_KEY_URI:-}" ] &&
    [ -n "${TAMLO_SIGN_CERT:-}" ] ||
    fail "a token needs all of TAMLO_SIGN_PKCS11_MODULE, TAMLO_SIGN_KEY_URI and TAMLO_SIGN_CERT"
  readable TAMLO_SIGN_PKCS11_MODULE "$TAMLO_SIGN_PKCS11_MODULE"
  readable TAMLO_SIGN_CERT "$TAMLO_SIGN_CERT"
  token_osslsigncode
  sign=(-pkcs11module "$TAMLO_SIGN_PKCS11_MODULE" -key "$TAMLO_SIGN_KEY_URI"
        -certs "$TAMLO_SIGN_CERT")
  if [ -n "${TAMLO_SIGN_PASSWORD_FILE:-}" ]; then
    readable TAMLO_SIGN_PASSWORD_FILE "$TAMLO_SIGN_PASSWORD_FILE"
    sign+=(-readpass "$TAMLO_SIGN_PASSWORD_FILE")
  fi
  signer="the key $TAMLO_SIGN_KEY_URI"
elif [ ${#sign_settings[@]} -gt 0 ]; then
  # Someone meant to sign: an unsigned release would pass unnoticed.
  fail "${sign_settings[*]} set, but no key: set TAMLO_SIGN_PKCS12, or a token's TAMLO_SIGN_PKCS11_MODULE, TAMLO_SIGN_KEY_URI and TAMLO_SIGN_CERT"
fi
if [ ${#sign[@]} -gt 0 ]; then
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (scripts/setup.sh)"
  [ -z "${TAMLO_SIGN_TIMESTAMP_URL:-}" ] || sign+=(-ts "$TAMLO_SIGN_TIMESTAMP_URL")
  if [ -n "${TAMLO_SIGN_CA_FILE:-}" ]; then
    readable TAMLO_SIGN_CA_FILE "$TAMLO_SIGN_CA_FILE"
    verify=(-CAfile "$TAMLO_SIGN_CA_FILE" -TSA-CAfile "$TAMLO_SIGN_CA_FILE")
  fi
fi
for tool in zip cmake git; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh)"
done

# --- a clean tree: the commit, exported
commit=$(git rev-parse HEAD) || fail "not a git checkout"
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  echo "release: note: uncommitted changes are not in the release; it builds $commit"
# Fixes the time stamps in the zips: the commit's time unless given.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct HEAD)}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src" "$work/dist"
git archive --format=tar HEAD | tar -x -C "$work/src"

readme_signature() {
  if [ ${#sign[@]} -gt 0 ]; then
    cat <<'EOF'
Each .exe carries an Authenticode signature (SHA-256). Check it in the
file's Properties, Digital Signatures tab, or in PowerShell:
    Get-AuthenticodeSignature .\tamlo-repair.exe
(Status must be Valid, and SignerCertificate the publisher you expect.)
EOF
  else
    echo "This build is NOT signed: check it by its SHA-256 alone."
  fi
}

# The toolchain that built ARCH, for BUILDINFO.txt: the Debian packages'
# versions (the compiler's own package found from the command itself) and
# the compiler's own word.
buildinfo() {  # buildinfo ARCH
  local deb triple compiler owner package
  case $1 in
    x64) deb=x86-64 triple=x86_64-w64-mingw32 ;;
    x86) deb=i686 triple=i686-w64-mingw32 ;;
  esac
  echo "Tamlo repair tool $version, $1 build"
  echo "Commit: $commit"
  echo "SOURCE_DATE_EPOCH: $SOURCE_DATE_EPOCH"
  echo "Build flags from the environment: none (CFLAGS, CXXFLAGS, CPPFLAGS, LDFLAGS, RCFLAGS unset)"
  compiler=$(readlink -f "$(command -v "$triple-g++")")
  echo "Compiler: $compiler: $("$triple-g++" --version | head -n 1)"
  echo "Packages (dpkg-query):"
  if ! command -v dpkg-query >/dev/null; then
    echo "  unknown: this machine has no dpkg-query"
    return
  fi
  owner=$(dpkg-query -S "$compiler" 2>/dev/null | sed -n '1s/:.*//p') || true
  for package in "g++-mingw-w64-$deb" $owner "binutils-mingw-w64-$deb" mingw-w64-common \
      "mingw-w64-$deb-dev" cmake; do
    echo "  $package $(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || echo 'not installed')"
  done
}

# Flags from the environment would change the bytes: the release builds
# what the presets say, and nothing else.
build_env=(env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS -u RCFLAGS)

version=
for entry in "${architectures[@]}"; do
  arch=${entry%%:*} preset=${entry#*:}
  echo "release: building $arch (preset $preset)"
  log=$work/build-$arch.log
  if ! (cd "$work/src" && "${build_env[@]}" cmake --preset "$preset" &&
        "${build_env[@]}" cmake --build --preset "$preset" -j "$(nproc)") >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    fail "the $arch build"
  fi
  build=$work/src/build/$preset
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [ -n "$version" ] || fail "no project version in the $arch build"

  stage=$work/stage-$arch
  mkdir "$stage"
  for name in "${executables[@]}"; do
    [ -f "$build/$name.exe" ] || fail "$name.exe was not built for $arch"
    if [ ${#sign[@]} -gt 0 ]; then
      echo "release: signing $arch/$name.exe with $signer"
      osslsigncode sign "${sign[@]}" -h sha256 -n "Tamlo $name" \
        -in "$build/$name.exe" -out "$stage/$name.exe" >"$work/sign.log" 2>&1 ||
        { cat "$work/sign.log" >&2; fail "signing $arch/$name.exe"; }
      # A signature can be made with a certificate that Windows will not
      # accept for code (one for web servers, say): check it as Windows would.
      if [ ${#verify[@]} -gt 0 ]; then
        osslsigncode verify "${verify[@]}" -in "$stage/$name.exe" >"$work/verify.log" 2>&1 ||
          { cat "$work/verify.log" >&2
            fail "$arch/$name.exe's signature does not verify against TAMLO_SIGN_CA_FILE ($TAMLO_SIGN_CA_FILE)"; }
        echo "release: $arch/$name.exe verifies against $TAMLO_SIGN_CA_FILE"
      fi
    else
      cp "$build/$name.exe" "$stage/"
    fi
  done

  # The wrappers, from the deployment page of the same commit.
  bash "$work/src/scripts/wrappers.sh" "$work/src/docs/deploying.md" "$stage"
  for name in "${wrappers[@]}"; do
    [ -f "$stage/$name" ] || fail "docs/deploying.md has no $name"
  done

  # The README for administrators and the toolchain, in Windows' line ends.
  {
    sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e "s/@COMMIT@/$commit/g" \
      "$work/src/scripts/release-readme.txt"
    readme_signature
  } | sed 's/$/\r/' >"$stage/README.txt"
  buildinfo "$arch" | sed 's/$/\r/' >"$stage/BUILDINFO.txt"

  # Fixed modes and times and no extra fields: the same files give the same zip.
  zipname=tamlo-repair-$version-windows-$arch.zip
  files=("${executables[@]/%/.exe}" "${wrappers[@]}" README.txt BUILDINFO.txt)
  (cd "$stage" && chmod 644 "${files[@]}" && touch -d "@$SOURCE_DATE_EPOCH" "${files[@]}" &&
   TZ=UTC zip -q -X -D "$work/dist/$zipname" "${files[@]}")
done

(cd "$work/dist" && sha256sum -- *.zip >SHA256SUMS)

# The previous release goes only now, file by file, and only if dist/ still
# holds nothing else.
check_old_release
if [ -e "$dist" ]; then
  for name in "${old_release[@]}"; do
    rm -f -- "$dist/$name"
  done
  rmdir -- "$dist" || fail "can't remove the previous release's $dist"
fi
mkdir -p "$(dirname "$dist")"
mv -T "$work/dist" "$dist"

echo "release: $version of $commit in $dist:"
(cd "$dist" && cat SHA256SUMS)
if [ ${#sign[@]} -gt 0 ]; then
  echo "release: every .exe is signed with $signer"
  [ ${#verify[@]} -gt 0 ] ||
    echo "release: NOT VERIFIED against a root: set TAMLO_SIGN_CA_FILE to check that Windows will accept the signatures"
else
  echo "release: UNSIGNED: no signing key was given (TAMLO_SIGN_PKCS12 or TAMLO_SIGN_PKCS11_MODULE)"
fi
