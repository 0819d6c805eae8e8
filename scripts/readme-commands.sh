#!/usr/bin/env bash
# readme-commands.sh: runs every command README.md and docs/DEVELOPING.md
# show, so that none goes stale, and checks that the sample output of
# docs/DEVELOPING.md is what the tool prints on the sample map. The commands
# are listed here, each with where it runs; the documents' command blocks
# (README.md's first fenced block and every ```sh block of either) must hold
# exactly these lines, no more and no fewer.
set -euo pipefail
cd "$(dirname "$0")/.."

# where | what its output must contain ("" for nothing) | the command, exactly
# as the documents have it. Where:
#   ci     .ci/run runs it itself (checked: .ci/run has the same line)
#   repo   run from the repository's top folder
#   maps   run in a scratch folder holding maps/*.bsp (sample maps and one
#          damaged map), with ~/.local/bin, where the README installs the
#          tool, first on PATH
#   fails  as maps, and must exit with a non-zero status (a folder run that
#          meets the damaged map)
#   smoke  run from the top folder with FLATCULL_SMOKE=1: the short mode of a
#          long benchmark or fuzz run
# All of them run in order, with HOME set to a scratch folder, so that ~ is
# never the user's own.
table=$(cat <<'EOF'
repo  | Optimized!                | bash scripts/demo.sh
ci    |                           | bash scripts/test.sh
repo  | share/man/man1/flatcull.1 | cmake --install build --strip --prefix ~/.local
maps  | FLATCULL(1)               | man flatcull
repo  | flatcull-1.5.0-win64.zip  | bash scripts/package.sh
maps  | Optimized!                | flatcull -nopause maps/start.bsp
fails | 1 failed.                 | flatcull -nopause maps/*.bsp
fails | 1 failed.                 | flatcull -check -nopause maps/*.bsp
maps  | Planes actually used: 22  | flatcull -nopause -logfile batch maps/e1m1.bsp
fails | 1 failed.                 | flatcull -quiet -nopause maps/*.bsp
fails | "summary"                 | flatcull -json -shrink-only -check -r maps
maps  | copied to                 | flatcull -nopause -quiet -out ~/maps maps/start.bsp || { echo "flatcull failed" >&2; exit 1; }
repo  | flatcull.exe              | cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DBUILD_TESTING=OFF && cmake --build build-win -j2
ci    |                           | bash scripts/cross-check.sh
smoke | CompactPlanesFullMap      | bash bench/run.sh
smoke | 10 ms per flush           | bash bench/batch.sh
smoke | Done                      | bash scripts/fuzz.sh
repo  | lines: 9                  | bash scripts/coverage.sh
repo  | lint: clean               | bash scripts/lint.sh
EOF
)

fail() {
  echo "readme-commands.sh: $*" >&2
  exit 1
}

Trim() { sed -E 's/^ +//; s/ +$//' <<<"$1"; }

# The documents' commands: lines of README.md's first fenced block and of
# every ```sh block.
readme_commands=$(awk '
  FNR == 1 { blocks = 0; readme = (FILENAME == "README.md") }
  /^```/ {
    if (open) { open = 0; take = 0; next }
    open = 1; blocks++
    take = ((readme && blocks == 1) || $0 == "```sh")
    next
  }
  take && NF { print }
' README.md docs/DEVELOPING.md | sort)
listed=$(cut -d'|' -f3- <<<"$table" | sed -E 's/^ +//' | sort)
if [ "$readme_commands" != "$listed" ]; then
  diff <(echo "$listed") <(echo "$readme_commands") | sed 's/^/  /' >&2 || true
  fail "the documents' commands (>) and this script's list (<) differ"
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch/home
mkdir -p "$HOME" "$scratch/maps/maps"

# Runs the demo's map maker, once the first command has built it.
MakeMaps() {
  build/tools/makemap "$scratch/maps/maps/start.bsp"
  cp "$scratch/maps/maps/start.bsp" "$scratch/maps/maps/e1m1.bsp"
  # A map cut short inside its lumps: refused, and left as it is.
  head -c 1000 "$scratch/maps/maps/start.bsp" >"$scratch/maps/maps/damaged.bsp"
  cp "$scratch/maps/maps/damaged.bsp" "$scratch/damaged.bsp"
}

while IFS='|' read -r where expect command; do
  where=$(Trim "$where")
  expect=$(Trim "$expect")
  command=$(sed -E 's/^ +//' <<<"$command")
  echo "== $command"
  case $where in
    ci)
      grep -qxF "$command" .ci/run || fail "'$command' is marked as run by .ci/run, which lacks it"
      continue
      ;;
    repo) out=$(bash -c "$command" 2>&1) || fail "'$command' failed:"$'\n'"$out" ;;
    smoke) out=$(FLATCULL_SMOKE=1 bash -c "$command" 2>&1) || fail "'$command' failed:"$'\n'"$out" ;;
    maps)
      [ -f "$scratch/maps/maps/start.bsp" ] || MakeMaps
      out=$(cd "$scratch/maps" && PATH="$HOME/.local/bin:$PATH" bash -c "$command" </dev/null 2>&1) ||
        fail "'$command' failed:"$'\n'"$out"
      ;;
    fails)
      [ -f "$scratch/maps/maps/start.bsp" ] || MakeMaps
      if out=$(cd "$scratch/maps" && PATH="$HOME/.local/bin:$PATH" bash -c "$command" </dev/null 2>&1); then
        fail "'$command' succeeded, but the damaged map should fail it:"$'\n'"$out"
      fi
      ;;
    *) fail "unknown place '$where' for '$command'" ;;
  esac
  if [ -n "$expect" ] && [[ $out != *"$expect"* ]]; then
    fail "the output of '$command' lacks '$expect':"$'\n'"$out"
  fi
done <<<"$table"

cmp -s "$scratch/damaged.bsp" "$scratch/maps/maps/damaged.bsp" || fail "the loop changed the damaged map"

# The sample output, as the tool prints it on a fresh sample map, with the
# build date and the leading blank lines left out.
sample=$(awk '
  /^## Sample output/ { section = 1; next }
  section && /^```/ { if (open) exit; open = 1; next }
  open { print }
' docs/DEVELOPING.md)
build/tools/makemap "$scratch/sample.bsp"
actual=$(build/flatcull -nopause "$scratch/sample.bsp" | sed '/./,$!d')
NoDate() { sed -E 's/\([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\)/(DATE)/'; }
if [ "$(NoDate <<<"$sample")" != "$(NoDate <<<"$actual")" ]; then
  diff <(NoDate <<<"$sample") <(NoDate <<<"$actual") | sed 's/^/  /' >&2 || true
  fail "docs/DEVELOPING.md's sample output (<) differs from the tool's (>)"
fi

echo "README.md, docs/DEVELOPING.md: every command ran and the sample output matches"
