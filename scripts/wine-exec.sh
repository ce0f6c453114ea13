#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix; ctest uses it as
# the cross-compiling emulator.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
exec wine "$@" </dev/null
