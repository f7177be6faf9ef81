#!/usr/bin/env bash
# Screenshot of the demo window: runs it under Wine on the current X display,
# waits for its window, captures the screen and cuts the window out.
# Usage: tools/screenshot.sh DEMO_EXE OUT_PNG   (exits 77 without a display)
set -euo pipefail
exe=$1 out=$2
if [ -z "${DISPLAY:-}" ] || ! command -v import >/dev/null; then
  echo "no X display or no imagemagick: screenshot skipped"; exit 77
fi
caption=' TX4077x FW Update Utility v1.19.01'
# The demo closes itself after 30 s should this script die before the kill below.
wine "$exe" --close-after 30000 & pid=$!
geometry=""
for _ in $(seq 1 150); do
  geometry=$(xwininfo -name "$caption" 2>/dev/null |
    awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF}
         END{if (w) print w "x" h "+" x "+" y}') || true
  [ -n "$geometry" ] && break
  sleep 0.2
done
if [ -z "$geometry" ]; then
  echo "the demo window did not appear"; kill "$pid" 2>/dev/null || true; exit 1
fi
sleep 1  # let it paint
import -window root -crop "$geometry" +repage "$out"
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
echo "window $geometry -> $out"
