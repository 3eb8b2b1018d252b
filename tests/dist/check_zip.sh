#!/bin/sh
# A Windows zip as a user gets it: named after the version and architecture,
# one folder holding Marovi.exe, marovi-cli.exe, the README and the licence;
# the programs small, importing system DLLs only, of the project's version
# (check_programs.py). The x86_64 programs then run from the unpacked folder
# under wine64: marovi-cli.exe prints its version and changes a sample
# executable into a relative destination, and Marovi.exe changes one through
# its window (tests/gui/e2e_window.sh, when Xvfb, xdotool and ImageMagick are
# there). 32-bit programs cannot run on this kernel.
#
#   check_zip.sh ZIP ARCH VERSION SAMPLE WORK
set -eu
zip=$(readlink -f "$1") arch=$2 version=$3 sample=$(readlink -f "$4") work=$5
here=$(dirname "$(readlink -f "$0")")
source=$(readlink -f "$here/../..")
fail() { echo "check_zip: $*" >&2; exit 1; }

name=marovi-$version-windows-$arch
[ "$(basename "$zip")" = "$name.zip" ] || fail "$(basename "$zip") should be named $name.zip"
rm -rf "$work"
mkdir -p "$work"
work=$(readlink -f "$work")
unzip -q "$zip" -d "$work"
listing=$(cd "$work" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
expected="./$name/LICENSE.txt ./$name/Marovi.exe ./$name/README.md ./$name/marovi-cli.exe "
[ "$listing" = "$expected" ] || fail "the zip holds $listing, expected $expected"
top=$work/$name
cmp -s "$top/README.md" "$source/README.md" || fail "README.md is not the project's"
cmp -s "$top/LICENSE.txt" "$source/LICENSE" || fail "LICENSE.txt is not the project's LICENSE"

if [ "$arch" != x86_64 ]; then
  /usr/bin/python3 "$here/check_programs.py" "$top" "$arch" "$version" --max-size 1000000
  echo "check_zip: $(basename "$zip") is sound (not run: 32-bit programs cannot run here)"
  exit 0
fi

# Under wine64, in a prefix beside the work folder that later runs reuse.
runner=$source/cmake/wine-run.sh
export WINEPREFIX="$(dirname "$work")/wineprefix"
sh "$source/tests/support/wine-prefix.sh" "$WINEPREFIX"
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
/usr/bin/python3 "$here/check_programs.py" "$top" "$arch" "$version" --max-size 1000000 \
  --wine-runner "$runner"

"$sample" "$work/sample.exe" "$work/sample.ico" >/dev/null
cp "$work/sample.exe" "$work/original.exe"
(cd "$work" && "$runner" "$top/marovi-cli.exe" set-icon sample.exe sample.ico --output 'out\changed.exe' \
  </dev/null) >"$work/set-icon.txt" 2>&1 || fail "set-icon failed: $(cat "$work/set-icon.txt")"
tr -d '\r' <"$work/set-icon.txt" | grep -qix 'icon changed: Z:.*\\out\\changed.exe' ||
  fail "set-icon printed: $(cat "$work/set-icon.txt")"
cmp -s "$work/sample.exe" "$work/original.exe" || fail "set-icon --output changed its source"
/usr/bin/python3 "$here/icon_matches.py" "$work/out/changed.exe" "$work/sample.ico"

if command -v xvfb-run >/dev/null && command -v xdotool >/dev/null && command -v import >/dev/null; then
  # Its own prefix, beside the work folder, is made once.
  sh "$source/tests/gui/e2e_window.sh" "$top/Marovi.exe" "$(dirname "$work")/window" >"$work/window.log" 2>&1 ||
    { cat "$work/window.log" >&2; fail "Marovi.exe from the zip did not change an executable"; }
  echo "check_zip: Marovi.exe from the zip changed an executable through its window"
else
  echo "check_zip: Marovi.exe not run (xvfb-run, xdotool or ImageMagick's import missing)"
fi
echo "check_zip: $(basename "$zip") is sound and its programs run under wine64"
