#!/bin/sh
# `make dist-check`: the packages of DIST (made by `make dist`) checked as a
# user meets them: the Debian package (check_deb.sh) and each Windows zip
# (check_zip.sh), all of the version in project() of CMakeLists.txt.
#
#   dist_check.sh DIST SAMPLE WORK
set -eu
dist=$1 sample=$2 work=$3
here=$(dirname "$(readlink -f "$0")")
fail() { echo "dist_check: $*" >&2; exit 1; }

version=$(sed -n 's/^project(Marovi VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
[ -n "$version" ] || fail "no version in project() of CMakeLists.txt"
mkdir -p "$work"

deb=$dist/marovi-cli_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb: run make dist"
sh "$here/check_deb.sh" "$deb" "$version" "$sample" "$work/deb"
for arch in x86_64 i686; do
  zip=$dist/marovi-$version-windows-$arch.zip
  [ -f "$zip" ] || fail "no $zip: run make dist"
  sh "$here/check_zip.sh" "$zip" "$arch" "$version" "$sample" "$work/zip-$arch"
done
(cd "$dist" && sha256sum -c --quiet SHA256SUMS) || fail "the packages do not match SHA256SUMS"
echo "dist_check: the Debian package and both zips of version $version are sound"
