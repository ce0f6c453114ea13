#!/usr/bin/env bash
# Builds both presets and runs every test: the host build against the
# stand-in Windows (with sanitizers) and its fault sweep, the fuzzers for a
# bounded time, static analysis, then DURUVUDE.EXE (64- and 32-bit) and the
# Windows tests under Wine, the size, imports and PE flags report, the
# reproducibility check and the release package, unsigned and signed with a
# throwaway certificate.
# Where the CPU cannot run 32-bit code (scripts/cpu32.sh, decided once here
# for every script and test below), the 32-bit EXE is built and checked
# without being run, and every skipped run says so.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

source ./scripts/cpu32.sh
echo "32-bit code on this CPU: $DURUVUDE_CPU32${DURUVUDE_CPU32_WHY:+ ($DURUVUDE_CPU32_WHY)}"
./scripts/setup.sh
jobs=$(nproc)

echo "== host build (stand-in Windows, ASan + UBSan)"
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs"
ctest --preset host -j"$jobs"
build/host/tests/host_tests --gtest_filter='FaultSweep.*' | grep -E '^(fault sweep|kill sweep: [0-9])'

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
python3 scripts/package-check.py build/windows/DURUVUDE-1.0.0.zip docs/ADMIN-GUIDE.txt
python3 scripts/msi-check.py build/windows/msi-test/DURUVUDE-1.0.0-x64.msi build/windows/msi-test/DURUVUDE-1.0.0-x86.msi |
  grep -E 'FAILED|msi check'
./scripts/sign-check.sh

echo "== windows tests (under Wine)"
status=0
ctest --preset windows || status=$?

# What ran for each EXE, from the tests' own output: gtest's count of the
# tests that passed, and the lines of what was skipped.
awk -v cpu32="$DURUVUDE_CPU32" -v why="$DURUVUDE_CPU32_WHY" '
  /^[0-9]+\/[0-9]+ Test: / { entry = $3 }
  /^\[  PASSED  \] [0-9]+ test/ { passed[entry] += $4 }
  /^skipped: / { skipped[entry]++; print entry ": " $0 }
  END {
    n64 = passed["windows.e2e"] + passed["windows.e2e-nounload"]
    rows = skipped["windows.e2e"] ? sprintf(" (%d rows that start a 32-bit program skipped)", skipped["windows.e2e"]) : ""
    printf "64-bit EXE: %d end-to-end tests run%s\n", n64, rows
    if (cpu32 == "no")
      printf "32-bit EXE: built and checked statically (imports, delay slots, PE flags, reproducibility, package, signature), %d end-to-end tests skipped: %s\n", n64, why
    else
      printf "32-bit EXE: %d end-to-end tests run\n", passed["windows-x86.e2e"] + passed["windows-x86.e2e-nounload"]
  }' build/windows/Testing/Temporary/LastTest.log
exit "$status"
