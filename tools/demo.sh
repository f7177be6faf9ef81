#!/usr/bin/env bash
# The main job: builds the console front end and, on the built-in simulated
# enclosures, lists them, then updates the TX40775 enclosure (entry 0) with a
# generated firmware image: identify, check, erase, program, verify and the
# power-cycle notice. A backup-only run in the same window then reads the
# flash back, and the file is compared with the image. The TX40776 (parallel
# flash), the TXR847 behind the TXV929 controller, the TXR842 and the SST
# TXR847 with the 16 KB-page updates follow the same way, and so do a
# TXV929 with a damaged bank and a TXR843 over IEEE 1394.
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

# The parallel-flash bridge and the bridge behind a storage controller, found
# by their entries in the listing: programmed and read back the same way.
update_and_compare() {  # entry-text type sub-code name [backup options]
  local entry
  entry=$("$console" --simulate | sed -n "s/^entry \([0-9]*\): $1.*/\1/p" | head -n 1)
  [ -n "$entry" ] || { echo "no entry \"$1\" in the simulated set" >&2; exit 1; }
  local fw="$out/$4-firmware.bin" back="$out/$4-readback.bin"
  rm -f "$back"
  echo
  echo "== Run on entry $entry ($4, chip type $2), then a backup-only run"
  ./build/tx4077x-make-image "$2" "$3" "$fw"
  "$console" --simulate --run "$entry" --image "$fw" \
    --run "$entry" --rd --backup-only ${5:-} --backup-file "$back"
  local n
  n=$(stat -c %s "$fw")
  if cmp -n "$n" "$fw" "$back"; then
    echo "== read back: the first $n bytes of the $4 flash are the image ($back)"
  else
    echo "== read back: the $4 flash does NOT hold the image" >&2
    exit 1
  fi
}
update_and_compare "<<USB>> Tavrion TX40776" 2 0 tx40776
update_and_compare "<<847>>" 13 0 txr847
# The 16 KB-page updates: the TXR842 (chip type 6) keeps its NVRAM in front
# of the image, so its backup leaves the NVRAM out; the SST TXR847 (chip
# type 10) takes the image byte for byte.
update_and_compare "<<USB>> Tavrion TXR842" 6 1 txr842 "--nvram off"
update_and_compare "<<USB>> Tavrion TXR847" 10 2 txr847-sst "--nvram off"
# The block-command chips: the TXV929 (entry 10, repaired when selected for its run, two
# banks, resets itself) and the TXR843 over IEEE 1394 (entry 1).
for job in "10 12 0 txv929" "1 7 2 txr843-1394"; do
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
echo

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
