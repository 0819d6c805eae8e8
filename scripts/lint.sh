#!/usr/bin/env bash
# Static analysis of src/: clang-tidy with the checks in .clang-tidy, and
# cppcheck's warning, style, performance and portability checks with the
# suppressions in .cppcheck-suppressions. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_COMPILER=clang++ >/dev/null
# The Windows host's file is checked where it compiles: by mingw-w64 in
# scripts/cross-check.sh.
mapfile -t sources < <(find src -name '*.cpp' ! -name '*_windows.cpp' | sort)
jobs=$(nproc 2>/dev/null || echo 2)
# clang-tidy counts the warnings it hid (those outside src/) on stderr.
printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -n 1 clang-tidy -p build-lint --quiet \
  2> >(grep -v ' warnings\? generated\.$' >&2)
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
  --inline-suppr --suppressions-list=.cppcheck-suppressions --error-exitcode=1 -q -I src "${sources[@]}"
echo "lint: clean"
