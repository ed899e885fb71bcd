#!/usr/bin/env bash
# The release workflow's steps, which run by hand the same way:
#   release.sh check TAG
#     stops with one line unless TAG is vMAJOR.MINOR.PATCH naming the
#     version that the build carries, and CHANGELOG.md has its section with
#     at least one entry ("- " item).
#   release.sh build
#     builds the zip in build/release; signs its programs when the
#     environment holds GUESTWISE_SIGNING_CERT and GUESTWISE_SIGNING_KEY (PEM
#     text; GUESTWISE_SIGNING_TIMESTAMP_URL optional), and stops when it
#     holds only one of them.
#   release.sh assets TAG REPOSITORY SERVER_URL COMMIT
#     writes what the release publishes into build/release/assets: the zip,
#     the Scoop manifest guestwise.json, the three winget manifests
#     (Kestrova.Guestwise*.yaml), SHA256SUMS over them all, and notes.md.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build/release

fail() {
  echo "release: $*" >&2
  exit 1
}

project_version() {
  sed -n 's/^project(Guestwise VERSION \([^ )]*\).*/\1/p' CMakeLists.txt
}

# The lines under "## [VERSION]" in CHANGELOG.md, up to the next section,
# without the blank lines around them.
changelog_section() {
  awk -v heading="## [$1]" '
    index($0, "## [") == 1 { inside = (index($0, heading) == 1); next }
    inside { lines[++n] = $0 }
    END {
      first = 1; while (first <= n && lines[first] == "") first++
      last = n; while (last >= first && lines[last] == "") last--
      for (i = first; i <= last; i++) print lines[i]
    }' CHANGELOG.md
}

check() {
  local tag=$1 version
  [[ $tag =~ ^v(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)$ ]] ||
    fail "the tag '$tag' is not a version tag such as v1.0.0"
  version=${tag#v}
  [ "$version" = "$(project_version)" ] ||
    fail "the tag $tag names version $version, but the build carries $(project_version) (project() in CMakeLists.txt)"
  local section
  section=$(changelog_section "$version")
  [ -n "$section" ] ||
    fail "CHANGELOG.md has no section '## [$version]' for the release notes"
  grep -q '^- ' <<<"$section" ||
    fail "CHANGELOG.md's section '## [$version]' lists no entries ('- ' items): the release notes would say nothing of what it holds"
  echo "release: $tag names the build's version, and CHANGELOG.md has its section with entries"
}

# Writes the PEM texts into files of `folder` that only their owner can read,
# and checks that they are a certificate and its key.
write_signing_files() {
  local folder=$1
  (umask 077 && printf '%s\n' "$GUESTWISE_SIGNING_CERT" > "$folder/cert.pem" &&
    printf '%s\n' "$GUESTWISE_SIGNING_KEY" > "$folder/key.pem")
  openssl x509 -noout -in "$folder/cert.pem" 2>/dev/null ||
    fail "GUESTWISE_SIGNING_CERT is not a PEM certificate"
  openssl pkey -noout -in "$folder/key.pem" 2>/dev/null ||
    fail "GUESTWISE_SIGNING_KEY is not a PEM private key (or needs a passphrase)"
  [ "$(openssl x509 -noout -pubkey -in "$folder/cert.pem")" = \
    "$(openssl pkey -pubout -in "$folder/key.pem")" ] ||
    fail "GUESTWISE_SIGNING_KEY is not the key of GUESTWISE_SIGNING_CERT"
}

build() {
  local cert=${GUESTWISE_SIGNING_CERT:-} key=${GUESTWISE_SIGNING_KEY:-} signing=()
  if [ "${cert:+set}" != "${key:+set}" ]; then
    fail "only one of GUESTWISE_SIGNING_CERT and GUESTWISE_SIGNING_KEY is set: signing needs both, an unsigned release neither"
  fi
  source scripts/packages.sh
  require_packages "${RELEASE_PACKAGES[@]}"
  if [ -n "$cert" ]; then
    secrets=$(mktemp -d)
    trap 'rm -rf "$secrets"' EXIT
    write_signing_files "$secrets"
    signing=(-DGUESTWISE_SIGNING_CERT="$secrets/cert.pem" -DGUESTWISE_SIGNING_KEY="$secrets/key.pem"
      -DGUESTWISE_SIGNING_TIMESTAMP_URL="${GUESTWISE_SIGNING_TIMESTAMP_URL:-}")
    echo "release: the zip's programs will be signed"
  else
    echo "release: no signing secrets: the zip's programs stay unsigned"
  fi
  # The programs alone: the tests ran in CI, and they do not change a byte
  # of the exes. The cache is set anew, so an earlier signed build leaves no
  # trace of its (removed) key files.
  rm -f "$BUILD/CMakeCache.txt"
  cmake --preset windows -B "$BUILD" -DGUESTWISE_TESTS=OFF "${signing[@]}" >/dev/null
  cmake --build "$BUILD" -j "$(nproc)" --target package
}

# The zip's name as cmake/release.cmake gave it to CPack.
zip_path() {
  local name
  name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake" 2>/dev/null || true)
  [ -n "$name" ] || fail "no release build in $BUILD: run release.sh build first"
  echo "$BUILD/$name.zip"
}

# Whether the zip's Guestwise.exe carries an Authenticode signature: the
# notes say what the zip holds, not what the build was asked for.
zip_is_signed() {
  local zip unpacked status=0
  zip=$(realpath "$1")
  unpacked=$(mktemp -d)
  # Not in a condition, where a failure would not stop the script.
  (cd "$unpacked" && cmake -E tar xf "$zip" Guestwise.exe)
  osslsigncode extract-signature -in "$unpacked/Guestwise.exe" -out "$unpacked/signature" \
    >/dev/null 2>&1 || status=$?
  rm -rf "$unpacked"
  return $status
}

# What built the release, read off the machine that built it: the same bytes
# come back only from the same release and compiler.
toolchain() {
  source scripts/packages.sh
  local package version versions=()
  for package in g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev; do
    # On a line of its own: inside an array's words, a failure is silent.
    version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) && [ -n "$version" ] ||
      fail "cannot read the version of $package: the release notes would not name the toolchain"
    versions+=("$package $version")
  done
  echo "$(release_name), with ${versions[0]} and ${versions[1]}"
}

notes() {
  local tag=$1 repository=$2 server=$3 commit=$4 signed=$5 zip=$6 attested=$7 built_on=$8
  changelog_section "${tag#v}"
  cat <<EOT

## Verify this download

**Checksums.** \`SHA256SUMS\` lists the zip, \`guestwise.json\` and the winget manifests;
once unpacked, the zip's own \`SHA256SUMS\` lists each file in it.

    sha256sum -c SHA256SUMS
    Get-FileHash $zip   # PowerShell: compare with its line

EOT
  if [ "$attested" = yes ]; then
    cat <<EOT
**Provenance.** The zip and each program carry a build-provenance attestation:
built by this repository's release workflow from commit $commit.

    gh attestation verify $zip --repo $repository

EOT
  else
    cat <<EOT
**Provenance.** None: this release carries no build-provenance attestation,
since GitHub issues none for this repository (a private repository outside
GitHub Enterprise Cloud). The checksums, and a rebuild of commit $commit
(below), are what tie the download to its source.

EOT
  fi
  echo "**Built on** $built_on. A rebuild gives the same bytes on that release, with"
  echo "that compiler."
  echo
  if [ "$signed" = yes ]; then
    cat <<EOT
**Signature.** The programs are signed (Authenticode, SHA-256).

    Get-AuthenticodeSignature .\Guestwise.exe   # PowerShell
    osslsigncode verify -in Guestwise.exe

**Rebuild.** The release is reproducible: built again on that release with that
compiler, this commit gives the same programs once \`osslsigncode
remove-signature\` has taken their signatures off, and the same other files. The zip itself differs from the
unsigned rebuild's by those signatures and their lines in its \`SHA256SUMS\`.

    git clone $server/$repository guestwise && cd guestwise && git checkout $commit
    bash scripts/release.sh build
    osslsigncode remove-signature -in Guestwise.exe -out unsigned.exe   # each program
    cmp unsigned.exe build/release/Guestwise.exe
EOT
  else
    cat <<EOT
**Signature.** None: no code-signing certificate was set for this release,
so Windows may say that the programs' publisher is unknown.

**Rebuild.** The zip is reproducible: built again on that release with that
compiler, this commit gives the same zip, byte for byte, and so the same
programs.

    git clone $server/$repository guestwise && cd guestwise && git checkout $commit
    bash scripts/release.sh build
    cmp build/release/$zip path/to/the/downloaded/$zip
EOT
  fi
}

assets() {
  local tag=$1 repository=$2 server=$3 commit=$4 out=$BUILD/assets zip
  check "$tag" >/dev/null
  zip=$(zip_path)
  rm -rf "$out"
  mkdir -p "$out"
  cp "$zip" "$out/"
  local manifest=(--zip "$zip" --server "$server" --repository "$repository" --tag "$tag")
  python3 scripts/scoop-manifest.py "${manifest[@]}" > "$out/guestwise.json"
  python3 scripts/winget-manifest.py "${manifest[@]}" --out "$out"
  (cd "$out" && sha256sum -- *.zip guestwise.json *.yaml > SHA256SUMS)
  local signed=no built_on
  if zip_is_signed "$zip"; then signed=yes; fi
  built_on=$(toolchain)
  # Whether GitHub attests is known only when the publish job tries: it
  # takes the notes that say what happened.
  notes "$tag" "$repository" "$server" "$commit" "$signed" "$(basename "$zip")" yes \
    "$built_on" > "$out/notes.md"
  notes "$tag" "$repository" "$server" "$commit" "$signed" "$(basename "$zip")" no \
    "$built_on" > "$out/notes-unattested.md"
  echo "release: $out holds $(cd "$out" && echo *)"
}

command=${1:-}
case "$command" in
  check) [ $# -eq 2 ] || fail "usage: release.sh check TAG"; check "$2" ;;
  build) [ $# -eq 1 ] || fail "usage: release.sh build"; build ;;
  assets)
    [ $# -eq 5 ] || fail "usage: release.sh assets TAG REPOSITORY SERVER_URL COMMIT"
    assets "$2" "$3" "$4" "$5"
    ;;
  *) fail "usage: release.sh check TAG | build | assets TAG REPOSITORY SERVER_URL COMMIT" ;;
esac
