#!/usr/bin/env bash
# Runs a Windows test program that starts 32-bit programs: wine64 runs them
# in its WoW64 mode with Wine's 32-bit PE DLLs, which setup.sh unpacks. Where
# they are missing the test fails and says so. Only where the CPU cannot run
# 32-bit code is anything skipped: a 32-bit EXE's entry here, the 32-bit rows
# of the others in the tests themselves (they read DURUVUDE_CPU32).
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
duruvude_x86_gate
if [ "$DURUVUDE_CPU32" = yes ] && [ ! -f "$DURUVUDE_WINE_I386/kernel32.dll" ]; then
  echo "error: Wine's 32-bit DLLs are not in $DURUVUDE_WINE_I386: run ./scripts/setup.sh (it downloads libwine:i386)" >&2
  exit 1
fi
exec "$(dirname "${BASH_SOURCE[0]}")/wine-exec.sh" "$@"
