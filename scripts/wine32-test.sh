#!/usr/bin/env bash
# Runs a test program under Wine when Wine here can run 32-bit programs
# (Debian's wine32:i386, on a kernel that executes 32-bit x86 code);
# otherwise reports the test as skipped with status 77.
loader=/usr/lib/wine/wine
if ! [ -x "$loader" ] || ! "$loader" --version >/dev/null 2>&1; then
  echo "skipped: Wine cannot run 32-bit programs on this machine (wine32:i386 missing or not executable)"
  exit 77
fi
exec "$(dirname "${BASH_SOURCE[0]}")/wine-exec.sh" "$@"
