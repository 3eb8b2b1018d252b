#!/bin/sh
# Makes the Wine prefix in which the native build runs changed Windows
# programs (once). No server is kept running: each program starts its own.
set -e
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  /usr/lib/wine/wine64 wineboot -u </dev/null >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver -w </dev/null >/dev/null 2>&1
fi
"$(dirname "$0")/../support/wine-fonts.sh"
test -f "$prefix/system.reg"
