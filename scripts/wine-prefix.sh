#!/usr/bin/env bash
# Makes the Wine prefix once: wineboot (with Wine's 32-bit DLLs on
# WINEDLLPATH, so that syswow64 is filled and 32-bit programs run; without
# syswow64 where the CPU cannot run 32-bit code), then the null graphics
# driver so that message boxes exist without a display.
#   --start   also (re)starts a persistent wineserver with a fresh service manager
#   --ensure  also starts a persistent wineserver unless one already runs
#   --stop    stops the wineserver, unloading any driver it runs
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

case "${1:-}" in
  --stop)
    wineserver -k 2>/dev/null || true
    exit 0
    ;;
esac

# A prefix made before the 32-bit DLLs were there is made again.
if [ ! -f "$WINEPREFIX/.duruvude-ready" ] ||
   { [ -n "${WINEDLLPATH:-}" ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; }; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  if [ "$DURUVUDE_CPU32" = no ]; then
    echo "wine-prefix: made without 32-bit DLLs: $DURUVUDE_CPU32_WHY" >&2
  elif [ -z "${WINEDLLPATH:-}" ]; then
    echo "wine-prefix: Wine's 32-bit DLLs are missing: the prefix cannot run 32-bit programs" >&2
  fi
  wine wineboot -i >"$WINEPREFIX/../wineboot.log" 2>&1 </dev/null
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$WINEPREFIX/../wineboot.log" 2>&1 </dev/null
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  touch "$WINEPREFIX/.duruvude-ready"
fi

if [ "${1:-}" = "--ensure" ]; then
  # A second persistent server refuses to start while one runs (status 2).
  if wineserver -p </dev/null >/dev/null 2>&1; then
    wine cmd /c exit >/dev/null 2>&1 </dev/null
  fi
fi

if [ "${1:-}" = "--start" ]; then
  # A server of an earlier run is replaced, so every run starts from a clean
  # service manager. The first process starts services.exe, which inherits
  # its standard output: keep that away from any pipe a caller reads.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1 </dev/null
fi
