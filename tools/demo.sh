#!/usr/bin/env bash
# The main job: builds the console front end and, on the built-in simulated
# enclosures, lists them, then updates the TX40775 enclosure (entry 0) with a
# generated firmware image: identify, check, erase, program, verify and the
# power-cycle notice. A backup-only run in the same window then reads the
# flash back, and the file is compared with the image; the same follows for a
# TXV929 and a TXR843 over IEEE 1394.
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
cmake --build build -j "$(nproc)" --target tx4077x-console tx4077x-make-image

console=./build/tx4077x-console
out=build/demo
mkdir -p "$out"
image="$out/tx40775-firmware.bin"
readback="$out/tx40775-readback.bin"
rm -f "$readback"

echo "== the enclosures, as the window shows them"
"$console" --simulate
echo
echo "== a firmware image for the TX40775 (chip type 1, sub-code 1)"
./build/tx4077x-make-image 1 1 "$image"
echo
echo "== Run on entry 0 with that image, then a backup-only run of the same flash"
"$console" --simulate --run 0 --image "$image" \
  --run 0 --rd --backup-only --backup-file "$readback"
echo
size=$(stat -c %s "$image")
if cmp -n "$size" "$image" "$readback"; then
  echo "== read back: the first $size bytes of the flash are the image ($readback)"
else
  echo "== read back: the flash does NOT hold the image" >&2
  exit 1
fi

# The block-command chips: the TXV929 (entry 7, repaired when listed above, two
# banks, resets itself) and the TXR843 over IEEE 1394 (entry 1).
for job in "7 12 0 txv929" "1 7 2 txr843-1394"; do
  set -- $job
  img="$out/$4-firmware.bin"
  back="$out/$4-readback.bin"
  rm -f "$back"
  echo
  echo "== Run on entry $1 (chip type $2) with a generated image, then a backup-only run"
  ./build/tx4077x-make-image "$2" "$3" "$img"
  "$console" --simulate --run "$1" --image "$img" --run "$1" --rd --backup-only --backup-file "$back"
  size=$(stat -c %s "$img")
  # The TXV929's bank checksum is stamped by the procedure at 0xBFFE.
  if [ "$2" -eq 12 ]; then
    same=$(cmp -n 49150 "$img" "$back" >/dev/null && cmp -i 49152 -n $((size - 49152)) "$img" "$back" >/dev/null && echo y || true)
  else
    same=$(cmp -n "$size" "$img" "$back" >/dev/null && echo y || true)
  fi
  if [ "$same" = y ]; then
    echo "== read back: the flash holds the image ($back)"
  else
    echo "== read back: the flash does NOT hold the image" >&2
    exit 1
  fi
done

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
