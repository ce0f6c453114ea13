#!/usr/bin/env bash
# Builds both presets and runs every test: the host build against the
# stand-in Windows (with sanitizers), then DURUVUDE.EXE and the Windows tests
# under Wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/setup.sh
jobs=$(nproc)

echo "== host build (stand-in Windows, ASan + UBSan)"
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs"
ctest --preset host -j"$jobs"

echo "== windows build (mingw-w64, tests under Wine)"
trap './scripts/wine-prefix.sh --stop' EXIT
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
ctest --preset windows
