#!/usr/bin/env bash
# Builds the console front end and runs it on the built-in simulated enclosures.
# With --window it also builds the Windows demo window and runs it under Wine:
# on the current X display when there is one, otherwise on a virtual display,
# where it takes a screenshot (build-win/window.png) instead.
set -euo pipefail
cd "$(dirname "$0")/.."
window=0
for arg in "$@"; do
  case "$arg" in
    --window) window=1 ;;
    *) echo "usage: tools/demo.sh [--window]" >&2; exit 2 ;;
  esac
done
bash tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tx4077x-console
./build/tx4077x-console --simulate
[ "$window" -eq 1 ] || { echo "(tools/demo.sh --window runs the demo window under Wine)"; exit 0; }

cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-win -j "$(nproc)" --target tx4077x-demo
. tools/wine-env.sh build-win
if [ -n "${DISPLAY:-}" ]; then
  wine build-win/tx4077x-demo.exe
else
  xvfb-run -a -s "-screen 0 1024x768x24" \
    bash tools/screenshot.sh build-win/tx4077x-demo.exe build-win/window.png
  wineserver -k 2>/dev/null || true
fi
