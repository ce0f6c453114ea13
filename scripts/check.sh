#!/usr/bin/env bash
# Static analysis of src/: clang-tidy (the checks in .clang-tidy, as errors)
# over the host build's compile commands, cppcheck, and the formatting.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

[ -f build/host/compile_commands.json ] || cmake --preset host >/dev/null
sources=$(git ls-files 'src/*.cpp')
if ! findings=$(clang-tidy -p build/host --quiet $sources 2>&1); then
  echo "$findings" | grep -vE '^[0-9]+ warnings? generated\.$'
  echo "clang-tidy: findings"
  exit 1
fi
echo "clang-tidy: no findings in $(echo "$sources" | wc -l) files"

cppcheck --enable=warning,performance,portability --std=c++20 --error-exitcode=1 --inline-suppr -q -I src src
echo "cppcheck: no findings"

formatted=$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'tests/*.c' 'bench/*.cpp' 'bench/*.c')
clang-format --dry-run --Werror $formatted
echo "clang-format: $(echo "$formatted" | wc -l) files formatted"
