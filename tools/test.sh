#!/usr/bin/env bash
# Builds everything and runs every test: the native build with ctest, then the
# Windows build (mingw-w64) with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DTX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-win -G Ninja -DTX_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-win -j "$jobs"
. tools/wine-env.sh build-win
# One persistent wineserver for all tests. The first wine call starts Wine's
# background services; they inherit its output, so it must not be ctest's pipe.
wineserver -p >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT
cd build-win
xvfb-run -a -s "-screen 0 1024x768x24" sh -c \
  'wine cmd /c exit >/dev/null 2>&1 </dev/null; ctest --output-on-failure'

