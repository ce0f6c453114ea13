#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, if any is
# missing. Safe to run again: with everything present it costs a second.
set -euo pipefail

packages=(cmake make g++ googletest mingw-w64 wine64 clang libclang-rt-14-dev clang-tidy cppcheck clang-format
          osslsigncode openssl unzip)
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
