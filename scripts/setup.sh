#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine.
# Idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins fonts-dejavu-core
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  xvfb xdotool x11-utils imagemagick xauth openbox wmctrl
  clang clang-tidy clang-format cppcheck libclang-rt-14-dev
  libgtest-dev libgmock-dev
  python3 util-linux procps
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: need root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
