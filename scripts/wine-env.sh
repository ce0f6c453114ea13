# Sourced by the scripts that use Wine: where the prefix lives, how quiet
# Wine is, and where the 32-bit PE DLLs are that let wine64 run 32-bit
# programs in its WoW64 mode. The prefix belongs to the build tree it serves.
: "${DURUVUDE_BUILD:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/windows}"
export WINEPREFIX="${WINEPREFIX:-$DURUVUDE_BUILD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
source "$(dirname "${BASH_SOURCE[0]}")/cpu32.sh"

# The i386-windows folder of Debian's libwine:i386, of exactly the installed
# libwine's version, unpacked (never installed) by setup.sh into a cache
# outside the clone, so that every clone on the machine finds it again.
if [ -z "${DURUVUDE_WINE_I386:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    duruvude_cache=/var/cache/duruvude
  else
    duruvude_cache="${XDG_CACHE_HOME:-$HOME/.cache}/duruvude"
  fi
  DURUVUDE_WINE_I386="$duruvude_cache/libwine-i386-$(dpkg-query -W -f='${Version}' libwine 2>/dev/null)/i386-windows"
  unset duruvude_cache
fi
export DURUVUDE_WINE_I386
# Wine reads WINEDLLPATH when a prefix is made (syswow64 is filled from it)
# and when each process starts; a 32-bit process fails without it. Measured
# here, it costs 64-bit runs nothing (164 against 165 ms for a run of the
# runner and the tool, 60 alternating runs each), so every Wine script has it
# where the CPU can run 32-bit code; elsewhere WINEDLLPATH is left alone.
if [ "$DURUVUDE_CPU32" = yes ] && [ -f "$DURUVUDE_WINE_I386/kernel32.dll" ]; then
  case ":${WINEDLLPATH:-}:" in
    *":$DURUVUDE_WINE_I386:"*) ;;
    *) export WINEDLLPATH="$DURUVUDE_WINE_I386${WINEDLLPATH:+:$WINEDLLPATH}" ;;
  esac
fi
