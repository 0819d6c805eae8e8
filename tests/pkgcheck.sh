# pkgcheck.sh: sourced by install_test.sh and package_test.sh, which both
# run an unpacked or installed tool against the build's own. Needs $build
# and $makemap; gives a scratch folder (removed on exit), Fail, the build
# tool's reference run on the sample map, CheckRun and Finish.
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

# CheckRun WHAT COMMAND...: COMMAND, run on a copy of the sample map named
# without its extension, exits 0, prints and writes exactly what the build's
# tool does.
CheckRun() {
  local what=$1 run status=0
  shift
  run=$(mktemp -d "$scratch/run.XXXXXX")
  cp "$scratch/sample.bsp" "$run/map.bsp"
  (cd "$run" && "$@" -nopause map >out) || status=$?
  [ $status -eq 0 ] || Fail "$what: the tool exited with status $status"
  cmp -s "$run/out" "$scratch/reference/out" || Fail "$what: the tool printed other output"
  cmp -s "$run/map.bsp" "$scratch/reference/map.bsp" || Fail "$what: the tool wrote other bytes"
}

# Finish WHAT: ends the test with the count of failures, if any.
Finish() {
  if [ $failures -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
  fi
  echo "$1: all checks passed"
}
