#!/usr/bin/env bash
# Size, imports and PE flags of the built EXEs: each at most 64 KiB stripped,
# importing nothing beyond KERNEL32, ADVAPI32, USER32 and msvcrt, and marked
# DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVICE_AWARE and (64-bit)
# HIGH_ENTROPY_VA, with USER32 delay-loaded through slots that each point
# at a thunk in the image's code (scripts/delay-slots.py).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
limit=65536
status=0
report() {
  local exe=$1 objdump=$2 arch=$3
  [ -f "$exe" ] || { echo "$exe: not built"; status=1; return; }
  local size imports extra
  size=$(stat -c %s "$exe")
  imports=$($objdump -p "$exe" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ')
  extra=$(echo "$imports" | tr ' ' '\n' | grep -viE '^(KERNEL32|ADVAPI32|USER32|msvcrt)\.dll$' | grep -v '^$' || true)
  echo "$arch DURUVUDE.EXE: $size bytes ($(( (size + 1023) / 1024 )) KiB, limit 64 KiB), imports: $imports"
  # USER32 is delay-loaded: absent from the import table, and every slot of
  # its delay-import table points at the thunk that loads it.
  if echo "$imports" | grep -qi 'USER32.dll'; then
    echo "  USER32.dll is imported at load time, not delay-loaded"
    status=1
  fi
  /usr/bin/python3 scripts/delay-slots.py "$exe" || status=1
  [ "$size" -le "$limit" ] || { echo "  too large"; status=1; }
  [ -z "$extra" ] || { echo "  unexpected imports: $extra"; status=1; }
  local flags wanted missing=""
  flags=$($objdump -p "$exe" | awk '/^DllCharacteristics/ {on = 1; next} on && /^[ \t]+[A-Z_]+$/ {print $1; next} {on = 0}' | tr '\n' ' ')
  wanted="DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE"
  [ "$arch" = x86_64 ] && wanted="HIGH_ENTROPY_VA $wanted"
  for flag in $wanted; do
    echo " $flags" | grep -q " $flag " || missing="$missing $flag"
  done
  echo "  PE flags: $flags"
  [ -z "$missing" ] || { echo "  missing PE flags:$missing"; status=1; }
}
report build/windows/DURUVUDE.EXE x86_64-w64-mingw32-objdump x86_64
report build/windows/x86/DURUVUDE.EXE i686-w64-mingw32-objdump x86
exit $status
