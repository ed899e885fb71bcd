#!/usr/bin/env bash
# Checks that the three exes of the release are reproducible: builds them a
# second time from a clone of HEAD in another folder and compares each pair
# byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages git "${WINDOWS_PACKAGES[@]}"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "Uncommitted changes: a clone of HEAD cannot give this tree's exe. Commit first." >&2
  exit 1
fi
cmake --preset windows >/dev/null
exes=(Guestwise GuestwiseFacts GuestwiseReplay)
cmake --build --preset windows -j "$(nproc)" --target "${exes[@]}"
scratch=$(mktemp -d /tmp/guestwise-reproduce-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# --shared: the clone borrows this repository's objects, so HEAD is there
# even when no branch points at it.
git clone --quiet --shared --no-checkout . "$scratch/guestwise"
git -C "$scratch/guestwise" checkout --quiet --detach "$(git rev-parse HEAD)"
(cd "$scratch/guestwise" && cmake --preset windows >/dev/null &&
  cmake --build --preset windows -j "$(nproc)" --target "${exes[@]}" >/dev/null)
differ=()
for exe in "${exes[@]}"; do
  sha256sum "build/windows/$exe.exe" "$scratch/guestwise/build/windows/$exe.exe"
  cmp "build/windows/$exe.exe" "$scratch/guestwise/build/windows/$exe.exe" || differ+=("$exe.exe")
done
if [ ${#differ[@]} -ne 0 ]; then
  echo "NOT REPRODUCIBLE: two builds of $(git rev-parse --short HEAD) differ in ${differ[*]}." >&2
  exit 1
fi
echo "Reproducible: both builds of $(git rev-parse --short HEAD) give the same bytes for ${exes[*]/%/.exe}."
