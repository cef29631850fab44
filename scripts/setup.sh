#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, as root.
# Idempotent: when every package is already present it only checks and returns.
#
#   bash scripts/setup.sh [--sanitizers]
#
# --sanitizers adds what the asan preset and the fuzzer need: Clang 14 with its
# sanitizer and libFuzzer runtimes, and llvm-symbolizer for readable reports.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  libunicorn-dev libcapstone-dev libjemalloc-dev libgtest-dev libcli11-dev
  libfreetype-dev libfontconfig-dev fonts-liberation libpng-dev libx11-dev nlohmann-json3-dev
  xvfb xdotool
  zip clang-format-14
)
for option in "$@"; do
  case $option in
    --sanitizers) packages+=(clang-14 libclang-rt-14-dev llvm-14) ;;
    *) echo "setup: unknown option $option (the only one is --sanitizers)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  echo "setup: installing ${missing[*]}"
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Windows lane (wine, and QEMU where this kernel runs no 32-bit programs).
# It never fails this script: what it cannot make it records, and the Windows
# tests are skipped with that reason.
bash "$(dirname "$0")/setup-windows.sh"
