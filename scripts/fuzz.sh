#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a
# bounded time over its committed corpus, printing its execution count.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds=${FUZZ_SECONDS:-20}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" >/dev/null
for fuzzer in sourcelist_fuzz run_fuzz; do
  # The list fuzzer repeats its input up to lists of a few hundred
  # kilobytes: inputs of up to 16 KiB reach them.
  max_len=()
  [ "$fuzzer" = sourcelist_fuzz ] && max_len=(-max_len=16384)
  corpus=tests/fuzz/corpus/${fuzzer%_fuzz}
  work=build/fuzz/work/${fuzzer%_fuzz}
  mkdir -p "$work"
  log=build/fuzz/$fuzzer.log
  if ! "build/fuzz/tests/fuzz/$fuzzer" -max_total_time="$seconds" "${max_len[@]}" -artifact_prefix=build/fuzz/ \
       "$work" "$corpus" >"$log" 2>&1; then
    tail -40 "$log"
    echo "fuzz $fuzzer: FAILED (see $log)"
    exit 1
  fi
  summary=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | tail -1)
  read -r _ runs _ _ secs _ <<<"$summary"
  echo "fuzz $fuzzer: $runs executions in $secs s, no crash"
done
