#!/usr/bin/env bash
# Builds DURUVUDE.EXE twice from the same sources, in two different build
# directories, and checks that the two are byte-identical.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
presets=${*:-windows}

status=0
for preset in $presets; do
  for side in a b; do
    dir=build/repro-$preset-$side
    rm -rf "$dir"
    cmake --preset "$preset" -B "$dir" -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target duruvude >/dev/null
  done
  a=build/repro-$preset-a/DURUVUDE.EXE
  b=build/repro-$preset-b/DURUVUDE.EXE
  if cmp -s "$a" "$b"; then
    echo "reproducible ($preset): two builds identical, sha256 $(sha256sum "$a" | cut -c1-16)..., $(stat -c %s "$a") bytes"
  else
    echo "NOT reproducible ($preset): $(cmp "$a" "$b" | head -1)"
    status=1
  fi
done
exit $status
