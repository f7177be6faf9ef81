# Sourced: a private Wine prefix under the given build folder, set up once.
# Usage: . tools/wine-env.sh BUILD_DIR
export WINEPREFIX="$(cd "$1" && pwd)/wineprefix" WINEARCH=win64 WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.tx-ready" ]; then
  wine wineboot -i >/dev/null 2>&1 || true
  # No window manager here: unmanaged windows avoid a 2 s stall per message box.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # A crash must end the run with a backtrace, not wait on a dialog.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.tx-ready"
fi
# The caption buttons are drawn with Marlett, which Wine does not find in its
# own folder here: give the prefix a copy so windows and screenshots look right.
if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
fi
