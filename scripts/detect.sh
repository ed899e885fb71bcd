#!/usr/bin/env bash
# Builds Guestwise.exe and runs one detection under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/checkout.sh
require_buildable_checkout
source scripts/packages.sh
require_packages "${WINDOWS_PACKAGES[@]}"
cmake --preset windows >/dev/null
cmake --build --preset windows --target Guestwise
# Quiet Wine, and no offer to download Mono or Gecko on a first start.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Debian 13's Wine aborts on every command while TMPDIR is set.
unset TMPDIR
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Wine 10 complains on standard error without a runtime folder of the user's
# own (a root shell or a chroot often has none): give it one for this run.
if [ ! -d "${XDG_RUNTIME_DIR:-}" ] || [ ! -O "$XDG_RUNTIME_DIR" ]; then
  export XDG_RUNTIME_DIR=$scratch/runtime
  mkdir -m 700 "$XDG_RUNTIME_DIR"
fi
# Wine's first start makes its configuration and says so on standard error,
# before the report: make it beforehand, and show what Wine said only when
# that fails.
prefix=${WINEPREFIX:-$HOME/.wine}
if [ ! -f "$prefix/system.reg" ]; then
  echo "Making Wine's configuration in $prefix (once)"
  log=$scratch/wineboot.log
  if ! { wine wineboot --init && wineserver -w; } >"$log" 2>&1 || [ ! -f "$prefix/system.reg" ]; then
    cat "$log" >&2
    echo "detect.sh: Wine could not make its configuration in $prefix" >&2
    exit 1
  fi
fi
wine build/windows/Guestwise.exe "$@"
