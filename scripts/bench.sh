#!/usr/bin/env bash
# The benchmark: DURUVUDE's install / configure / uninstall cycle against the
# same cycle by sc.exe and reg.exe, and against the limit (a program making
# only the cycle's platform calls), all under Wine with the fixture driver;
# then the Windows Installer package's overhead: an MSI install and removal
# against the tool's own install and uninstall; then an update's cost: the
# deploy script's install of the next KTRX.SYS over the running driver
# against its first install. ROUNDS defaults to 7.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
rounds=${1:-7}

./scripts/setup.sh >&2
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target duruvude ktrxhelp bench limit fixture_drivers test_msis runner >/dev/null

./scripts/wine-prefix.sh --start
trap './scripts/wine-prefix.sh --stop' EXIT
source ./scripts/wine-env.sh
cp build/windows/fixture/KTRX.SYS "$WINEPREFIX/drive_c/windows/system32/drivers/KTRX.SYS"
wine build/windows/bench/bench.exe build/windows/DURUVUDE.EXE build/windows/bench/limit.exe "$rounds" </dev/null

# Each started the same way, by wine from here, and timed whole.
package=$(winepath -w build/windows/msi-test/DURUVUDE-1.0.0-x64.msi)
elapsed() {
  local start=$(date +%s%N)
  wine "$@" </dev/null >/dev/null 2>&1 || true
  echo $((($(date +%s%N) - start) / 1000000))
}
msi=() tool=()
for ((round = 0; round < rounds; round++)); do
  msi+=($(($(elapsed msiexec /i "$package" /qn) + $(elapsed msiexec /x "$package" /qn))))
  # Through the runner, which answers a box should one come.
  tool+=($(($(elapsed build/windows/tests/runner.exe build/windows/DURUVUDE.EXE install) +
    $(elapsed build/windows/tests/runner.exe build/windows/DURUVUDE.EXE uninstall))))
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
m=$(median "${msi[@]}") t=$(median "${tool[@]}")
echo "MSI install + removal: median $m ms; DURUVUDE install + uninstall: median $t ms; MSI/tool $(awk -v m="$m" -v t="$t" 'BEGIN { printf "%.1f", m / t }') ($rounds rounds)"

# The deploy script from a package folder: a first install, then the next
# KTRX.SYS over the running driver (stopped, replaced, started again).
folder=build/windows/bench-package
mkdir -p "$folder"
cp build/windows/DURUVUDE.EXE build/windows/KTRXHELP.EXE package/KTRX-DEPLOY.CMD "$folder/"
script=$(winepath -w "$folder/KTRX-DEPLOY.CMD")
first=() update=()
for ((round = 0; round < rounds; round++)); do
  wine build/windows/tests/runner.exe build/windows/DURUVUDE.EXE uninstall </dev/null >/dev/null 2>&1 || true
  cp build/windows/fixture/KTRX.SYS "$folder/KTRX.SYS"
  # Unattended, as an agent runs it: a box would wait for a reader.
  first+=($(elapsed build/windows/tests/runner.exe --unattended cmd.exe /c "$script" install))
  cp build/windows/fixture/KTRX-V2.SYS "$folder/KTRX.SYS"
  update+=($(elapsed build/windows/tests/runner.exe --unattended cmd.exe /c "$script" install))
done
wine build/windows/tests/runner.exe build/windows/DURUVUDE.EXE uninstall </dev/null >/dev/null 2>&1 || true
f=$(median "${first[@]}") u=$(median "${update[@]}")
echo "script first install: median $f ms; update over the running driver: median $u ms; update/first $(awk -v f="$f" -v u="$u" 'BEGIN { printf "%.2f", u / f }') ($rounds rounds)"
