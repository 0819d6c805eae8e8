#!/usr/bin/env bash
# Fuzzes the whole job (load, report, compaction, save) with libFuzzer.
#   bash scripts/fuzz.sh [SECONDS] [WORKDIR]
# Builds build-fuzz with clang (ASan + UBSan + libFuzzer), writes the starting
# maps to WORKDIR/seeds, grows WORKDIR/corpus and saves any failing input in
# WORKDIR/artifacts. One core; default 1800 seconds, WORKDIR build-fuzz/run.
# A finding goes into fuzz/corpus/, which the test suite replays.
# With FLATCULL_SMOKE set, runs for 5 seconds only.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
work=${2:-build-fuzz/run}
# The README check's short mode: a few seconds in a scratch work directory.
if [ -n "${FLATCULL_SMOKE:-}" ]; then
  seconds=5
  work=build-fuzz/smoke
  rm -rf "$work"
fi
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DFLATCULL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target fuzz_job makeseeds
mkdir -p "$work/seeds" "$work/corpus" "$work/artifacts"
build-fuzz/fuzz/makeseeds "$work/seeds"
build-fuzz/fuzz/fuzz_job "$work/corpus" "$work/seeds" fuzz/corpus \
  -max_total_time="$seconds" -max_len=16384 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/"
