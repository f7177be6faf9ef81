#!/usr/bin/env bash
# Runs a Windows test program with the Wine prefix set to another dpi and sets
# the prefix back afterwards, also when the run is stopped. TX_EXPECT_DPI tells
# the tests which dpi to expect.
# Usage: at_dpi.sh DPI PROGRAM [ARGS...]   (WINEPREFIX as for the other tests)
set -u
dpi=$1
shift
key='HKCU\Control Panel\Desktop'
trap 'wine reg delete "$key" /v LogPixels /f >/dev/null 2>&1' EXIT
wine reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
TX_EXPECT_DPI=$dpi wine "$@"
