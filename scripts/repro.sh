#!/usr/bin/env bash
# Checks that DURUVUDE.EXE builds to the same bytes in two different build
# directories. Each argument is PRESET or PRESET:EXE; with EXE (an EXE already
# built from these sources elsewhere) one fresh build is compared with it,
# without it two fresh builds are compared.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build() {  # preset dir
  rm -rf "$2"
  cmake --preset "$1" -B "$2" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$2" -j"$(nproc)" --target duruvude >/dev/null
}

status=0
for target in ${*:-windows}; do
  preset=${target%%:*}
  reference=${target#*:}
  build "$preset" "build/repro-$preset"
  fresh=build/repro-$preset/DURUVUDE.EXE
  if [ "$reference" = "$target" ] || [ ! -f "$reference" ]; then
    build "$preset" "build/repro-$preset-2"
    reference=build/repro-$preset-2/DURUVUDE.EXE
  fi
  if cmp -s "$fresh" "$reference"; then
    echo "reproducible ($preset): two builds identical, sha256 $(sha256sum "$fresh" | cut -c1-16)..., $(stat -c %s "$fresh") bytes"
  else
    echo "NOT reproducible ($preset): $(cmp "$fresh" "$reference" | head -1)"
    status=1
  fi
done
exit $status
