#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, if any is
# missing. Safe to run again: with everything present it costs a second, and
# a run that was interrupted or failed leaves nothing the next run trips on.
# A package mirror that fails now and then (an index caught mid-sync, a
# dropped connection) is retried; a failed index update is only a warning,
# since what is needed can often still be had. Set-up fails only when a
# package itself cannot be had, and says which.
set -euo pipefail

packages=(cmake make g++ googletest mingw-w64 wine64 clang libclang-rt-14-dev clang-tidy cppcheck clang-format
          osslsigncode openssl unzip python3 wixl msitools gcab)
tries=${DURUVUDE_SETUP_TRIES:-3}
pause=${DURUVUDE_SETUP_PAUSE:-10}
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
work=""
trap 'rm -rf "$log" ${work:+"$work"}' EXIT

# apt-get update, tried a few times. Its failure is no reason to stop: an
# index that could not be read leaves the others read, and the one needed
# may be among them.
refresh_lists() {
  local try
  for ((try = 1; try <= tries; try++)); do
    $sudo apt-get update -qq </dev/null >"$log" 2>&1 && return 0
    [ "$try" -lt "$tries" ] && sleep "$pause"
  done
  echo "setup: warning: apt-get update failed $tries times; going on with the package lists there are:" >&2
  grep -E '^(E|W):' "$log" | head -5 >&2 || true
}

# Runs "$@" (an apt-get install or download) up to $tries times, each time
# after finishing an interrupted dpkg run (apt installs nothing before that)
# and refreshing the package lists. On the last failure: what apt said,
# what was wanted, and that it is safe to run set-up again. $1 names what is
# wanted.
fetch() {
  local what=$1 try
  shift
  for ((try = 1; try <= tries; try++)); do
    [ "$try" -eq 1 ] || sleep "$pause"
    $sudo dpkg --configure -a </dev/null >/dev/null 2>&1 || true
    refresh_lists
    "$@" </dev/null >"$log" 2>&1 && return 0
  done
  cat "$log" >&2
  echo "setup: cannot get $what from the package mirror (tried $tries times; apt's last words are above)." >&2
  echo "setup: nothing is half-done: running the same command again is safe and goes on from here." >&2
  exit 1
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  fetch "the packages ${missing[*]}" $sudo apt-get install -y -qq "${missing[@]}"
fi

# The 32-bit PE DLLs for Wine's WoW64 mode, in which wine64 runs the 32-bit
# EXE with no 32-bit Linux code: downloaded (about 95 MB) and unpacked from
# libwine:i386, nothing installed. Never install wine32 instead: on a kernel
# that cannot run 32-bit programs it stops wine from running 64-bit ones too.
# Where the CPU cannot run 32-bit code they would serve nothing.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if [ "$DURUVUDE_CPU32" = no ]; then
  echo "setup: Wine's 32-bit DLLs are not fetched: $DURUVUDE_CPU32_WHY"
elif [ ! -f "$DURUVUDE_WINE_I386/kernel32.dll" ]; then
  version=$(dpkg-query -W -f='${Version}' libwine)
  echo "Getting Wine's 32-bit DLLs (libwine:i386 $version) into $DURUVUDE_WINE_I386"
  # The lists fetch refreshes may predate the i386 architecture until now.
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  work=$(mktemp -d)
  fetch "libwine:i386=$version (the 32-bit EXE cannot be tested without Wine's 32-bit DLLs)" \
    bash -c 'cd "$1" && apt-get download -qq "libwine:i386=$2"' download "$work" "$version"
  dpkg -x "$work"/libwine_*_i386.deb "$work/unpacked"
  # Moved into place whole, so an interrupted run leaves no folder that
  # looks complete.
  mkdir -p "$(dirname "$DURUVUDE_WINE_I386")"
  rm -rf "$DURUVUDE_WINE_I386.part" "$DURUVUDE_WINE_I386"
  mv "$work/unpacked/usr/lib/i386-linux-gnu/wine/i386-windows" "$DURUVUDE_WINE_I386.part"
  mv "$DURUVUDE_WINE_I386.part" "$DURUVUDE_WINE_I386"
fi
