#!/usr/bin/env bash
# Runs a Windows test program under Wine between two fresh wineservers, for a
# test that leaves a driver loaded that cannot be unloaded, its service only
# marked for deletion. Afterwards it does what a restart of Windows does: the
# server ends (unloading the driver) and the marked KTRX service is dropped
# from the registry (Wine keeps it, and would start it again at its next
# start), so the next test starts with a clean service manager.
dir=$(dirname "${BASH_SOURCE[0]}")
source "$dir/wine-env.sh"
duruvude_x86_gate
"$dir/wine-prefix.sh" --start
"$dir/wine32-test.sh" "$@"
status=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
awk '/^\[/ { drop = ($0 ~ /^\[System\\\\CurrentControlSet\\\\Services\\\\KTRX(\]|\\\\)/) } !drop' \
  "$WINEPREFIX/system.reg" >"$WINEPREFIX/system.reg.new" && mv "$WINEPREFIX/system.reg.new" "$WINEPREFIX/system.reg"
rm -f "$WINEPREFIX/drive_c/windows/system32/drivers/KTRX.SYS"
"$dir/wine-prefix.sh" --start
exit $status
