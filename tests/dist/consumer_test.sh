#!/bin/sh
# The engine as others use it: installs the Development component of a build
# into a prefix of its own, builds the small program of tests/dist/consumer
# against it with find_package(Marovi), runs it on a sample image and reads
# the resource it added back with marovi-cli. The README shows the same
# program, so it must hold its source word for word.
#
#   consumer_test.sh BUILD SOURCE WORK CLI SAMPLE CXX [FLAGS]
#
# FLAGS are the compile and link flags the engine was built with that its
# users need as well (the sanitizers of the native build).
set -eu
build=$1 source=$2 work=$3 cli=$4 sample=$5 cxx=$6 flags=${7:-}
fail() { echo "consumer_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" --component Development >"$work/install.log"
for header in engine error file_services resource_key formats/version_info formats/manifest; do
  test -f "$work/prefix/include/marovi/engine/$header.h" || fail "engine/$header.h is not installed"
done
# Only the public header and its parts: the engine's workings stay inside.
for header in tree/update commit/commit tree/restree commit/journal platform/platform pe/bytes; do
  test ! -e "$work/prefix/include/marovi/engine/$header.h" || fail "engine/$header.h is installed"
done
# Nothing of the tree the engine was built from may leak into the package.
if grep -rl -e "$source" -e "$build" "$work/prefix/lib/cmake"; then
  fail "the installed CMake package names folders of the source or build tree"
fi

cmake -S "$source/tests/dist/consumer" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "the consumer does not configure against the installed package"; }
cmake --build "$work/build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "the consumer does not build against the installed package"; }

"$sample" "$work/sample.exe" "$work/sample.ico" >/dev/null
"$work/build/add-note" "$work/sample.exe" "hello" || fail "add-note failed"
"$cli" list "$work/sample.exe" >"$work/list.txt"
grep -qx '10 "NOTE" 0 5' "$work/list.txt" || { cat "$work/list.txt" >&2; fail "no RCDATA NOTE of 5 bytes"; }
test ! -e "$work/sample.exe.marovi-undo" || fail "add-note left its undo journal"

# The README's example is this program.
python3 - "$source/README.md" "$source/tests/dist/consumer" <<'PY' || fail "the README's example is not tests/dist/consumer"
import sys
readme = open(sys.argv[1], encoding="utf-8").read()
for name in ("CMakeLists.txt", "add_note.cpp"):
    text = open(f"{sys.argv[2]}/{name}", encoding="utf-8").read()
    indented = "".join("    " + line if line.strip() else line for line in text.splitlines(True))
    if indented not in readme:
        sys.exit(f"README.md does not show {name}")
PY
echo "consumer_test: the installed engine builds and runs a program of its own"
