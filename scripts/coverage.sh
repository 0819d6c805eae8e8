#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole test suite (the fuzz corpus
# replay included): builds build-cov with g++ --coverage, runs ctest there,
# prints gcovr's summary and writes build-cov/coverage/index.html.
# Fails when fewer than 95 percent of the lines of src/ run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-cov -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build build-cov -j"$jobs"
find build-cov -name '*.gcda' -delete
ctest --test-dir build-cov --output-on-failure -j"$jobs" >/dev/null
mkdir -p build-cov/coverage
gcovr --root . --filter 'src/' --object-directory build-cov --exclude-directories 'build-cov/CMakeFiles/[0-9]' --exclude-unreachable-branches \
  --exclude-throw-branches --print-summary --fail-under-line 95 \
  --html-details build-cov/coverage/index.html --txt -
