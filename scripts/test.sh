#!/usr/bin/env bash
# Builds both presets and runs every test: the host build against the
# stand-in Windows (with sanitizers) and its fault sweep, the fuzzers for a
# bounded time, static analysis, then DURUVUDE.EXE (64- and 32-bit) and the
# Windows tests under Wine, the size, imports and PE flags report, the
# reproducibility check and the release package, unsigned and signed with a
# throwaway certificate.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/setup.sh
jobs=$(nproc)

echo "== host build (stand-in Windows, ASan + UBSan)"
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs"
ctest --preset host -j"$jobs"
build/host/tests/host_tests --gtest_filter='FaultSweep.*' | grep '^fault sweep:'

echo "== fuzzing (libFuzzer, bounded)"
./scripts/fuzz.sh

echo "== static analysis"
./scripts/check.sh

echo "== windows build (mingw-w64, tests under Wine)"
trap './scripts/wine-prefix.sh --stop' EXIT
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"

echo "== release checks"
./scripts/size-report.sh
./scripts/repro.sh windows:build/windows/DURUVUDE.EXE windows-x86:build/windows/x86/DURUVUDE.EXE
cmake --build --preset windows --target package | grep -E 'DURUVUDE package:|package:|checksum file:'
./scripts/sign-check.sh

echo "== windows tests (under Wine)"
ctest --preset windows
