#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix; ctest uses it as
# the cross-compiling emulator. The tests start 32-bit programs too (the
# 32-bit EXE, the 32-bit cmd.exe), so Wine's 32-bit DLLs are on its path.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
use_wine_i386 || true
exec wine "$@" </dev/null
