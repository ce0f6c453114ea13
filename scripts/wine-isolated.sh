#!/usr/bin/env bash
# Runs the tests of a Windows test program that the filter given selects
# (PROGRAM --gtest_filter=...), each under Wine between two fresh
# wineservers: each leaves a driver loaded that cannot be unloaded, its
# service only marked for deletion. After each it does what a restart of
# Windows does: the server ends (unloading the driver) and the marked KTRX
# service is dropped from the registry (Wine keeps it, and would start it
# again at its next start), so the next test starts with a clean service
# manager.
dir=$(dirname "${BASH_SOURCE[0]}")
source "$dir/wine-env.sh"
duruvude_x86_gate
program=$1
shift

restart() {
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  awk '/^\[/ { drop = ($0 ~ /^\[System\\\\CurrentControlSet\\\\Services\\\\KTRX(\]|\\\\)/) } !drop' \
    "$WINEPREFIX/system.reg" >"$WINEPREFIX/system.reg.new" && mv "$WINEPREFIX/system.reg.new" "$WINEPREFIX/system.reg"
  rm -f "$WINEPREFIX/drive_c/windows/system32/drivers/KTRX.SYS"
  "$dir/wine-prefix.sh" --start
}

"$dir/wine-prefix.sh" --start
listing=$("$dir/wine32-test.sh" "$program" "$@" --gtest_list_tests | tr -d '\r') || exit 1
tests=$(awk '/^[^ ]/ { suite = $1 } /^  [^ ]/ { print suite $1 }' <<<"$listing")
if [ -z "$tests" ]; then
  echo "error: no test of $program matches $*" >&2
  exit 1
fi
# A test that asks for a restart mid-way (C:\duruvude-restart) is run once
# more after a restart that keeps its KTRX service: the server ends, and
# wineboot -r carries out the file replacements waiting for the restart.
reboot() {
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  wine wineboot -r </dev/null >/dev/null 2>&1
  "$dir/wine-prefix.sh" --start
}

status=0
for test in $tests; do
  "$dir/wine32-test.sh" "$program" --gtest_filter="$test" || status=1
  if [ -f "$WINEPREFIX/drive_c/duruvude-restart" ]; then
    reboot
    "$dir/wine32-test.sh" "$program" --gtest_filter="$test" || status=1
    rm -f "$WINEPREFIX/drive_c/duruvude-restart"
  fi
  restart
done
exit $status
