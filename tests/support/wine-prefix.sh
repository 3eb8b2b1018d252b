#!/bin/sh
# Makes the Wine prefix in which the Windows test programs run, once.
set -e
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  /usr/lib/wine/wine64 wineboot -u >/dev/null 2>&1 || true
fi
wineserver -w 2>/dev/null || /usr/lib/wine/wineserver -w
test -f "$prefix/system.reg"
