# Sourced by the scripts that use Wine: where the prefix lives and how quiet
# Wine is. The prefix belongs to the build tree it serves.
: "${DURUVUDE_BUILD:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/windows}"
export WINEPREFIX="${WINEPREFIX:-$DURUVUDE_BUILD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
