#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# only when some are missing. As non-root it prints the command instead.
#
#   scripts/setup.sh                       install what is missing
#   scripts/setup.sh --check BUILD [--without PKG]...
#       configure the project once more under strace and compare every system
#       file that configure and the build in BUILD used with this list: fails,
#       naming the package, when the build depends on a package the list does
#       not bring in (a package somebody once installed by hand). --without
#       drops a package from the list, to prove the check notices.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libfltk1.3-dev libpng-dev libusb-1.0-0-dev libzip-dev zlib1g-dev libisal-dev libxml2-dev
  libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libsodium-dev
  xvfb xauth xdotool imagemagick
  usbutils gdisk fdisk unzip zip openssl android-sdk-libsparse-utils nlohmann-json3-dev
  python3 strace time desktop-file-utils dpkg-dev file minisign systemd
  clang libclang-rt-14-dev
)

here=$(cd "$(dirname "$0")" && pwd)

check() {
  local build=$1; shift
  local without=()
  while (($#)); do
    [[ $1 == --without && $# -ge 2 ]] || { echo "usage: $0 --check BUILD [--without PKG]..." >&2; exit 2; }
    without+=("$2"); shift 2
  done
  local listed=()
  for p in "${packages[@]}"; do
    [[ " ${without[*]-} " == *" $p "* ]] || listed+=("$p")
  done
  local work
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  if ! strace -f -qq -e trace=%file -o "$work/trace" \
      cmake -S "$here/.." -B "$work/build" >"$work/configure.log" 2>&1; then
    echo "check: the configure failed:" >&2
    tail -20 "$work/configure.log" >&2
    return 1
  fi
  python3 "$here/check_packages.py" "$work/trace" "$build" "${listed[@]}"
}

if [[ ${1-} == --check ]]; then
  [[ $# -ge 2 ]] || { echo "usage: $0 --check BUILD [--without PKG]..." >&2; exit 2; }
  shift
  check "$@"
  exit $?
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

cmd="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages: ${missing[*]}"
  echo "Install them as root with:"
  echo "  $cmd"
  exit 1
fi
echo "Installing: ${missing[*]}"
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
