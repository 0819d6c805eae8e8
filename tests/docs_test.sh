#!/usr/bin/env bash
# docs_test.sh SOURCE_DIR VERSION FLATCULL MAKEMAP: the manual page renders
# without a single warning and names the project's version, and the documents
# state the usage table's maxima and the writing order that the built tool
# shows on the sample map.
set -euo pipefail
src=$1
version=$2
flatcull=$3
makemap=$4
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

# One run on the sample map: its usage table and the file it writes.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$makemap" "$work/m.bsp"
table=$("$flatcull" -nopause "$work/m.bsp")

# The table's maxima, as "name value", in every document that states them.
mapfile -t maxima < <(awk '$2 ~ /^[0-9]+\/[0-9]+$/ { split($2, m, "/"); print $1, m[2] }
                           $2 == "[variable]" { split($3, m, "/"); print $1, m[2] }' <<<"$table")
[ ${#maxima[@]} -eq 15 ] || Fail "expected 15 rows in the usage table, found ${#maxima[@]}"
for doc in packaging/flatcull.1 packaging/README-windows.txt docs/DEVELOPING.md; do
  text=$(Flatten "$src/$doc")
  for maximum in "${maxima[@]}"; do
    [[ $text == *"$maximum"* ]] || Fail "$doc does not give the table maximum '$maximum'"
  done
done

# Every exit status, -check's 2 included, in the manual and the Windows read-me.
for doc in packaging/flatcull.1 packaging/README-windows.txt; do
  [[ $(Flatten "$src/$doc") =~ [^0-9]2\ (\.B\ )?[Ww]ith\ (\.BR\ )?-check ]] || Fail "$doc does not give -check's status 2"
done

# The writing order, by lump name, from the offsets in the written header
# ("offset length" per lump, in lump index order), in the manual and the
# developers' notes. Roff macro names are dropped first, then everything but the words.
Words() { sed -E 's/^\.[A-Z]+ ?//' "$1" | tr '[:upper:]' '[:lower:]' | tr -cs '[:lower:]' ' '; }
names=(entdata planes texdata vertexes visdata nodes texinfos faces lightdata clipnodes leaves marksurfaces
  edges surfedges models)
mapfile -t header < <(od -An -v -t d4 -j 4 -N $((8 * ${#names[@]})) "$work/m.bsp" | xargs -n 2)
order=$(for i in "${!names[@]}"; do
  # An empty lump would share its offset with the next one.
  [ "${header[$i]#* }" -gt 0 ] || echo "empty"
  echo "${header[$i]% *} ${names[$i]}"
done | sort -n | awk '{ printf "%s ", $2 }')
[ "$(wc -w <<<"$order")" -eq 15 ] || Fail "expected 15 non-empty lumps in the written map, found '$order'"
for doc in packaging/flatcull.1 docs/DEVELOPING.md; do
  [[ " $(Words "$src/$doc") " == *" $order"* ]] || Fail "$doc does not give the writing order '$order'"
done

# The manual's excerpt of the usage table comes from the developers' sample
# output, which scripts/readme-commands.sh compares with a real run.
while IFS= read -r line; do
  grep -qxF -- "$line" "$src/docs/DEVELOPING.md" || Fail "the manual's table line '$line' is not in docs/DEVELOPING.md's sample"
done < <(sed -n '/^Object names/,/^=== Total/p' "$page" | sed 's/\\-/-/g' | grep -vx ' \.\.\.')

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "manual and limits: all checks passed"
