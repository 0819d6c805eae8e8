#!/usr/bin/env bash
# deps.sh GROUP...: installs the Debian packages that GROUP needs and this
# machine lacks. The one list of what the project uses, by group:
#   build   build the tool and run it on the sample map
#   test    build and pass every test of scripts/test.sh
#   package the release packages of scripts/package.sh: the .deb (its
#           dependencies found by dpkg-shlibdeps), the .tar.gz and the zip
#   ci      the further checks .ci/run makes: README commands, packages,
#           benchmark, fuzzing, coverage and lint
#   windows the Windows exe, run under wine
#   s390x   the big-endian build, run under qemu-user
# Installs nothing, and prints nothing, when every package is there. Uses
# apt-get as root, or through sudo; when neither can be used it names the
# packages to install and fails.
set -euo pipefail

declare -A group=(
  [build]="cmake make g++ libxxhash-dev nlohmann-json3-dev"
  [test]="cmake make g++ libxxhash-dev nlohmann-json3-dev libgtest-dev groff-base man-db dpkg-dev file acl attr"
  [package]="cmake make g++ libxxhash-dev nlohmann-json3-dev dpkg-dev file lintian g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64"
  [ci]="nodejs npm libbenchmark-dev clang libclang-rt-14-dev clang-tidy cppcheck gcovr g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64"
  [windows]="libxxhash-dev nlohmann-json3-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64"
  [s390x]="libxxhash-dev nlohmann-json3-dev googletest g++-s390x-linux-gnu qemu-user"
)

wanted=()
for name in "$@"; do
  [ -n "${group[$name]+x}" ] || { echo "deps.sh: no group '$name' (one of: ${!group[*]})" >&2; exit 2; }
  read -ra list <<<"${group[$name]}"
  wanted+=("${list[@]}")
done

# A package that an installed one provides counts as there (NodeSource's
# nodejs provides npm, which Debian ships apart).
provided=" $(dpkg-query -W -f='${Status} ${Provides}\n' 2>/dev/null | sed -n 's/^install ok installed //p' |
  sed -E 's/ \([^)]*\)//g' | tr ',\n' '  ' | tr -s ' ') "
missing=()
for p in "${wanted[@]}"; do
  [[ " ${missing[*]} " == *" $p "* ]] && continue
  [[ $provided == *" $p "* ]] && continue
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
else
  echo "This needs Debian packages that are not installed. Please install them as root:" >&2
  echo "  apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "Installing ${missing[*]} ..."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export DEBIAN_FRONTEND=noninteractive
if ! { "${as_root[@]}" apt-get update -q && "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
  >"$log" 2>&1 </dev/null; then
  tail -n 20 "$log" >&2
  echo "deps.sh: apt-get could not install: ${missing[*]}" >&2
  exit 1
fi
