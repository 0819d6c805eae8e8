#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR MAKEMAP VERSION STATIC_RUNTIME: CPack
# makes a Debian package with its control fields filled in (with
# STATIC_RUNTIME 1, a dependency on glibc alone) and a .tar.gz, each holding
# exactly the stripped tool and its manual page; the tool unpacked from
# either (the .deb with dpkg -x into a throw-away root) prints and writes
# exactly what the build's tool does.
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
makemap=$(realpath "$3")
version=$4
static_runtime=$5
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

Fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

mkdir "$scratch/reference"
"$makemap" "$scratch/sample.bsp"
cp "$scratch/sample.bsp" "$scratch/reference/map.bsp"
(cd "$scratch/reference" && "$build/flatcull" -nopause map.bsp >out) || Fail "the build's tool failed on the sample map"

if ! cpack --config "$build/CPackConfig.cmake" -G "DEB;TGZ" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  exit 1
fi
deb=$scratch/out/flatcull_${version}_$(dpkg --print-architecture).deb
tgz=$scratch/out/flatcull-$version-Linux.tar.gz
[ -f "$deb" ] || Fail "no $(basename "$deb") among: $(ls "$scratch/out")"
[ -f "$tgz" ] || Fail "no $(basename "$tgz") among: $(ls "$scratch/out")"

# Runs the unpacked tool at $1 on a copy of the sample map and compares.
CheckTool() {
  local tool=$1 what=$2 run status=0
  run=$(mktemp -d "$scratch/run.XXXXXX")
  cp "$scratch/sample.bsp" "$run/map.bsp"
  (cd "$run" && "$tool" -nopause map.bsp >out) || status=$?
  [ $status -eq 0 ] || Fail "$what: the tool exited with status $status"
  cmp -s "$run/out" "$scratch/reference/out" || Fail "$what: the tool printed other output"
  cmp -s "$run/map.bsp" "$scratch/reference/map.bsp" || Fail "$what: the tool wrote other bytes"
  # Packages ship without debug information.
  readelf -S "$tool" | grep -q '\.debug_info' && Fail "$what: the tool is not stripped"
  return 0
}

# Control fields: field | pattern its value must match (bash glob, extended).
depends="libc6?( (>= +([0-9.])))"
[ "$static_runtime" = 1 ] || depends="libc6*libstdc++6*"
fields=(
  "Package|flatcull"
  "Version|$version"
  "Architecture|$(dpkg --print-architecture)"
  "Section|utils"
  "Priority|optional"
  "Maintainer|?* <?*@?*>"
  "Depends|$depends"
  "Description|drop unused planes from version-30 BSP map files"$'\n'" flatcull prints how full*"
)
for entry in "${fields[@]}"; do
  field=${entry%%|*}
  pattern=${entry#*|}
  value=$(dpkg-deb -f "$deb" "$field")
  # shellcheck disable=SC2053
  [[ $value == $pattern ]] || Fail "deb field $field is '$value'"
done

# File lists: regular files only, owned by root.
files=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6 }' | sort)
[ "$files" = $'./usr/bin/flatcull\n./usr/share/man/man1/flatcull.1' ] || Fail "the deb holds"$'\n'"$files"
owners=$(dpkg-deb -c "$deb" | awk '{ print $2 }' | sort -u)
[ "$owners" = "root/root" ] || Fail "the deb's files are owned by $owners"
files=$(tar -tvzf "$tgz" | awk '$1 ~ /^-/ { print $6 }' | sort)
top=flatcull-$version-Linux
[ "$files" = "$top/bin/flatcull"$'\n'"$top/share/man/man1/flatcull.1" ] || Fail "the tar.gz holds"$'\n'"$files"

mkdir "$scratch/root" "$scratch/tar"
dpkg -x "$deb" "$scratch/root"
CheckTool "$scratch/root/usr/bin/flatcull" deb
cmp -s "$scratch/root/usr/share/man/man1/flatcull.1" "$src/packaging/flatcull.1" || Fail "deb: the manual page differs"
tar -xzf "$tgz" -C "$scratch/tar"
CheckTool "$scratch/tar/$top/bin/flatcull" tar.gz

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "packages: all checks passed"
