#!/usr/bin/env bash
# Builds Guestwise.exe and runs one detection under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${WINDOWS_PACKAGES[@]}"
cmake --preset windows >/dev/null
cmake --build --preset windows --target Guestwise
# Quiet Wine, and no offer to download Mono or Gecko on a first start.
WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine build/windows/Guestwise.exe "$@"
