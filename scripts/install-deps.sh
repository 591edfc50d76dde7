#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  firebird-dev libfbclient2 firebird3.0-server-core firebird3.0-server firebird3.0-utils
  libpugixml-dev libcurl4-openssl-dev libbz2-dev zlib1g-dev libssl-dev libdeflate-dev
  qt6-base-dev libgl-dev libxkbcommon-dev libvulkan-dev
  zip unzip p7zip-full bzip2 python3 python3-dbf libdbd-xbase-perl locales
  xauth xvfb
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The expression tests switch to a Russian locale (decimal comma).
if ! locale -a 2>/dev/null | grep -qiE '^ru_RU\.utf-?8$'; then
  echo "Generating the ru_RU.UTF-8 locale"
  $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
