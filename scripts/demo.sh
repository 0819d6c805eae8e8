#!/usr/bin/env bash
# demo.sh: installs what building the tool needs (see deps.sh), builds it
# without the test framework, writes the sample map and runs the tool on it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target demo
