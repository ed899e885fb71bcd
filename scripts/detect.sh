#!/usr/bin/env bash
# Builds Guestwise.exe and runs one detection under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${WINDOWS_PACKAGES[@]}"
cmake --preset windows >/dev/null
cmake --build --preset windows --target Guestwise
# Quiet Wine, and no offer to download Mono or Gecko on a first start.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's first start makes its configuration and says so on standard error,
# before the report: make it beforehand, and show what Wine said only when
# that fails.
prefix=${WINEPREFIX:-$HOME/.wine}
if [ ! -f "$prefix/system.reg" ]; then
  echo "Making Wine's configuration in $prefix (once)"
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  if ! { wine wineboot --init && wineserver -w; } >"$log" 2>&1 || [ ! -f "$prefix/system.reg" ]; then
    cat "$log" >&2
    echo "detect.sh: Wine could not make its configuration in $prefix" >&2
    exit 1
  fi
fi
wine build/windows/Guestwise.exe "$@"
