#!/bin/sh
# Makes the Wine prefix in which the Windows test programs run (once), and
# keeps one wineserver running for the whole test run; the cleanup test
# stops it. With a DPI (wine-prefix.sh PREFIX 144), the prefix's display has
# that many dots per inch instead of 96.
set -e
prefix=$1
dpi=${2:-}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  "$wine" wineboot -u >/dev/null 2>&1 || true
  "$server" -w
fi
# The window's fonts, drawn as on a Japanese system.
"$(dirname "$0")/wine-fonts.sh"
if [ -n "$dpi" ]; then
  for key in 'HKCU\Control Panel\Desktop' \
             'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
    "$wine" reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1
  done
  "$server" -w
fi
# The persistent server and the prefix's services must not hold the output
# of the test that happens to start them, or CTest waits for them forever.
"$server" -p </dev/null >/dev/null 2>&1 || true  # already running: fine
"$wine" wineboot </dev/null >/dev/null 2>&1 || true
test -f "$prefix/system.reg"
