#!/usr/bin/env bash
# Checks that the three exes of the release are reproducible: builds them a
# second time from HEAD's files in another folder and compares each pair
# byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages git "${WINDOWS_PACKAGES[@]}"
# A root user testing a clone that another user owns (a CI container with
# the checkout mounted) meets git's "dubious ownership" refusal. The build
# runs this clone's code anyway, so trusting it for these git calls, and
# no other repository, gives nothing more away. A git started for another
# repository (a clone's upload-pack) would not see the setting: hence an
# export of HEAD below, not a clone.
git() { command git -c safe.directory="$PWD" "$@"; }
# On its own line, so that a failing git stops the script.
changes=$(git status --porcelain --untracked-files=no)
if [ -n "$changes" ]; then
  echo "Uncommitted changes: HEAD's files cannot give this tree's exes. Commit first." >&2
  exit 1
fi
cmake --preset windows >/dev/null
exes=(Guestwise GuestwiseFacts GuestwiseReplay)
cmake --build --preset windows -j "$(nproc)" --target "${exes[@]}"
scratch=$(mktemp -d /tmp/guestwise-reproduce-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/guestwise"
git archive --format=tar HEAD | tar -x -C "$scratch/guestwise"
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
