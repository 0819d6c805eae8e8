#!/usr/bin/env bash
# Times one run over a folder of maps of real sizes, whose saves are made
# durable together in windows, paired with the same run of the build before
# group commit (each map's new file synced, renamed, its folder synced), on
# this machine's disk and on a disk whose every flush takes 10 ms more (the
# fault shim's delay, one flush at a time). See docs/DEVELOPING.md, "Batch".
#
#   bench/batch.sh [--pairs N] [--maps N] [--base REV] [--keep DIR]
#
#   --pairs N    timed pairs of each kind of disk (default 10)
#   --maps N     maps in the folder (default 100, 20 KB to 3.5 MB each, 75 MB or so in all, as real maps are)
#   --base REV   the build to pair with (default: the last one before group commit)
#   --keep DIR   build the maps in DIR and keep them
#   FLATCULL_SMOKE=1 in the environment: 5 small maps, one pair (for CI)
#
# Before each timed run the folder is put back as built and synced, so that
# no write-back of the copy lands inside the timing; the sides take turns,
# alternating which goes first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
pairs=10 maps=100 base=38f26a7 keep="" largest=3500000
[ "${FLATCULL_SMOKE:-0}" = 1 ] && pairs=1 maps=5 largest=200000
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs=$2; shift ;;
    --maps) maps=$2; shift ;;
    --base) base=$2; shift ;;
    --keep) keep=$2; shift ;;
    *) echo "usage: bench/batch.sh [--pairs N] [--maps N] [--base REV] [--keep DIR]" >&2; exit 2 ;;
  esac
  shift
done

build=$root/build-bench
cmake -S . -B "$build" -DFLATCULL_BENCH=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target flatcull makebench measure >/dev/null
g++ -std=c++20 -O2 -shared -fPIC -o "$build/faultshim.so" tests/faultshim.cpp -ldl

# The paired build, from its own tree.
basebuild=$root/build-bench-base
if [ ! -x "$basebuild/flatcull" ] || [ "$(cat "$basebuild/rev" 2>/dev/null)" != "$base" ]; then
  src=$(mktemp -d)
  git archive "$base" | tar -x -C "$src"
  cmake -S "$src" -B "$basebuild" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$basebuild" -j2 --target flatcull >/dev/null
  echo "$base" > "$basebuild/rev"
  rm -rf "$src"
fi

if [ -n "$keep" ]; then work=$keep; mkdir -p "$work"; else
  work=$(mktemp -d "$root/build-bench/batch.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
rm -rf "$work/pristine" && mkdir -p "$work/pristine"
"$build/bench/makebench" folder "$work/pristine" "$maps" 20000 "$largest"
echo "flatcull batch benchmark: $maps maps, $(du -sb "$work/pristine" | cut -f1) bytes, $pairs pairs, in $work"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"

declare -A exe=([group]=$build/flatcull [permap]=$basebuild/flatcull)

# Prints the seconds of one run of side $1, with the fault shim's delay $2 ms.
run() {
  rm -rf "$work/run" && cp -r "$work/pristine" "$work/run" && sync
  local list=("$work"/run/*.bsp) env=()
  [ "$2" != 0 ] && env=(env LD_PRELOAD="$build/faultshim.so" FLATCULL_SYNC_DELAY_MS="$2")
  "${env[@]}" "$build/bench/measure" -- "${exe[$1]}" -nopause -quiet "${list[@]}" | cut -d' ' -f1
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '\n%-22s %12s %12s %8s %8s\n' disk "per map s" "grouped s" ratio target
for delay in 0 10; do
  declare -a p=() g=()
  for ((i = 0; i < pairs; i++)); do
    if ((i % 2)); then g+=("$(run group $delay)"); p+=("$(run permap $delay)")
    else p+=("$(run permap $delay)"); g+=("$(run group $delay)"); fi
  done
  pm=$(printf '%s\n' "${p[@]}" | median) gm=$(printf '%s\n' "${g[@]}" | median)
  target=$([ "$delay" = 0 ] && echo 0.9 || echo 0.2)
  label=$([ "$delay" = 0 ] && echo "this machine's" || echo "10 ms per flush")
  printf '%-22s %12.4f %12.4f %8.3f %8s\n' "$label" "$pm" "$gm" "$(awk -v a="$gm" -v b="$pm" 'BEGIN { print a / b }')" "$target"
  unset p g
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
