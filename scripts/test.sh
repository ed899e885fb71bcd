#!/usr/bin/env bash
# Lints the CI workflows, then builds everything and runs every test: the
# native unit tests, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets for a bounded time, then the
# Windows build's tests under Wine, built with MinGW-w64 GCC and again with
# clang, then that the replay preset builds with none of the test tools, and
# last that the three exes build to the same bytes from a clone in another
# folder. Every stage runs, whatever the one before it gave; the run ends
# with a line per stage, and fails when any stage failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/checkout.sh
require_buildable_checkout
source scripts/packages.sh
require_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
require_node
# Before any build: the Windows tests need namespaces, and say so at once.
python3 tests/e2e/guest.py check

# Sets `why` when it fails: the step, or the tests that failed.
run_preset() {
  local preset=$1 failed_log=build/$1/Testing/Temporary/LastTestsFailed.log
  why=": did not configure"
  cmake --preset "$preset" || return 1
  why=": did not build"
  cmake --build --preset "$preset" -j "$(nproc)" || return 1
  rm -f "$failed_log"
  why=": ctest failed"
  ctest --preset "$preset" -j "$(nproc)" && return 0
  [ -s "$failed_log" ] && why=": $(cut -d: -f2- "$failed_log" | paste -sd ' ')"
  return 1
}

# A script says why it failed in the last line it writes to standard error.
run_script() {
  local errors status=0
  errors=$(mktemp)
  { "$@" 2>&1 1>&3 3>&- | tee "$errors" >&2; } 3>&1 || status=$?
  [ ! -s "$errors" ] || why=": $(tail -n 1 "$errors")"
  rm -f "$errors"
  return "$status"
}

summary=()
failures=0
stage() {
  local name=$1 start=$SECONDS
  shift
  why=""
  if "$@"; then
    summary+=("$name: passed in $((SECONDS - start)) s")
  else
    summary+=("$name: failed in $((SECONDS - start)) s$why")
    failures=$((failures + 1))
  fi
}

stage "workflow lint" run_script bash scripts/lint-workflows.sh
for preset in native native-asan fuzz windows windows-clang; do
  stage "$preset" run_preset "$preset"
done
stage "replay preset" run_script bash scripts/replay-preset.sh
stage "reproducible build" run_script bash scripts/reproduce.sh

echo
printf '%s\n' "${summary[@]}"
echo "stages: $((${#summary[@]} - failures)) passed, $failures failed, in $SECONDS s"
[ "$failures" -eq 0 ]
