#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, if any is
# missing. Safe to run again: with everything present it costs a second.
set -euo pipefail

packages=(cmake make g++ googletest mingw-w64 wine64 clang libclang-rt-14-dev clang-tidy cppcheck clang-format
          osslsigncode openssl unzip python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" </dev/null
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
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    $sudo apt-get update -qq
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  if ! (cd "$work" && apt-get download -qq "libwine:i386=$version" </dev/null 2>"$work/download.log"); then
    # The package lists may predate the i386 architecture: refresh once.
    $sudo apt-get update -qq
    if ! (cd "$work" && apt-get download -qq "libwine:i386=$version" </dev/null 2>"$work/download.log"); then
      cat "$work/download.log" >&2
      echo "setup: cannot download libwine:i386=$version; the 32-bit EXE cannot be tested without Wine's 32-bit DLLs" >&2
      exit 1
    fi
  fi
  dpkg -x "$work"/libwine_*_i386.deb "$work/unpacked"
  mkdir -p "$(dirname "$DURUVUDE_WINE_I386")"
  rm -rf "$DURUVUDE_WINE_I386.part"
  mv "$work/unpacked/usr/lib/i386-linux-gnu/wine/i386-windows" "$DURUVUDE_WINE_I386.part"
  mv "$DURUVUDE_WINE_I386.part" "$DURUVUDE_WINE_I386"
fi
