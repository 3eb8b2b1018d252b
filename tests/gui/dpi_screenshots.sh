#!/bin/sh
# Pictures of the real window at 96 and at 144 DPI, to look at: Marovi.exe
# starts under Xvfb and wine64 with an executable on its command line (both
# executable previews filled), once in a prefix of each DPI, and the part of
# the screen that the window covers is kept as <work>/window-<dpi>.png. The
# prefixes are made once (a minute each) and kept in <work>.
#
#   dpi_screenshots.sh <Marovi.exe> <work folder>
set -eu

if [ "${1:-}" != "--inside-x" ]; then
  marovi=$(readlink -f "$1")
  mkdir -p "$2"
  work=$(readlink -f "$2")
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-x "$marovi" "$work"
fi
marovi=$2
work=$3

wine=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
log="$work/screenshots.log"
: >"$log"
winpath() { echo "Z:$1" | tr '/' '\\'; }

cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/winemine.exe "$work/sample.exe"

for dpi in 96 144; do
  export WINEPREFIX="$work/prefix-$dpi"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot -u >>"$log" 2>&1 </dev/null || true
  fi
  # The window's fonts drawn as on a Japanese system, and the display's DPI.
  "$(dirname "$0")/../support/wine-fonts.sh" >>"$log" 2>&1
  for key in 'HKCU\Control Panel\Desktop' \
             'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
    "$wine" reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >>"$log" 2>&1 </dev/null
  done
  /usr/lib/wine/wineserver -w

  "$wine" "$marovi" "$(winpath "$work/sample.exe")" >>"$log" 2>&1 </dev/null &
  pid=$!
  window=
  i=0
  while [ -z "$window" ] && [ $i -lt 60 ]; do
    sleep 0.5
    window=$(xdotool search --name '^Marovi v1\.00b$' 2>/dev/null | tail -1) || true
    i=$((i + 1))
  done
  if [ -z "$window" ]; then
    echo "dpi_screenshots: the window did not appear at $dpi DPI (see $log)" >&2
    kill "$pid" 2>/dev/null || true
    exit 1
  fi
  sleep 2
  eval "$(xdotool getwindowgeometry --shell "$window")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/window-$dpi.png"
  echo "dpi_screenshots: $work/window-$dpi.png (${WIDTH}x${HEIGHT})"
  kill "$pid" 2>/dev/null || true
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
done
