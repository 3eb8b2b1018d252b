#!/bin/sh
# Installs the Debian packages that a job needs, when any is missing:
#   sh cmake/install-deps.sh JOB...
# with JOB among the groups below (several add up; `all` is every group).
# Run as root (CI and a fresh machine) it installs what is missing; run as
# another user it only checks, lists what is missing and fails, so a user who
# has a job's packages runs that job without root.
set -e

# One package per line, in the group of the first job that needs it.

# build: the release build and `make demo` (the compiler, CMake, Ninja and
# the stb headers the icons library is compiled with).
build="
cmake
ninja-build
g++
make
libstb-dev
"

# tests: the native test suite: GoogleTest, the tests' Python with pefile,
# and the independent readers and real executables the tests compare with
# (the C compilers build a plain Windows program that gains an icon).
# tests/deps/programs.txt names the package of every program a test calls.
tests="
googletest
python3
python3-pefile
binutils-mingw-w64-x86-64
binutils-mingw-w64-i686
gcc-mingw-w64-x86-64
gcc-mingw-w64-i686
icoutils
imagemagick
nsis
zip
unzip
wine64
nodejs
npm
g++-mingw-w64-x86-64
osslsigncode
openssl
man-db
"

# windows: the mingw-w64 builds (win64, win32) and the window's tests under
# wine64 on a virtual display.
windows="
g++-mingw-w64-x86-64
g++-mingw-w64-i686
xvfb
xauth
xdotool
fonts-ipafont-gothic
"

# fuzz: the libFuzzer targets (clang and its runtime libraries).
fuzz="
clang
libclang-rt-14-dev
"

# packaging: `make dist` and `make dist-check` (the Debian package's
# dependencies, its checker, the zips).
packaging="
dpkg-dev
lintian
unzip
"

# bench: the benchmark's workloads (ImageMagick, the NSIS stub) and its
# timers and heap profilers (bench/run.sh installs nodejs and npm itself).
bench="
python3
imagemagick
nsis
time
valgrind
heaptrack
"

[ $# -gt 0 ] || { echo "usage: $0 build|tests|windows|fuzz|bench|packaging|all ..." >&2; exit 2; }
packages=""
for job in "$@"; do
  case "$job" in
    build) packages="$packages $build" ;;
    tests) packages="$packages $tests" ;;
    windows) packages="$packages $windows" ;;
    fuzz) packages="$packages $fuzz" ;;
    bench) packages="$packages $bench" ;;
    packaging) packages="$packages $packaging" ;;
    all) packages="$packages $build $tests $windows $fuzz $bench $packaging" ;;
    *) echo "$0: unknown job '$job' (build, tests, windows, fuzz, bench, packaging, all)" >&2; exit 2 ;;
  esac
done

if ! command -v dpkg-query >/dev/null; then
  echo "not a Debian system: not checking for packages ($*)" >&2
  exit 0
fi
# npm also comes inside the nodejs package of Node.js's own repository, which
# conflicts with Debian's npm: a machine with that one has npm already.
provided_otherwise() {
  case "$1" in
    npm) command -v npm >/dev/null 2>&1 ;;
    *) return 1 ;;
  esac
}
missing=""
for p in $packages; do
  case " $missing " in *" $p "*) continue ;; esac
  provided_otherwise "$p" && continue
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing Debian packages:$missing (as root: sh cmake/install-deps.sh $*)" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq $missing >/dev/null
