#!/usr/bin/env bash
# package.sh: builds the release packages into dist/: the Debian package and
# the .tar.gz from a Linux build, the .zip from a mingw-w64 cross build for
# Windows. Then checks that the zip holds exactly the exe and its read-me, and
# that the exe needs no DLL beyond those every Windows has. Installs what it
# needs when it is missing (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh package
version=$(sed -nE 's/^project\(flatcull VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release -j2 >/dev/null
cmake -S . -B build-release-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release-win -j2 >/dev/null

rm -rf dist
# cpack reports some steps on its error stream ("CPackDeb: - Generating
# dependency list"): its output is shown only when it fails.
for config in build-release build-release-win; do
  log=$(cpack --config "$config/CPackConfig.cmake" -B dist 2>&1) || { echo "$log" >&2; exit 1; }
done
rm -rf dist/_CPack_Packages

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

zip=dist/flatcull-$version-win64.zip
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$OLDPWD/$zip")
listing=$(cd "$unpacked" && find . -type f | sort)
expected="./flatcull-$version-win64/README.txt
./flatcull-$version-win64/flatcull.exe"
[ "$listing" = "$expected" ] || fail "$zip holds"$'\n'"$listing"$'\n'"instead of"$'\n'"$expected"

# Notepad and drag-and-drop users get Windows line ends.
readme=$unpacked/flatcull-$version-win64/README.txt
[ "$(grep -c $'\r$' "$readme")" -eq "$(wc -l <"$readme")" ] || fail "README.txt has lines without CR LF"

# A DLL outside this list would have to be shipped beside the exe.
dlls=$(x86_64-w64-mingw32-objdump -p "$unpacked/flatcull-$version-win64/flatcull.exe" |
  sed -nE 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u)
[ -n "$dlls" ] || fail "no DLL imports found: is flatcull.exe a Windows program?"
for dll in $dlls; do
  case $dll in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | advapi32.dll | user32.dll) ;;
    *) fail "flatcull.exe needs $dll, which a clean Windows lacks" ;;
  esac
done

ls -1 dist
