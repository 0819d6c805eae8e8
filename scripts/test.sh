#!/usr/bin/env bash
# Builds the tool and its tests and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The whole suite again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer: the first report ends the test that made it,
# and leaks are reported.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLATCULL_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
