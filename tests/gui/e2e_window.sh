#!/bin/sh
# End to end through the real window: Marovi.exe starts under Xvfb and wine64
# with an executable (a copy of a real one) on its command line; the icon file
# is chosen in the icon dialog with the keyboard, along the window's focus
# order; the change button is pressed; then an independent reader (pefile)
# checks that the executable's MAINICON holds the new image and that the
# backup is the untouched original. A screenshot with both previews filled is
# kept as <work>/window.png.
#
#   e2e_window.sh <Marovi.exe> <work folder>
set -eu

if [ "${1:-}" != "--inside-x" ]; then
  marovi=$(readlink -f "$1")
  mkdir -p "$2"
  work=$(readlink -f "$2")
  exec xvfb-run -a -s "-screen 0 800x600x24" "$0" --inside-x "$marovi" "$work"
fi
marovi=$2
work=$3

wine=/usr/lib/wine/wine64
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
log="$work/e2e.log"
: >"$log"

fail() {
  echo "e2e_window: $*" >&2
  import -window root "$work/failure.png" 2>/dev/null || true
  exit 1
}

# A prefix of its own, made once, with the window's fonts drawn as on a
# Japanese system.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -u >>"$log" 2>&1 </dev/null || true
fi
"$(dirname "$0")/../support/wine-fonts.sh" >>"$log" 2>&1

# The case: a real 64-bit executable with icons and an icon file of one image.
case_dir="$work/case"
rm -rf "$case_dir"
mkdir -p "$case_dir"
cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/winemine.exe "$case_dir/target.exe"
cp "$case_dir/target.exe" "$case_dir/original.exe"
convert -size 32x32 xc:'#2050d0' -fill '#f0d000' -draw 'circle 16,16 16,5' \
  -type TrueColorAlpha "BMP3:$case_dir/new.bmp" 2>>"$log"
convert "$case_dir/new.bmp" "$case_dir/new.ico"
winpath() { echo "Z:$1" | tr '/' '\\'; }

# Marovi with the executable on its command line.
"$wine" "$marovi" "$(winpath "$case_dir/target.exe")" >>"$log" 2>&1 </dev/null &
pid=$!

wait_window() {  # name pattern -> window id
  i=0
  while [ $i -lt 60 ]; do
    id=$(xdotool search --name "$1" 2>/dev/null | tail -1) || true
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.5
    i=$((i + 1))
  done
  return 1
}

main=$(wait_window '^Marovi v1\.00b$') || fail "the main window did not appear"
sleep 1
xdotool windowfocus --sync "$main" 2>/dev/null || xdotool windowfocus "$main"
sleep 0.5

# Focus order: EdtFName, BtnExe, Button2, EdtFName2, BtnIcon: four tabs to
# the icon button, space presses it.
xdotool key --delay 150 Tab Tab Tab Tab space
dialog=$(wait_window '^(Open|開く)$') || fail "the icon dialog did not appear"
sleep 1
xdotool windowfocus "$dialog" 2>/dev/null || true
xdotool type --delay 30 "$(winpath "$case_dir/new.ico")"
xdotool key Return
i=0
while xdotool search --onlyvisible --name '^(Open|開く)$' >/dev/null 2>&1 && [ $i -lt 40 ]; do
  sleep 0.5
  i=$((i + 1))
done
sleep 1.5

# Both previews are filled now: the picture of the window.
import -window root "$work/window.png"

# Back along the focus order to Button2 (EdtFName2, Button2) and press it.
xdotool windowfocus "$main" 2>/dev/null || true
xdotool key --delay 150 shift+Tab shift+Tab space
box=$(wait_window '^情報$') || fail "no success box (the change failed or the keys went astray)"
sleep 0.5
import -window root "$work/success.png"
xdotool windowfocus "$box" 2>/dev/null || true
xdotool key Return
sleep 1

# Quit with Button4 (focus back on Button2: EdtFName2, BtnIcon, CB1, Button4).
xdotool windowfocus "$main" 2>/dev/null || true
xdotool key --delay 150 Tab Tab Tab Tab space
i=0
while kill -0 "$pid" 2>/dev/null && [ $i -lt 20 ]; do sleep 0.5; i=$((i + 1)); done
if kill -0 "$pid" 2>/dev/null; then
  kill "$pid" 2>/dev/null || true
  fail "the program did not end through its quit button"
fi

# The backup is the original, the executable now carries the new icon.
cmp "$case_dir/original.exe" "$case_dir/target.exe.bak" || fail "backup differs from the original"
/usr/bin/python3 - "$case_dir/target.exe" "$case_dir/new.ico" <<'EOF' || fail "MAINICON was not replaced"
import struct, sys
import pefile

exe, ico = sys.argv[1], sys.argv[2]
data = open(ico, "rb").read()
count = struct.unpack_from("<H", data, 4)[0]
size, offset = struct.unpack_from("<II", data, 6 + 8)
wanted = data[offset:offset + size]

pe = pefile.PE(exe)
resources = {e.id: e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries}
groups = {str(e.name): e for e in resources[14].directory.entries if e.name is not None}
if "MAINICON" not in groups:
    sys.exit("no MAINICON group")
leaf = groups["MAINICON"].directory.entries[0].data.struct
group = pe.get_data(leaf.OffsetToData, leaf.Size)
entries = struct.unpack_from("<H", group, 4)[0]
if entries != count:
    sys.exit("group holds %d images, icon file %d" % (entries, count))
icon_id = struct.unpack_from("<H", group, 6 + 12)[0]
icons = {e.id: e for e in resources[3].directory.entries}
leaf = icons[icon_id].directory.entries[0].data.struct
if pe.get_data(leaf.OffsetToData, leaf.Size) != wanted:
    sys.exit("icon image %d differs from the icon file's" % icon_id)
print("MAINICON holds the icon file's image as icon %d" % icon_id)
EOF
wrestool -l "$case_dir/target.exe" | grep -q "name='MAINICON'" || fail "wrestool sees no MAINICON"
echo "e2e_window: passed; screenshot $work/window.png"
