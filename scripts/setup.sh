#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some are
# missing. As non-root it prints the command instead of running it.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libfltk1.3-dev libpng-dev libusb-1.0-0-dev libminizip-dev zlib1g-dev libxml2-dev
  libgtest-dev libbenchmark-dev libssl-dev
  xvfb xauth xdotool imagemagick
  usbutils gdisk unzip openssl
)

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
