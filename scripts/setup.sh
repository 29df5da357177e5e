#!/usr/bin/env bash
# Installs every Debian package the product needs to build, test and run.
# Does nothing when they are all present already.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git python3
  qtbase5-dev qtbase5-dev-tools libqt5xml5
  libsqlite3-dev sqlite3 libplist-dev libssl-dev python3-cryptography
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qtwebengine5-dev xvfb xauth fonts-noto-cjk fonts-noto-color-emoji
  clang libclang-rt-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
