#!/usr/bin/env bash
# Guestwise.exe against GuestwiseFloor.exe, which makes the same platform
# calls and nothing else, under Wine in one throw-away prefix: median wall
# time of each, median of the pairwise ratios, peak memory, exe size.
#
#   bash bench/overhead.sh [PAIRS]   (default 30, at least 20)
#
# Exits 1 when the ratio or the size misses its target.
set -euo pipefail
cd "$(dirname "$0")/.."

pairs=${1:-30}
if ! [[ $pairs =~ ^[0-9]+$ ]] || [ "$pairs" -lt 20 ]; then
  echo "usage: $0 [PAIRS]  (PAIRS a whole number, at least 20)" >&2
  exit 2
fi
warmups=3
max_ratio=1.05
max_size=$((1024 * 1024))

source scripts/packages.sh
require_packages "${WINDOWS_PACKAGES[@]}" time python3

[ -f build/windows/CMakeCache.txt ] || cmake --preset windows >/dev/null
cmake --build --preset windows --target Guestwise guestwise_floor >/dev/null
guestwise=$PWD/build/windows/Guestwise.exe
floor=$PWD/build/windows/runner-tools/GuestwiseFloor.exe

work=$(mktemp -d /tmp/guestwise-overhead.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
# Never offer to download Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Wine's background services inherit the output handles of the command that
# starts them and outlive it: every Wine output goes to a file, never a pipe.
echo "Booting a Wine prefix in $WINEPREFIX"
wine wineboot --init >"$work/wineboot.log" 2>&1
wineserver -w >>"$work/wineboot.log" 2>&1
[ -f "$WINEPREFIX/system.reg" ] || { echo "wineboot left no registry" >&2; exit 1; }
# One server for the whole measurement, so that no run pays its start.
wineserver -p >"$work/wineserver.log" 2>&1

# Runs one exe; appends "<label> <wall microseconds> <peak RSS KiB>".
run() {
  local label=$1 exe=$2 start end status=0
  start=$EPOCHREALTIME
  /usr/bin/time -v -o "$work/time.txt" wine "$exe" \
    >"$work/$label.out" 2>"$work/$label.err" </dev/null || status=$?
  end=$EPOCHREALTIME
  # Guestwise exits 1 for a detected machine, 0 otherwise; anything else
  # (an exception, a crash) would time a run that did not finish its work.
  if [ "$status" -gt 1 ] || { [ "$label" = floor ] && [ "$status" -ne 0 ]; }; then
    echo "$label run failed with status $status:" >&2
    cat "$work/$label.err" "$work/time.txt" >&2
    exit 1
  fi
  local rss
  rss=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$work/time.txt")
  # The decimal point of EPOCHREALTIME follows the locale.
  echo "$label $((${end//[.,]/} - ${start//[.,]/})) $rss" >>"$work/runs.txt"
}

echo "Warming up ($warmups runs of each)"
for ((i = 0; i < warmups; i++)); do
  run guestwise "$guestwise"
  run floor "$floor"
done
# Both must have done their full work: a WMI that failed would make both
# runs short and the comparison meaningless.
if ! grep -q '"error": null' "$work/guestwise.out" ||
  grep -q 'WMI initialization failed' "$work/guestwise.out"; then
  echo "Guestwise did not complete a normal run; its report:" >&2
  cat "$work/guestwise.out" >&2
  exit 1
fi
: >"$work/runs.txt"

echo "Measuring $pairs pairs, alternating"
for ((i = 0; i < pairs; i++)); do
  run guestwise "$guestwise"
  run floor "$floor"
done

size=$(stat -c %s "$guestwise")
x86_64-w64-mingw32-strip -o "$work/stripped.exe" "$guestwise"
stripped=$(stat -c %s "$work/stripped.exe")

python3 - "$work/runs.txt" "$max_ratio" "$size" "$stripped" "$max_size" <<'EOF'
import statistics
import sys

runs_file, max_ratio, size, stripped, max_size = sys.argv[1:]
max_ratio, size, stripped, max_size = float(max_ratio), int(size), int(stripped), int(max_size)
wall = {"guestwise": [], "floor": []}
rss = {"guestwise": [], "floor": []}
with open(runs_file) as runs:
    for line in runs:
        label, micros, kib = line.split()
        wall[label].append(int(micros) / 1000.0)
        rss[label].append(int(kib))
ratios = [g / f for g, f in zip(wall["guestwise"], wall["floor"])]


def quartiles(values):
    q = statistics.quantiles(values, n=4)
    return q[0], q[2]


print(f"pairs: {len(ratios)}")
for label, name in (("guestwise", "Guestwise.exe"), ("floor", "GuestwiseFloor.exe")):
    low, high = quartiles(wall[label])
    print(f"{name:19} median wall {statistics.median(wall[label]):8.1f} ms"
          f"  (quartiles {low:.1f} - {high:.1f} ms)"
          f"  peak RSS max {max(rss[label])} KiB, median {statistics.median(rss[label]):.0f} KiB")
low, high = quartiles(ratios)
ratio = statistics.median(ratios)
ratio_met = ratio <= max_ratio
print(f"median ratio Guestwise/floor: {ratio:.3f}  (quartiles {low:.3f} - {high:.3f})"
      f"  target <= {max_ratio}: {'met' if ratio_met else 'MISSED'}")
size_met = stripped <= max_size
print(f"Guestwise.exe: {size} bytes as built, {stripped} bytes stripped"
      f"  target <= {max_size}: {'met' if size_met else 'MISSED'}")
sys.exit(0 if ratio_met and size_met else 1)
EOF
