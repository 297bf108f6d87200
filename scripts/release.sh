#!/usr/bin/env bash
# Builds the Windows release of the committed tree (HEAD, exported to a
# clean directory): both architectures, every .exe signed when a key is
# given, one zip per architecture with a README for administrators, and
# SHA256SUMS over the zips. Writes dist/ (or $TAMLO_DIST_DIR).
#
#   bash scripts/release.sh
#
# Signing with a key file:
#   TAMLO_SIGN_PKCS12          the .pfx/.p12 holding the key and certificates
#   TAMLO_SIGN_PASSWORD_FILE   the file holding its password
# or with a key held on a PKCS#11 token:
#   TAMLO_SIGN_PKCS11_MODULE   the token's PKCS#11 module (.so)
#   TAMLO_SIGN_KEY_URI         the key on the token (a pkcs11: URI)
#   TAMLO_SIGN_CERT            the signing certificate and its chain (PEM)
#   TAMLO_SIGN_PASSWORD_FILE   the token's PIN (optional)
# and either way, optionally:
#   TAMLO_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamping service
# Without a key the release is unsigned, and says so. Any failure, a failed
# signing included, fails the release and leaves no dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The Windows executables that each zip ships.
executables=(tamlo-repair tamlo-check)
# Each architecture as named in the zip, and the configure preset building it.
architectures=(x64:windows x86:windows-x86)

fail() { echo "release: FAILED: $*" >&2; exit 1; }

dist=$(realpath -m "${TAMLO_DIST_DIR:-$root/dist}")
# A stale release must not pass for this one; anything else there is not ours.
if [ -e "$dist" ]; then
  [ -d "$dist" ] || fail "$dist is not a directory"
  for file in "$dist"/* "$dist"/.[!.]*; do
    [ -e "$file" ] || continue
    case ${file##*/} in
      tamlo-*.zip | SHA256SUMS) ;;
      *) fail "$dist holds ${file##*/}, so it is not a release: left alone" ;;
    esac
  done
  rm -rf "$dist"
fi

# --- how to sign, checked before anything is built
sign=()
readable() { [ -r "$2" ] || fail "$1 ($2) is not a readable file"; }
if [ -n "${TAMLO_SIGN_PKCS12:-}" ]; then
  [ -z "${TAMLO_SIGN_PKCS11_MODULE:-}" ] ||
    fail "TAMLO_SIGN_PKCS12 and TAMLO_SIGN_PKCS11_MODULE are both set: choose one key"
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
  sign=(-pkcs11module "$TAMLO_SIGN_PKCS11_MODULE" -key "$TAMLO_SIGN_KEY_URI"
        -certs "$TAMLO_SIGN_CERT")
  if [ -n "${TAMLO_SIGN_PASSWORD_FILE:-}" ]; then
    readable TAMLO_SIGN_PASSWORD_FILE "$TAMLO_SIGN_PASSWORD_FILE"
    sign+=(-readpass "$TAMLO_SIGN_PASSWORD_FILE")
  fi
  signer="the key $TAMLO_SIGN_KEY_URI"
fi
if [ ${#sign[@]} -gt 0 ]; then
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (scripts/setup.sh)"
  [ -z "${TAMLO_SIGN_TIMESTAMP_URL:-}" ] || sign+=(-ts "$TAMLO_SIGN_TIMESTAMP_URL")
fi
command -v zip >/dev/null || fail "zip is missing (scripts/setup.sh)"

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

version=
for entry in "${architectures[@]}"; do
  arch=${entry%%:*} preset=${entry#*:}
  echo "release: building $arch (preset $preset)"
  log=$work/build-$arch.log
  if ! (cd "$work/src" && cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)") \
      >"$log" 2>&1; then
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
    else
      cp "$build/$name.exe" "$stage/"
    fi
  done

  # The README for administrators, in Windows' line ends.
  {
    sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e "s/@COMMIT@/$commit/g" \
      "$work/src/scripts/release-readme.txt"
    readme_signature
  } | sed 's/$/\r/' >"$stage/README.txt"

  # Fixed modes and times and no extra fields: the same files give the same zip.
  zipname=tamlo-repair-$version-windows-$arch.zip
  files=("${executables[@]/%/.exe}" README.txt)
  (cd "$stage" && chmod 644 "${files[@]}" && touch -d "@$SOURCE_DATE_EPOCH" "${files[@]}" &&
   TZ=UTC zip -q -X -D "$work/dist/$zipname" "${files[@]}")
done

(cd "$work/dist" && sha256sum -- *.zip >SHA256SUMS)
mkdir -p "$(dirname "$dist")"
mv "$work/dist" "$dist"

echo "release: $version of $commit in $dist:"
(cd "$dist" && cat SHA256SUMS)
if [ ${#sign[@]} -gt 0 ]; then
  echo "release: every .exe is signed with $signer"
else
  echo "release: UNSIGNED: no signing key was given (TAMLO_SIGN_PKCS12 or TAMLO_SIGN_PKCS11_MODULE)"
fi
