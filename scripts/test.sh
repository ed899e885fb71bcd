#!/usr/bin/env bash
# Lints the CI workflows, then builds everything and runs every test: the
# native unit tests, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets for a bounded time, then the
# Windows build's tests under Wine, built with MinGW-w64 GCC and again with
# clang, then that the replay preset builds with none of the test tools, and
# last that the three exes build to the same bytes from a clone in another
# folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
require_node
bash scripts/lint-workflows.sh
# Before any build: the Windows tests need namespaces, and say so at once.
python3 tests/e2e/guest.py check
for preset in native native-asan fuzz windows windows-clang; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset" -j "$(nproc)"
done
bash scripts/replay-preset.sh
bash scripts/reproduce.sh
