#!/usr/bin/env bash
# Runs flatcull where the map makers are and where the byte order differs:
#   windows  builds a static 64-bit flatcull.exe with mingw-w64 and runs the
#            end-to-end suites against it under headless wine;
#   s390x    builds the tool and every test for big-endian s390x and runs the
#            suites under qemu-user;
#   same     runs the native, Windows and s390x builds on the same maps and
#            checks that they write the very same bytes.
# With no argument it does all three. Installs the Debian packages it needs
# when they are missing (scripts/deps.sh). Build trees go to build-cross/ (or $CROSS_BUILD_DIR);
# the native build is build/, as scripts/test.sh leaves it (or $NATIVE_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${CROSS_BUILD_DIR:-$root/build-cross}
native=${NATIVE_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(windows s390x same)
qemu_s390x=(qemu-s390x -L /usr/s390x-linux-gnu)
# Every build here dates its banner the same day, which the native tests
# expect of the exe they drive, even when the builds straddle midnight.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date +%s)}

say() { printf '\n== %s\n' "$*"; }

install_missing() { bash scripts/deps.sh "$@"; }

# The native build with its tests: the test program that drives the Windows
# exe, and the map generator for the byte comparison.
native_build() {
  [ -n "${native_done:-}" ] && return
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
  cmake --build "$native" -j"$jobs" --target flatcull flatcull_tests crossmaps >/dev/null
  native_done=1
}

windows_build() {
  [ -n "${windows_done:-}" ] && return
  cmake -S . -B "$out/windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFLATCULL_WINDOWS_TEST_TOOLS=ON >/dev/null
  cmake --build "$out/windows" -j"$jobs" >/dev/null
  # Static means nothing but the system's own DLLs is imported.
  local dlls
  dlls=$(x86_64-w64-mingw32-objdump -p "$out/windows/flatcull.exe" | sed -n 's/^\s*DLL Name: //p' | sort -u)
  echo "flatcull.exe imports: ${dlls//$'\n'/ }"
  for dll in $dlls; do
    case "${dll,,}" in
      kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | api-ms-win-*) ;;
      *) echo "flatcull.exe needs $dll beside it: not a static build" >&2; exit 1 ;;
    esac
  done
  # Explorer's Properties show the version resource; the manifest lets the
  # exe take long names.
  local resources version
  resources=$(x86_64-w64-mingw32-windres -i "$out/windows/flatcull.exe" -O rc)
  version=$(sed -n 's/^project(flatcull VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  for want in '"ProductName", "flatcull"' "\"ProductVersion\", \"$version\"" "\"FileVersion\", \"$version\"" \
    '"FileDescription", "Drops unused planes from version-30 BSP maps"' '<longPathAware [^>]*>true</longPathAware>'; do
    grep -q "$want" <<<"$resources" || { echo "flatcull.exe lacks the resource text $want" >&2; exit 1; }
  done
  echo "flatcull.exe resources: version $version, manifest with longPathAware"
  windows_done=1
}

# A private, throw-away wine prefix: nothing graphical, nothing printed.
start_wine() {
  [ -n "${WINEPREFIX_OWNED:-}" ] && return
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/flatcull-wine.XXXXXX")
  export WINEPREFIX WINEPREFIX_OWNED=1
  unset DISPLAY WAYLAND_DISPLAY
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  local t0=$SECONDS
  wineboot -i >/dev/null 2>&1
  echo "wine prefix ready in $((SECONDS - t0)) s"
}

s390x_build() {
  [ -n "${s390x_done:-}" ] && return
  local gtest=$out/gtest-s390x
  if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
    # Debian packages GoogleTest's sources; build them for the target.
    cmake -S /usr/src/googletest -B "$gtest/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-s390x.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null
    cmake --build "$gtest/build" -j"$jobs" >/dev/null
    cmake --install "$gtest/build" >/dev/null
  fi
  cmake -S . -B "$out/s390x" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-s390x.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGTest_DIR="$gtest/install/lib/cmake/GTest" >/dev/null
  cmake --build "$out/s390x" -j"$jobs" --target flatcull flatcull_tests >/dev/null
  s390x-linux-gnu-readelf -h "$out/s390x/flatcull" | grep -q "big endian" ||
    { echo "the s390x build is not big-endian" >&2; exit 1; }
  s390x_done=1
}

check_windows() {
  say "Windows: mingw-w64 build, end-to-end suites under wine"
  install_missing test windows
  native_build
  windows_build
  # Wine reads Unix file names and arguments in the locale's character set:
  # names in any script need UTF-8.
  export LC_ALL=C.UTF-8
  start_wine
  # The Linux test program runs the exe through wine; the suites that run the
  # tool as a user does apply as they stand, host differences included.
  FLATCULL_TEST_EXE="$out/windows/flatcull.exe" FLATCULL_TEST_RUNNER=wine \
    "$native/tests/flatcull_tests" --gtest_brief=1 --gtest_filter='DriverTest.*:EndToEndTest.*:HostTest.*:WindowsTest.*'
}

check_s390x() {
  say "s390x: big-endian build, every suite under qemu-user"
  install_missing test s390x
  s390x_build
  # The test program runs the s390x tool through qemu itself, so nothing here
  # relies on binfmt_misc being set up.
  # gtest cannot count threads under qemu and warns before every death test;
  # the warning is noise here (the tests are single-threaded).
  FLATCULL_TEST_RUNNER="${qemu_s390x[*]}" "${qemu_s390x[@]}" "$out/s390x/tests/flatcull_tests" --gtest_brief=1 2>&1 |
    { grep -v "Death tests use fork(), which is unsafe" || true; } | cat -s
}

check_same() {
  say "same maps in, same bytes out: native, Windows and s390x"
  install_missing test windows s390x
  native_build
  windows_build
  s390x_build
  start_wine
  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/flatcull-same.XXXXXX")
  "$native/tests/crossmaps" "$work/in"
  local host run map status=0
  for host in native windows s390x; do
    cp -r "$work/in" "$work/$host"
    case $host in
      native) run=("$native/flatcull") ;;
      windows) run=(wine "$out/windows/flatcull.exe") ;;
      s390x) run=("${qemu_s390x[@]}" "$out/s390x/flatcull") ;;
    esac
    for map in "$work/$host"/*.bsp; do
      (cd "$work/$host" && "${run[@]}" -nopause "$(basename "$map")" >"$map.out") ||
        { echo "$host: flatcull failed on $(basename "$map")" >&2; status=1; }
    done
  done
  local n=0
  for map in "$work/in"/*.bsp; do
    name=$(basename "$map")
    cmp -s "$work/native/$name" "$map" && { echo "$name: unchanged by the native build" >&2; status=1; }
    for host in windows s390x; do
      cmp "$work/native/$name" "$work/$host/$name" || status=1
      # The console too, once Windows line ends are read as text.
      cmp <(tr -d '\r' <"$work/$host/$name.out") "$work/native/$name.out" ||
        { echo "$host: console output differs for $name" >&2; status=1; }
    done
    n=$((n + 1))
  done
  rm -rf "$work"
  [ $status -eq 0 ] && echo "$n maps: native, Windows and s390x write identical files and console text"
  return $status
}

for step in "${steps[@]}"; do
  t0=$SECONDS
  case $step in
    windows) check_windows ;;
    s390x) check_s390x ;;
    same) check_same ;;
    *) echo "usage: $0 [windows] [s390x] [same]" >&2; exit 2 ;;
  esac
  echo "$step: $((SECONDS - t0)) s"
done
