#!/bin/sh
# Makes the Wine prefix in which the Windows test programs run (once), and
# keeps one wineserver running for the whole test run; the cleanup test
# stops it.
set -e
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
server=/usr/lib/wine/wineserver
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  /usr/lib/wine/wine64 wineboot -u >/dev/null 2>&1 || true
  "$server" -w
fi
# The persistent server and the prefix's services must not hold the output
# of the test that happens to start them, or CTest waits for them forever.
"$server" -p </dev/null >/dev/null 2>&1 || true  # already running: fine
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
test -f "$prefix/system.reg"
