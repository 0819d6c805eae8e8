#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR MAKEMAP: `cmake --install` puts exactly
# the tool, its compressed manual page, copyright and changelog in bin/,
# share/man/man1/ and share/doc/flatcull/ under any prefix, with or without
# DESTDIR staging; the installed tool, run from PATH on a relative map name,
# prints and writes exactly what the build's tool does; and man finds the
# page next to the tool.
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
makemap=$(realpath "$3")
# shellcheck source=tests/pkgcheck.sh
source "$src/tests/pkgcheck.sh"

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
  expected=$'./bin/flatcull\n./share/doc/flatcull/changelog.gz\n./share/doc/flatcull/copyright\n./share/man/man1/flatcull.1.gz'
  [ "$files" = "$expected" ] || Fail "$name: installed"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"
  [ -x "$root/bin/flatcull" ] || Fail "$name: bin/flatcull is not executable"
  cmp -s <(gzip -dc "$root/share/man/man1/flatcull.1.gz") "$src/packaging/flatcull.1" ||
    Fail "$name: the installed manual page differs from packaging/flatcull.1"

  CheckRun "$name" env PATH="$root/bin:$PATH" flatcull

  # man-db looks for pages in ../share/man of every PATH directory.
  found=$(PATH="$root/bin:/usr/bin:/bin" man -w flatcull 2>&1) || true
  [ "$found" = "$root/share/man/man1/flatcull.1.gz" ] || Fail "$name: man -w flatcull gives '$found'"
done

Finish install
