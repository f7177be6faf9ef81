#!/usr/bin/env bash
# The demo window under a user's input: real X keys and clicks (xdotool) on
# Wine's desktop with a task bar, the program's Unix process stopped while
# keys are typed, as a busy window thread would leave them.
# Usage: real_input.sh DEMO_EXE PROBE_EXE   (WINEPREFIX set; exits 77 without
# a display or xdotool)
set -euo pipefail
demo=$1 probe=$2
if [ -z "${DISPLAY:-}" ] || ! command -v xdotool >/dev/null; then
  echo "no X display or no xdotool: skipped"; exit 77
fi
# A copy of its own, so that its Unix process is told apart from any other.
dir=$(mktemp -d)
# A failed run shows what the program told the debugger (its trace).
trap 'rc=$?; [ $rc = 0 ] || tail -n 20 "$dir/trace" 2>/dev/null
      kill -CONT $pid 2>/dev/null; kill $pid $desk 2>/dev/null; rm -rf "$dir"' EXIT
pid='' desk=''
cp "$demo" "$dir/tx4077x-demo.exe"
images="Z:${dir//\//\\}\\demo-firmware"
powerCycle="Please Turn-Off the Power and Turn-On Again !"
mismatch="The firmware file seems not match this chip!"

probe() { wine "$probe" "$@" | tr -d '\r'; }
# Checks that the box is up with the keys, and stays so unanswered.
stays() { probe "box=$1" 5000 && sleep 0.3 && probe "box=$1" 0; }
typed() { kill -STOP "$pid"; xdotool "$@"; kill -CONT "$pid"; }
xfocus() {  # waits until the X keyboard focus is on one of the program's windows
  for _ in $(seq 50); do
    xprop -id "$(xdotool getwindowfocus 2>/dev/null)" WM_CLASS 2>/dev/null | grep -q tx4077x-demo && return
    sleep 0.1
  done
  echo "the X keyboard focus is not on the program"; xdotool getwindowfocus getwindowname; return 1
}
start() {
  # The desktop named "shell" has Wine's task bar; its size is the screen's.
  WINEDEBUG=-all,+debugstr wine explorer /desktop=shell,1024x768 "Z:$dir/tx4077x-demo.exe" \
    </dev/null >/dev/null 2>"$dir/trace" & desk=$!
  probe main 30000
  pid=$(pgrep -f "^Z:$dir/tx4077x-demo.exe")
  xdotool mousemove 512 300
  xfocus
}
load() {  # the file name field has the focus; Shift+Home selects what it holds
  xfocus
  xdotool key End shift+Home
  xdotool type --delay 5 "$images\\$1"
  xdotool key Return
}

echo "A key typed before a box does not answer it; after a task-bar click Enter does"
start
# Entry 0 is a TX40775: the TX40776's image is refused on Enter, with a box,
# which the second Enter, typed at the same time, must not answer.
typed type --delay 5 "$images\\tx40776-atmel.bin"
typed key Return Return
stays "$mismatch"
# The click gives the X keyboard focus to the task bar, till the program,
# activated, sets it on the box's button again.
xdotool mousemove $(probe taskbar) click 1
stays "$mismatch"
xfocus
xdotool key Return
probe main 5000

echo "Alt+F4 early in a run: the power-cycle box stays until answered, then the window closes"
load tx40775-pmc.bin
probe ready
typed key alt+r alt+F4
stays "$powerCycle"
xdotool key Return
probe gone 15000  # a busy machine takes seconds to close the program down

echo "Alt+F4 late in a run, typed while the box was being made"
# The program is stopped as soon as the X server reports its next window, the
# box's, which comes up some milliseconds later. So that the stop lands in
# between, the program shares one processor with the watcher (xev and this
# script), which, woken by the X server's word, runs before it. Should the box
# still have come up before Alt+F4 (the key then answers it, as a user's
# would), the try is made again.
dropped="Alt+F4 typed before the box"
cpus=$(taskset -cp $$ | awk '{print $NF}')  # the processors allowed, as "0-3,6"
one=${cpus%%[-,]*}
for attempt in 1 2 3 4 5; do
  start
  load tx40775-pmc.bin
  probe ready
  taskset -a -cp "$one" "$pid" >/dev/null
  taskset -cp "$one" $$ >/dev/null
  desktop=$(xdotool search --name '^shell - Wine desktop$' | head -1)
  coproc XEV { exec stdbuf -oL xev -id "$desktop" -event substructure; }
  sleep 0.2  # xev is listening
  # A short run may end while alt+r is still being released: watched meanwhile.
  xdotool key alt+r & typing=$!
  event=''
  while read -t 10 -r event _ <&"${XEV[0]}" && [ "$event" != CreateNotify ]; do :; done
  kill -STOP "$pid"
  kill "$XEV_PID"
  [ "$event" = CreateNotify ] || { echo "no window made within 10 s of alt+r"; exit 1; }
  wait "$typing"
  taskset -cp "$cpus" $$ >/dev/null
  xdotool key alt+F4
  taskset -a -cp "$cpus" "$pid" >/dev/null
  kill -CONT "$pid"
  # A slow program handles Alt+F4 some time after its box is up; dropped, the
  # key leaves its line in the trace.
  for _ in $(seq 50); do grep -q "$dropped" "$dir/trace" && break; sleep 0.1; done
  if stays "$powerCycle"; then
    grep -q "$dropped" "$dir/trace" || { echo "Alt+F4 never reached the box"; exit 1; }
    xdotool key Return
    probe gone 15000
    exit 0
  fi
  # Then Alt+F4 answered the box, which is gone, and the window stays open.
  probe main 0
  if grep -q "$dropped" "$dir/trace"; then echo "a close typed before the box was lost"; exit 1; fi
  echo "attempt $attempt: the box was up when Alt+F4 came"
  kill "$pid" "$desk" 2>/dev/null || true; wait "$desk" 2>/dev/null || true
done
exit 1
