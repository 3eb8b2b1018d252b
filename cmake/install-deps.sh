#!/bin/sh
# Installs the Debian packages that building and testing need, when any is
# missing. Run as root (CI and a fresh machine); otherwise it only lists them.
set -e
packages="cmake ninja-build g++ make git python3 clang libclang-rt-14-dev
  googletest g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 xvfb xauth xdotool imagemagick fonts-ipafont-gothic
  python3-pefile icoutils nsis valgrind heaptrack time libstb-dev osslsigncode openssl
  dpkg-dev lintian unzip man-db"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing Debian packages:$missing (run 'make deps' as root)" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq $missing >/dev/null
