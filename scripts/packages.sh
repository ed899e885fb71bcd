# Sourced by the other scripts: installs the Debian packages that are missing
# (as root), or names the one apt-get line to run (otherwise).

# The releases whose package names the lists below use, and on which the
# test command has passed.
SUPPORTED_RELEASES="Debian 12 (bookworm) and Debian 13 (trixie)"

# This machine's release as its os-release names it, e.g. "Debian GNU/Linux
# 12 (bookworm)"; the file is sourced in a subshell, as it is meant to be.
release_name() {
  (. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-$ID $VERSION_ID}") || echo "an unknown system"
}

# Says so, once a run, where this is not a supported release, and lets the
# attempt go on.
warn_unsupported_release() {
  [ -n "${GUESTWISE_RELEASE_CHECKED:-}" ] && return 0
  export GUESTWISE_RELEASE_CHECKED=1
  case "$( (. /etc/os-release 2>/dev/null && echo "$ID $VERSION_ID") || true)" in
    "debian 12" | "debian 13") ;;
    *) echo "packages: this is $(release_name), not one of $SUPPORTED_RELEASES: trying anyway" >&2 ;;
  esac
}

require_packages() {
  if ! command -v dpkg-query >/dev/null; then
    echo "packages: no dpkg-query here: the scripts install with Debian's apt, on $SUPPORTED_RELEASES" >&2
    exit 1
  fi
  warn_unsupported_release
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Run as root:" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  local unknown=()
  for package in "${missing[@]}"; do
    apt-cache show "$package" >/dev/null 2>&1 || unknown+=("$package")
  done
  if [ ${#unknown[@]} -ne 0 ]; then
    echo "packages: $(release_name) has no package ${unknown[*]}; the supported releases are $SUPPORTED_RELEASES" >&2
    exit 1
  fi
  apt-get install -y -q "${missing[@]}"
}

# What the Windows build and Wine need.
WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix wine wine64 googletest python3 iproute2
  python3-jsonschema python3-pefile python3-yaml nlohmann-json3-dev openssl osslsigncode)
# What a release build needs: the Windows build without its tests, the
# signing, and the Scoop manifest.
RELEASE_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix nlohmann-json3-dev python3 openssl
  osslsigncode)
# What the native GuestwiseReplay alone needs, and the check that replays
# the Windows runners' facts with it.
REPLAY_PACKAGES=(cmake make g++ nlohmann-json3-dev python3)
# What the native build, its tests, the sanitizer and fuzz builds, the
# benchmarks and the SMBIOS census need.
NATIVE_PACKAGES=(cmake make g++ libgtest-dev libbenchmark-dev python3 clang clang-format libclang-rt-dev
  nlohmann-json3-dev zlib1g-dev)

# The workflow linter runs on Node.js and comes through npm. Any Node.js that
# brings both commands will do (NodeSource's bundles npm and conflicts with
# Debian's npm package); Debian's is installed only when one is missing.
require_node() {
  command -v node >/dev/null && command -v npm >/dev/null && return 0
  require_packages nodejs npm
}
