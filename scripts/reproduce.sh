#!/usr/bin/env bash
# Checks that the release is reproducible: builds the three exes and the zip
# a second time from HEAD's files in another folder and compares each pair
# byte for byte.
set -euo pipefail
# A failure that the script does not explain itself ends with this line.
trap 'echo "reproduce.sh: \`$BASH_COMMAND\` failed with status $?" >&2' ERR
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
# The export below has no git history to date the zip's entries by: both
# builds take the commit's time from here.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
cmake --preset windows >/dev/null
exes=(Guestwise GuestwiseFacts GuestwiseReplay)
cmake --build --preset windows -j "$(nproc)" --target "${exes[@]}"
cmake --build --preset windows -j "$(nproc)" --target package >/dev/null
zip=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' build/windows/CPackConfig.cmake).zip
scratch=$(mktemp -d /tmp/guestwise-reproduce-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/guestwise"
git archive --format=tar HEAD | tar -x -C "$scratch/guestwise"
# Without the tests, which the release leaves out too and which change no
# byte of what the zip holds.
(cd "$scratch/guestwise" && cmake --preset windows -DGUESTWISE_TESTS=OFF >/dev/null &&
  cmake --build --preset windows -j "$(nproc)" --target package >/dev/null)
differ=()
for file in "${exes[@]/%/.exe}" "$zip"; do
  sha256sum "build/windows/$file" "$scratch/guestwise/build/windows/$file"
  cmp -s "build/windows/$file" "$scratch/guestwise/build/windows/$file" || differ+=("$file")
done
if [ ${#differ[@]} -ne 0 ]; then
  where=""
  if [ "${differ[-1]}" = "$zip" ]; then
    where=" $(python3 scripts/reproducible-zip.py --compare "build/windows/$zip" \
      "$scratch/guestwise/build/windows/$zip" || true)"
  fi
  echo "NOT REPRODUCIBLE: two builds of $(git rev-parse --short HEAD) differ in ${differ[*]}.$where" >&2
  exit 1
fi
echo "Reproducible: both builds of $(git rev-parse --short HEAD) give the same bytes for ${exes[*]/%/.exe} and $zip."
