#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any given as
# arguments. Safe to run twice.
set -euo pipefail
need=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest libbenchmark-dev nlohmann-json3-dev
      g++-mingw-w64-x86-64 wine64 xvfb xauth imagemagick x11-utils xdotool procps clang libclang-rt-14-dev "$@")
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
