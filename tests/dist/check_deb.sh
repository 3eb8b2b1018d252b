#!/bin/sh
# The Debian package as a user gets it: unpacked into a root of its own
# (dpkg-deb -x, nothing of the system touched), its marovi-cli prints the
# project's version, its manual page documents it, and it changes a sample
# executable from there. Its fields are the expected ones, and it depends on
# exactly the packages that ship the libraries the program links. Then
# lintian, which must report no error and no warning.
#
#   check_deb.sh DEB VERSION SAMPLE WORK
set -eu
deb=$(readlink -f "$1") version=$2 sample=$(readlink -f "$3") work=$4
here=$(dirname "$(readlink -f "$0")")
fail() { echo "check_deb: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/root"
work=$(readlink -f "$work")

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = marovi-cli ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version), expected $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(field Architecture)"

dpkg-deb -x "$deb" "$work/root"
cli=$work/root/usr/bin/marovi-cli
for file in usr/bin/marovi-cli usr/share/man/man1/marovi-cli.1.gz usr/share/doc/marovi-cli/copyright \
            usr/share/doc/marovi-cli/changelog.gz; do
  [ -f "$work/root/$file" ] || fail "the package has no /$file"
done
unexpected=$(cd "$work/root" && find . -type f | grep -v -e '^./usr/bin/marovi-cli$' \
  -e '^./usr/share/man/man1/marovi-cli.1.gz$' -e '^./usr/share/doc/marovi-cli/' || true)
[ -z "$unexpected" ] || fail "the package holds more than marovi-cli and its documents: $unexpected"
/usr/bin/python3 "$here/check_manual.py" "$cli" "$work/root/usr/share/man/man1/marovi-cli.1.gz" "$version"

# Depends: every package named ships a library that the program links, and
# every library it links comes from a package named.
needed=$(objdump -p "$cli" | awk '$1 == "NEEDED" { print $2 }')
depends=$(field Depends | tr ',' '\n' | sed 's/(.*)//; s/ //g' | grep . || true)
[ -n "$depends" ] || fail "the package depends on nothing, but the program links $needed"
for package in $depends; do
  shipped=no
  for library in $needed; do
    dpkg -L "$package" 2>/dev/null | grep -q "/$library\$" && shipped=yes
  done
  [ $shipped = yes ] || fail "Depends names $package, which ships none of: $needed"
done
for library in $needed; do
  found=no
  for package in $depends; do
    dpkg -L "$package" 2>/dev/null | grep -q "/$library\$" && found=yes
  done
  [ $found = yes ] || fail "the program links $library, which no package in Depends ships"
done

# A change from the installed program, into a relative destination.
"$sample" "$work/sample.exe" "$work/sample.ico" >/dev/null
cp "$work/sample.exe" "$work/original.exe"
(cd "$work" && "$cli" set-icon sample.exe sample.ico --output out/changed.exe) >"$work/set-icon.txt" ||
  fail "set-icon failed: $(cat "$work/set-icon.txt")"
grep -qx "icon changed: $work/out/changed.exe" "$work/set-icon.txt" ||
  fail "set-icon printed: $(cat "$work/set-icon.txt")"
cmp -s "$work/sample.exe" "$work/original.exe" || fail "set-icon --output changed its source"
/usr/bin/python3 "$here/icon_matches.py" "$work/out/changed.exe" "$work/sample.ico"
"$cli" list "$work/out/changed.exe" | grep -q '^14 "MAINICON" 0 34 shell$' ||
  fail "list does not show the new two-image group"

if ! command -v lintian >/dev/null; then
  fail "lintian is not installed (make deps)"
fi
status=0
lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1 || status=$?
grep -v '^running with root privileges' "$work/lintian.txt" || true
[ $status = 0 ] || fail "lintian reports errors or warnings"
echo "check_deb: $(basename "$deb") installs and works: depends on $(echo $depends | tr ' ' ',')"
