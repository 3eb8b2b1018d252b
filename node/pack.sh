#!/bin/sh
# Packs the Node package: the sources of this folder and the marovi-cli
# binaries given, into DEST/marovi-rcedit-VERSION.tgz (npm pack; nothing is
# published).
#   pack.sh DEST LINUX_X64_CLI [WINDOWS_X64_CLI]
set -e
[ $# -ge 2 ] || { echo "usage: $0 DEST LINUX_X64_CLI [WINDOWS_X64_CLI]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
dest=$(mkdir -p "$1" && cd "$1" && pwd)
stage="$dest/stage"
rm -rf "$stage"
mkdir -p "$stage/bin/linux-x64"
cp -R "$here/package.json" "$here/lib" "$stage/"
cp "$2" "$stage/bin/linux-x64/marovi-cli"
chmod 755 "$stage/bin/linux-x64/marovi-cli"
if [ -n "$3" ]; then
  mkdir -p "$stage/bin/win32-x64"
  cp "$3" "$stage/bin/win32-x64/marovi-cli.exe"
fi
cd "$dest"
npm pack --silent --cache "$dest/npm-cache" "$stage" >/dev/null
rm -rf "$stage"
ls "$dest"/marovi-rcedit-*.tgz
