#!/usr/bin/env bash
# Builds DURUVUDE.EXE and runs it under Wine with the given arguments: its
# progress lines as they come, each message box as "[title] text" (answered
# with OK), then its exit status, which is also this script's.
#   --unattended ARGS...  runs it as a deployment agent does, in a window
#                         station nobody can see: what would have been a box
#                         comes on standard error.
#   --x86 ...             runs the 32-bit EXE instead (in Wine's WoW64 mode);
#                         it comes before --unattended.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

./scripts/setup.sh >&2
source ./scripts/wine-env.sh
if [ "${1:-}" = "--x86" ] && [ "$DURUVUDE_CPU32" = no ]; then
  echo "run.sh: cannot run the 32-bit EXE: $DURUVUDE_CPU32_WHY" >&2
  exit 1
fi
mkdir -p build
if ! { cmake --preset windows &&
       cmake --build --preset windows -j"$(nproc)" --target duruvude duruvude_x86 runner fixture_drivers; } >build/run-build.log 2>&1; then
  cat build/run-build.log >&2
  exit 1
fi

./scripts/wine-prefix.sh --ensure
drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
cmp -s build/windows/fixture/KTRX.SYS "$drivers/KTRX.SYS" || cp build/windows/fixture/KTRX.SYS "$drivers/KTRX.SYS"

exe=build/windows/DURUVUDE.EXE
if [ "${1:-}" = "--x86" ]; then
  exe=build/windows/x86/DURUVUDE.EXE
  shift
fi
mode=()
if [ "${1:-}" = "--unattended" ]; then
  mode=(--unattended)
  shift
fi
status=0
wine build/windows/tests/runner.exe "${mode[@]}" "$exe" "$@" </dev/null || status=$?
exit "$status"
