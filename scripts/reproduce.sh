#!/usr/bin/env bash
# Checks that Guestwise.exe is reproducible: builds it a second time from a
# clone of HEAD in another folder and compares the two byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages git "${WINDOWS_PACKAGES[@]}"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "Uncommitted changes: a clone of HEAD cannot give this tree's exe. Commit first." >&2
  exit 1
fi
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target Guestwise
scratch=$(mktemp -d /tmp/guestwise-reproduce-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# --shared: the clone borrows this repository's objects, so HEAD is there
# even when no branch points at it.
git clone --quiet --shared --no-checkout . "$scratch/guestwise"
git -C "$scratch/guestwise" checkout --quiet --detach "$(git rev-parse HEAD)"
(cd "$scratch/guestwise" && cmake --preset windows >/dev/null &&
  cmake --build --preset windows -j "$(nproc)" --target Guestwise >/dev/null)
sha256sum build/windows/Guestwise.exe "$scratch/guestwise/build/windows/Guestwise.exe"
if ! cmp build/windows/Guestwise.exe "$scratch/guestwise/build/windows/Guestwise.exe"; then
  echo "NOT REPRODUCIBLE: two builds of $(git rev-parse --short HEAD) differ." >&2
  exit 1
fi
echo "Reproducible: both builds of $(git rev-parse --short HEAD) are the same bytes."
