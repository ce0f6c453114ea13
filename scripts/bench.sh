#!/usr/bin/env bash
# The benchmark: DURUVUDE's install / configure / uninstall cycle against the
# same cycle by sc.exe and reg.exe, and against the limit (a program making
# only the cycle's platform calls), all under Wine with the fixture driver.
# ROUNDS defaults to 7.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
rounds=${1:-7}

./scripts/setup.sh >&2
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target duruvude bench limit fixture_drivers >/dev/null

./scripts/wine-prefix.sh --start
trap './scripts/wine-prefix.sh --stop' EXIT
source ./scripts/wine-env.sh
cp build/windows/fixture/KTRX.SYS "$WINEPREFIX/drive_c/windows/system32/drivers/KTRX.SYS"
wine build/windows/bench/bench.exe build/windows/DURUVUDE.EXE build/windows/bench/limit.exe "$rounds" </dev/null
