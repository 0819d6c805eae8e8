#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR MAKEMAP: `cmake --install` puts exactly
# the tool and its manual page in bin/ and share/man/man1/ under any prefix,
# with or without DESTDIR staging; the installed tool, run from PATH on a
# relative map name, prints and writes exactly what the build's tool does;
# and man finds the page next to the tool.
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
makemap=$(realpath "$3")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

Fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The build's own tool on a sample map gives the expected output and bytes.
mkdir "$scratch/reference"
"$makemap" "$scratch/sample.bsp"
cp "$scratch/sample.bsp" "$scratch/reference/map.bsp"
(cd "$scratch/reference" && "$build/flatcull" -nopause map >out) || Fail "the build's tool failed on the sample map"
grep -q '^Optimized!$' "$scratch/reference/out" || Fail "the build's tool did not save the sample map"
cmp -s "$scratch/sample.bsp" "$scratch/reference/map.bsp" && Fail "the sample map has no plane to drop"

# case name | prefix | DESTDIR ("" for none)
cases=(
  "plain prefix|$scratch/usr||"
  "prefix with a space|$scratch/my tools||"
  "staged with DESTDIR|/opt/flatcull|$scratch/stage"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r name prefix destdir <<<"$entry"
  root=$destdir$prefix
  if ! DESTDIR=$destdir cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
    Fail "$name: cmake --install failed: $(cat "$scratch/install.log")"
    continue
  fi
  files=$(cd "$root" && find . \( -type f -o -type l \) | sort)
  expected=$'./bin/flatcull\n./share/man/man1/flatcull.1'
  [ "$files" = "$expected" ] || Fail "$name: installed"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"
  [ -x "$root/bin/flatcull" ] || Fail "$name: bin/flatcull is not executable"
  cmp -s "$root/share/man/man1/flatcull.1" "$src/packaging/flatcull.1" ||
    Fail "$name: the installed manual page differs from packaging/flatcull.1"

  run=$scratch/run-${name// /-}
  mkdir "$run"
  cp "$scratch/sample.bsp" "$run/map.bsp"
  status=0
  (cd "$run" && PATH="$root/bin:$PATH" flatcull -nopause map >out) || status=$?
  [ $status -eq 0 ] || Fail "$name: the installed tool exited with status $status"
  cmp -s "$run/out" "$scratch/reference/out" || Fail "$name: the installed tool printed other output"
  cmp -s "$run/map.bsp" "$scratch/reference/map.bsp" || Fail "$name: the installed tool wrote other bytes"

  # man-db looks for pages in ../share/man of every PATH directory.
  found=$(PATH="$root/bin:/usr/bin:/bin" man -w flatcull 2>&1) || true
  [ "$found" = "$root/share/man/man1/flatcull.1" ] || Fail "$name: man -w flatcull gives '$found'"
done

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "install: all checks passed"
