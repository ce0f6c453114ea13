# Sourced: decides once whether this machine's CPU can run 32-bit code in a
# 64-bit process (scripts/cpu32-probe.c), which is how Wine's WoW64 mode runs
# the 32-bit EXE. The answer goes to every script and test started from here
# through DURUVUDE_CPU32 (yes or no) and DURUVUDE_CPU32_WHY. Only the CPU's
# answer decides: a Wine that fails to run 32-bit programs on a CPU that can
# is a failure, never a skip. DURUVUDE_CPU32=no takes the other path on a
# machine that can, to test it.
if [ "${DURUVUDE_CPU32:-}" = no ]; then
  : "${DURUVUDE_CPU32_WHY:=DURUVUDE_CPU32=no was given: 32-bit programs are not run, as on a machine whose CPU cannot run them}"
elif [ "${DURUVUDE_CPU32:-}" != yes ]; then
  duruvude_probe=$(mktemp)
  if ! cc -O2 -o "$duruvude_probe" "$(dirname "${BASH_SOURCE[0]}")/cpu32-probe.c"; then
    rm -f "$duruvude_probe"
    echo "cpu32: cannot build scripts/cpu32-probe.c (needs cc)" >&2
    exit 1
  fi
  duruvude_answer=0
  "$duruvude_probe" || duruvude_answer=$?
  rm -f "$duruvude_probe"
  case $duruvude_answer in
    0) DURUVUDE_CPU32=yes ;;
    1) DURUVUDE_CPU32=no
       DURUVUDE_CPU32_WHY="this machine's CPU cannot run 32-bit code (the probe's far return into the 32-bit code segment faulted)" ;;
    *) echo "cpu32: the probe failed ($duruvude_answer): cannot tell whether this CPU runs 32-bit code" >&2
       exit 1 ;;
  esac
  unset duruvude_probe duruvude_answer
fi
export DURUVUDE_CPU32 DURUVUDE_CPU32_WHY="${DURUVUDE_CPU32_WHY:-}"

# For the entries that run only the 32-bit EXE (DURUVUDE_X86_ENTRY=1): where
# it cannot run, say why and end with 77, which ctest counts as skipped.
duruvude_x86_gate() {
  if [ "${DURUVUDE_X86_ENTRY:-}" = 1 ] && [ "$DURUVUDE_CPU32" = no ]; then
    echo "skipped: the 32-bit EXE's end-to-end tests: $DURUVUDE_CPU32_WHY"
    exit 77
  fi
}
