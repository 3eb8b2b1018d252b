#!/usr/bin/env bash
# The benchmark (`make bench`): builds a release marovi-cli, makes the
# workloads, and times marovi-cli set-icon against cp, cat and resedit-cli in
# one run (bench/measure.py prints the table; on workload 1 also marovi-cli
# edit of icon, version and execution level in one run, against set-icon
# alone), then marovi-cli alone on the two workloads of many icon images (7
# and 8), set-manifest on deep and wide manifests (9), and the peak memory of
# list and show-version on an image with 300 MiB appended (10).
#
#   RUNS=n        timed runs per figure (at least 5; default 5)
#   ONLY=1,3      only these workloads (7,8: the many-image ones; 9: the
#                 manifests; 10: list and show-version)
#   NO_HEAP=1     skip the massif runs
#   KEEP_WORK=1   keep the workloads (about 3 GiB) afterwards
#   WORK_IN=dir   make and time the workloads in dir/marovi-bench-work
#                 (default: bench/work), to measure another file system
set -euo pipefail

cd "$(dirname "$0")/.."
WORK=bench/work
[ -n "${WORK_IN:-}" ] && WORK="${WORK_IN%/}/marovi-bench-work"
STUB=/usr/share/nsis/Stubs/lzma-amd64-unicode   # a real 64-bit executable, about 100 KB
CLI=${CLI:-build/release/cli/marovi-cli}   # CLI=path: time another build of it
MAKER=build/release/bench/make_workloads
PEER=bench/node_modules/.bin/resedit

for tool in /usr/bin/time valgrind convert python3 cp cat; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (make deps)" >&2; exit 1; }
done
[ -r "$STUB" ] || { echo "bench: $STUB is missing (package nsis)" >&2; exit 1; }

# The workloads take about 1.4 GiB; a run needs about as much again for copies.
mkdir -p "$WORK"
avail_kib=$(df -Pk "$WORK" | awk 'NR == 2 { print $4 }')
if [ "$avail_kib" -lt $((5 * 1024 * 1024)) ]; then
  echo "bench: less than 5 GiB free on $WORK; the workloads need about 4 GiB" >&2
  exit 1
fi

cmake --preset release >/dev/null
cmake --build --preset release -j "${JOBS:-2}"

# The peer: resedit-cli 3 from npm, into a folder of the benchmark's own.
if ! command -v npm >/dev/null && [ "$(id -u)" = 0 ]; then
  echo "bench: installing Debian's nodejs and npm for the peer" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nodejs npm >/dev/null ||
    echo "bench: npm could not be installed; the peer is shown as not installed" >&2
fi
if [ ! -x "$PEER" ] && command -v npm >/dev/null; then
  echo "bench: installing resedit-cli@3 into bench/node_modules" >&2
  npm install --prefix bench --no-save --no-package-lock --no-audit --no-fund resedit-cli@3 >&2 ||
    echo "bench: resedit-cli could not be installed; the peer is shown as not installed" >&2
fi

rm -rf "$WORK"
mkdir -p "$WORK"
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT

# A 6-image icon as icon editors write it: 16 to 64 px uncompressed, 256 px as PNG.
convert -size 256x256 radial-gradient:'#3080e0-#102040' -fill '#f0c020' \
  -draw 'circle 128,128 128,40' -fill white -draw 'rectangle 96,96 160,160' \
  -depth 8 PNG32:"$WORK/icon.png"
convert "$WORK/icon.png" -define icon:auto-resize=256,64,48,32,24,16 "$WORK/icon6.ico"
rm -f "$WORK/icon.png"
echo "bench: making the workloads in $WORK" >&2
"$MAKER" "$WORK" "$STUB" "$WORK/icon6.ico"

args=(--work "$WORK" --cli "$CLI" --runs "${RUNS:-5}")
[ -x "$PEER" ] && args+=(--peer "$PEER")
[ -n "${ONLY:-}" ] && args+=(--only "$ONLY")
[ -n "${NO_HEAP:-}" ] && args+=(--no-heap)
echo "bench: $(nproc) cores, $(uname -sr), $(df -PT "$WORK" | awk 'NR == 2 { print $2 }') file system" \
  "($WORK), load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
python3 bench/measure.py "${args[@]}"
