#!/usr/bin/env bash
# Builds GuestwiseReplay with the replay preset in a scratch folder, as a
# person replaying a bug report would, on a machine whose GoogleTest, Google
# Benchmark and clang-format CMake cannot use: in a mount namespace of its
# own, every file of those packages is an empty, unreadable-as-code file.
# Then replays the committed facts of a VMware guest with it.
set -euo pipefail
# A failure that the script does not explain itself ends with this line.
trap 'echo "replay-preset.sh: \`$BASH_COMMAND\` failed with status $?" >&2' ERR
cd "$(dirname "$0")/.."
if [ "${1:-}" != --inside ]; then
  user=()
  [ "$(id -u)" -eq 0 ] || user=(--map-root-user)
  exec unshare --mount --propagation private "${user[@]}" bash "$0" --inside
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
: > "$scratch/empty"
for path in $(dpkg -L googletest libgtest-dev libgmock-dev libbenchmark-dev clang-format-14); do
  if [ -f "$path" ] && [ ! -L "$path" ]; then mount --bind "$scratch/empty" "$path"; fi
done
if [ -s /usr/lib/llvm-14/bin/clang-format ] || [ -s /usr/include/gtest/gtest.h ]; then
  echo "replay-preset.sh: the packages are still visible" >&2
  exit 1
fi
cmake --preset replay -B "$scratch/build" > "$scratch/configure.log" || {
  cat "$scratch/configure.log"
  echo "replay-preset.sh: the replay preset did not configure" >&2
  exit 1
}
cmake --build "$scratch/build" --target GuestwiseReplay -j "$(nproc)"
status=0
"$scratch/build/GuestwiseReplay" tests/data/vmware-guest-facts-1.0.0.json > /dev/null || status=$?
[ "$status" -eq 1 ] || { echo "replay-preset.sh: the replay gave status $status, not 1" >&2; exit 1; }
echo "replay preset: GuestwiseReplay built and replayed without GoogleTest, benchmark or clang-format"
