#!/usr/bin/env bash
# Installs the Debian 12 packages Sentrel needs to build, test and run,
# skipping those already present. Uses sudo when not run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config   # toolchain
  ccache                                         # compiler cache shared by the build folders
  clang libclang-rt-14-dev                       # fuzz targets (libFuzzer)
  libgtest-dev libgmock-dev libbenchmark-dev     # tests and benchmarks
  libplist-dev                                   # property lists
  libcbor-dev                                    # compact values: bus payloads, settings image parts
  libsystemd-dev dbus                            # sd-bus and the device's dbus-daemon
  uuid-dev                                       # UUIDs
  zlib1g-dev                                     # CRC-32 of the settings image
  libcurl4-openssl-dev liburiparser-dev          # URL parsing and HTTP
  libfreetype-dev libharfbuzz-dev                # UI text: font files and shaping
  libfontconfig-dev fonts-inter libicu-dev       # UI text: the system font, line breaking
  libpng-dev                                     # UI images: PNG sizes
  procps psmisc curl netbase                     # ps/kill/killall, curl for the demo, /etc/services
  libboost1.81-dev nlohmann-json3-dev            # the screen page's HTTP/WebSocket server, JSON
  chromium                                       # the browser the screen tests drive headless
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "sentrel: all build dependencies are installed"
  exit 0
fi

echo "sentrel: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
