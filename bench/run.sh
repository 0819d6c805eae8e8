#!/usr/bin/env bash
# Times the whole tool against the floor (bench/floor.cpp: copy the file to a
# temporary file beside it, fsync, rename over it) on four inputs, and
# CompactPlanes alone under Google Benchmark. See README.md, "Benchmark".
#
#   bench/run.sh [--smoke] [--reps N] [--cases abcd] [--baseline EXE] [--keep DIR]
#
#   --smoke          tiny inputs, one repetition, seconds in all (for CI);
#                    FLATCULL_SMOKE=1 in the environment does the same
#   --reps N         timed repetitions of each side (default 5)
#   --cases LIST     which inputs to run, any of a b c d (default abcd)
#   --baseline EXE   time another build of the tool as a third side
#   --keep DIR       build the inputs in DIR and keep them (default: a fresh
#                    folder under ${TMPDIR:-/tmp}, removed at the end)
#
# Each timed run starts from a pristine copy of its input, restored and
# synced to disk outside the timing (the tool rewrites the map in place, and
# a compacted map is smaller the second time). The sides take turns within
# each repetition, alternating which goes first, so that both see the same
# load. The page cache is left warm: every side reads its input from memory
# and pays for writing and syncing its output.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

smoke=0 reps=5 cases=abcd baseline="" keep=""
[ "${FLATCULL_SMOKE:-0}" = 1 ] && smoke=1 reps=1
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 reps=1 ;;
    --reps) reps=$2; shift ;;
    --cases) cases=$2; shift ;;
    --baseline) baseline=$(realpath "$2"); shift ;;
    --keep) keep=$2; shift ;;
    *) echo "usage: bench/run.sh [--smoke] [--reps N] [--cases abcd] [--baseline EXE] [--keep DIR]" >&2; exit 2 ;;
  esac
  shift
done

build=$root/build-bench
cmake -S . -B "$build" -DFLATCULL_BENCH=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(flatcull makebench floor measure)
[ -f "$build/bench/CMakeFiles/compact_bench.dir/build.make" ] && targets+=(compact_bench)
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null

if [ -n "$keep" ]; then
  work=$keep
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/flatcull-bench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
work=$(realpath "$work")
mkdir -p "$work/pristine" "$work/run"

# Input sizes: the full run's, or the smoke run's tiny ones.
if [ "$smoke" = 1 ]; then
  mid_rooms=200 light_bytes=$((8 << 20)) folder_count=5 folder_max=400000
else
  mid_rooms=1500 light_bytes=$((1536 << 20)) folder_count=300 folder_max=4000000
fi

if [[ $cases == *c* ]]; then
  need_kib=$(( (light_bytes >> 10) * 3 + (1 << 20) ))
  free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  if [ "$free_kib" -lt "$need_kib" ]; then
    echo "bench: input c needs $((need_kib >> 10)) MiB free in $work, only $((free_kib >> 10)) MiB" >&2
    exit 1
  fi
fi

makebench=$build/bench/makebench
[[ $cases == *a* ]] && "$makebench" mid "$work/pristine/a.bsp" "$mid_rooms"
[[ $cases == *b* ]] && "$makebench" full "$work/pristine/b.bsp"
[[ $cases == *c* ]] && "$makebench" light "$work/pristine/c.bsp" "$light_bytes"
if [[ $cases == *d* ]]; then
  mkdir -p "$work/pristine/d"
  "$makebench" folder "$work/pristine/d" "$folder_count" 20000 "$folder_max"
fi

sides=(floor tool)
declare -A exe=([floor]=$build/bench/floor [tool]=$build/flatcull)
declare -A args=([floor]="" [tool]="-nopause")
if [ -n "$baseline" ]; then
  sides+=(baseline)
  exe[baseline]=$baseline
  args[baseline]="-nopause"
fi

# The folder (d) is also run as one batch of all its maps, and that batch
# again on the folder it has just compacted, where nothing is written.
folder_sides=(batch again)
exe[batch]=${exe[tool]} exe[again]=${exe[tool]}

# Puts input $1 back as built and flushes it, so that no write-back of the
# copy lands inside a timed run. For side "again", the folder is then
# compacted once, untimed.
restore() {
  rm -rf "$work/run/$1" "$work/run/$1.bsp"
  if [ "$1" = d ]; then
    cp -r "$work/pristine/d" "$work/run/d"
    find "$work/run/d" -name '*.bsp' | sort > "$work/run/d.list"
    if [ "${2:-}" = again ]; then
      xargs -a "$work/run/d.list" "${exe[tool]}" -nopause >/dev/null || true
    fi
  else
    cp "$work/pristine/$1.bsp" "$work/run/$1.bsp"
  fi
  sync
}

# Prints "SECONDS MAXRSS_KIB" for one run of side $2 on input $1.
measure_side() {
  local m=$build/bench/measure
  # shellcheck disable=SC2086
  if [ "$2" = batch ] || [ "$2" = again ]; then
    mapfile -t maps <"$work/run/d.list"
    "$m" -- "${exe[$2]}" -nopause "${maps[@]}"
  elif [ "$1" = d ]; then
    "$m" -l "$work/run/d.list" -- "${exe[$2]}" ${args[$2]} {}
  else
    "$m" -- "${exe[$2]}" ${args[$2]} "$work/run/$1.bsp"
  fi
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Bytes of input $1; for the folder, of its largest map (memory is per run).
input_bytes() {
  if [ "$1" = d ]; then
    find "$work/pristine/d" -name '*.bsp' -printf '%s\n' | sort -n | tail -1
  else
    stat -c %s "$work/pristine/$1.bsp"
  fi
}

declare -A label=([a]="a mid-size map" [b]="b full capacity" [c]="c big lightdata" [d]="d folder of maps")
declare -A time_factor=([a]=1.10 [b]=1.25 [c]=1.5 [d]=1.10)

echo "flatcull benchmark: $reps repetition(s), inputs in $work"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
printf '\n%-18s %10s | %-8s %9s %9s %6s %6s | %9s %9s %9s  %s\n' \
  input bytes side "median s" "min s" ratio target "peak MiB" "limit MiB" "file MiB" verdict
for c in a b c d; do
  [[ $cases == *$c* ]] || continue
  declare -A times=() rss=()
  case_sides=("${sides[@]}")
  [ "$c" = d ] && case_sides+=("${folder_sides[@]}")
  for ((r = 0; r < reps; r++)); do
    order=("${case_sides[@]}")
    # Alternate which side runs first.
    if ((r % 2)); then
      order=()
      for ((i = ${#case_sides[@]} - 1; i >= 0; i--)); do order+=("${case_sides[$i]}"); done
    fi
    for s in "${order[@]}"; do
      restore "$c" "$s"
      sample=$(measure_side "$c" "$s")
      read -r secs kib <<<"$sample"
      times[$s]+="$secs "
      rss[$s]+="$kib "
    done
  done
  bytes=$(input_bytes "$c")
  floor_median=$(tr ' ' '\n' <<<"${times[floor]}" | grep . | median)
  limit_kib=$(( (bytes >> 10) + 8192 ))
  for s in "${case_sides[@]}"; do
    t=$(tr ' ' '\n' <<<"${times[$s]}" | grep . | median)
    tmin=$(tr ' ' '\n' <<<"${times[$s]}" | grep . | sort -g | head -1)
    k=$(tr ' ' '\n' <<<"${rss[$s]}" | grep . | sort -n | tail -1)
    ratio=$(awk -v t="$t" -v f="$floor_median" 'BEGIN { printf "%.3f", t / f }')
    verdict=""
    if [ "$smoke" = 1 ]; then
      [ "$s" != floor ] && verdict="not judged (smoke run)"
    elif [ "$s" != floor ]; then
      verdict=$(awk -v q="$ratio" -v lim="${time_factor[$c]}" -v k="$k" -v kl="$limit_kib" \
        'BEGIN { printf "time %s, memory %s", (q <= lim ? "ok" : "MISSED"), (k <= kl ? "ok" : "MISSED") }')
    fi
    printf '%-18s %10s | %-8s %9.4f %9.4f %6s %6s | %9.1f %9.1f %9.1f  %s\n' \
      "${label[$c]}" "$bytes" "$s" "$t" "$tmin" "$ratio" "${time_factor[$c]}" \
      "$(awk -v k="$k" 'BEGIN { print k / 1024 }')" "$(awk -v k="$limit_kib" 'BEGIN { print k / 1024 }')" \
      "$(awk -v b="$bytes" 'BEGIN { print b / 1048576 }')" "$verdict"
  done
  unset times rss
  rm -rf "$work/run/$c" "$work/run/$c.bsp"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

if [ -x "$build/bench/compact_bench" ]; then
  echo
  echo "CompactPlanes alone on input b (Google Benchmark):"
  if [ "$smoke" = 1 ]; then
    "$build/bench/compact_bench" --benchmark_color=false --benchmark_min_time=0.01 2>&1
  else
    "$build/bench/compact_bench" --benchmark_color=false --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>&1
  fi
else
  echo "compact_bench not built (Google Benchmark missing): install libbenchmark-dev"
fi
