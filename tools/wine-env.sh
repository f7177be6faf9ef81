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
