#!/usr/bin/env bash
# docs_test.sh SOURCE_DIR VERSION: the manual page renders without a single
# warning and names the project's version, and every document that states the
# tool's limits, the usage table's maxima or the lumps' writing order states
# what the code does.
set -euo pipefail
src=$1
version=$2
page=$src/packaging/flatcull.1
failures=0

Fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Both renderers, with every warning turned on, must stay silent.
warnings=$(groff -man -ww -z "$page" 2>&1) || Fail "groff exited with status $?"
[ -z "$warnings" ] || Fail "groff -man -ww warns: $warnings"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null) || Fail "man -l exited with status $?"
[ -z "$warnings" ] || Fail "man -l warns: $warnings"

th=$(grep -m1 '^\.TH ' "$page")
[[ $th == *"\"flatcull $version\""* ]] || Fail "manual header '$th' does not name flatcull $version"

# A document's text with its line breaks and roff escapes for hyphens undone,
# so that a phrase split over two source lines still matches.
Flatten() { sed -e 's/\\-/-/g' -e 's/\\%//g' "$1" | tr -s ' \n\r' '  '; }

# The store's capacities, as "value name" (entdata is counted in bytes).
mapfile -t limits < <(sed -nE 's/^constexpr int32_t kMax([A-Za-z]+) = ([0-9]+);.*/\2 \L\1/p' \
  "$src/src/bsp/bspfile.h")
[ ${#limits[@]} -eq 12 ] || Fail "expected 12 capacities in bspfile.h, found ${#limits[@]}"
for doc in packaging/flatcull.1 packaging/README-windows.txt README.md; do
  text=$(Flatten "$src/$doc")
  for limit in "${limits[@]}"; do
    phrase=$limit
    [[ $limit == *entdata ]] && phrase="${limit% *} bytes of entdata"
    [[ $text == *"$phrase"* ]] || Fail "$doc does not state the limit '$phrase'"
  done
done

# The usage table's maxima, as "name value", in the manual.
mapfile -t maxima < <(sed -nE 's/.*Report(Fixed|Variable)Lump\("([a-z]+)", [^,]+, ([0-9]+).*/\2 \3/p' \
  "$src/src/optimize/report.cpp")
[ ${#maxima[@]} -eq 15 ] || Fail "expected 15 table rows in report.cpp, found ${#maxima[@]}"
text=$(Flatten "$page")
for maximum in "${maxima[@]}"; do
  [[ $text == *"$maximum"* ]] || Fail "the manual does not give the table maximum '$maximum'"
done

# The writing order of save.cpp, by lump name, in the manual and the README.
# Roff macro names are dropped first, then everything but the words.
Words() { sed -E 's/^\.[A-Z]+ ?//' "$1" | tr '[:upper:]' '[:lower:]' | tr -cs '[:lower:]' ' '; }
mapfile -t enum < <(sed -n '/^enum LumpIndex/,/};/p' "$src/src/bsp/bspfile.h" | grep -o 'kLump[A-Za-z]*')
mapfile -t names < <(sed -n '/kLumpNames\[kNumLumps\]/,/};/p' "$src/src/bsp/bspfile.h" | grep -o '"[a-z]*"' | tr -d '"')
order=""
for lump in $(sed -nE 's/^ *WriteLump\(out, (kLump[A-Za-z]+),.*/\1/p' "$src/src/bsp/save.cpp"); do
  for i in "${!enum[@]}"; do
    [ "${enum[$i]}" = "$lump" ] && order+="${names[$i]} "
  done
done
[ "$(wc -w <<<"$order")" -eq 15 ] || Fail "expected 15 lumps in save.cpp's writing order, found '$order'"
for doc in packaging/flatcull.1 README.md; do
  [[ " $(Words "$src/$doc") " == *" $order"* ]] || Fail "$doc does not give the writing order '$order'"
done

# The manual's excerpt of the usage table comes from the README's sample
# output, which scripts/readme-commands.sh compares with a real run.
while IFS= read -r line; do
  grep -qxF -- "$line" "$src/README.md" || Fail "the manual's table line '$line' is not in README.md's sample"
done < <(sed -n '/^Object names/,/^=== Total/p' "$page" | sed 's/\\-/-/g' | grep -vx ' \.\.\.')

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "manual and limits: all checks passed"
