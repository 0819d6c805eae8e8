#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR MAKEMAP VERSION STATIC_RUNTIME: CPack
# makes a Debian package with its control fields filled in (with
# STATIC_RUNTIME 1, a dependency on glibc alone) and a .tar.gz, each holding
# exactly the stripped tool, its compressed manual page, copyright and
# changelog; lintian finds no error in the .deb and no warning beyond those
# listed below; the tool unpacked from either (the .deb with dpkg -x into a
# throw-away root) prints and writes exactly what the build's tool does.
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
makemap=$(realpath "$3")
version=$4
static_runtime=$5
# shellcheck source=tests/pkgcheck.sh
source "$src/tests/pkgcheck.sh"

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
  CheckRun "$2" "$1"
  # Packages ship without debug information.
  readelf -S "$1" | grep -q '\.debug_info' && Fail "$2: the tool is not stripped"
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
  "Description|drop unused planes from version-29 and version-30 BSP map files"$'\n'" flatcull prints how full*"
)
for entry in "${fields[@]}"; do
  field=${entry%%|*}
  pattern=${entry#*|}
  value=$(dpkg-deb -f "$deb" "$field")
  # shellcheck disable=SC2053
  [[ $value == $pattern ]] || Fail "deb field $field is '$value'"
done

# File lists: regular files only, owned by root.
shipped=(bin/flatcull share/doc/flatcull/changelog.gz share/doc/flatcull/copyright share/man/man1/flatcull.1.gz)
files=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6 }' | sort)
[ "$files" = "$(printf './usr/%s\n' "${shipped[@]}")" ] || Fail "the deb holds"$'\n'"$files"
owners=$(dpkg-deb -c "$deb" | awk '{ print $2 }' | sort -u)
[ "$owners" = "root/root" ] || Fail "the deb's files are owned by $owners"
files=$(tar -tvzf "$tgz" | awk '$1 ~ /^-/ { print $6 }' | sort)
top=flatcull-$version-Linux
[ "$files" = "$(printf "$top/%s\n" "${shipped[@]}")" ] || Fail "the tar.gz holds"$'\n'"$files"

# Lintian: no error, and exactly the warnings that remain, each with why.
#   (none: lintian 2.116 on Debian 12 warns about nothing)
expected_warnings=""
report=$(lintian --tag-display-limit 0 "$deb" 2>&1) || true
grep '^E: ' <<<"$report" && Fail "lintian reports errors"
warnings=$(grep '^W: ' <<<"$report" | sort || true)
[ "$warnings" = "$expected_warnings" ] || Fail "lintian warns"$'\n'"$warnings"$'\n'"instead of"$'\n'"$expected_warnings"

mkdir "$scratch/root" "$scratch/tar"
dpkg -x "$deb" "$scratch/root"
CheckTool "$scratch/root/usr/bin/flatcull" deb
cmp -s <(gzip -dc "$scratch/root/usr/share/man/man1/flatcull.1.gz") "$src/packaging/flatcull.1" ||
  Fail "deb: the manual page differs"
cmp -s "$scratch/root/usr/share/doc/flatcull/copyright" "$src/packaging/copyright" || Fail "deb: the copyright differs"
tar -xzf "$tgz" -C "$scratch/tar"
CheckTool "$scratch/tar/$top/bin/flatcull" tar.gz

Finish packages
