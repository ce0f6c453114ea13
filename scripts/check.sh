#!/usr/bin/env bash
# The layout, then static analysis of src/: clang-tidy (the checks in .clang-tidy, as errors)
# over the host build's compile commands, cppcheck, and the formatting.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Includes run one way: frontend -> service -> eventlog / parameters ->
# common -> platform. A file may include its own folder and those below it.
layout_breaks=$(
  grep -rnE '#include "(frontend|service|eventlog|parameters)/' src/common src/platform
  grep -rnE '#include "(frontend|service|parameters)/' src/eventlog
  grep -rnE '#include "(frontend|service|eventlog)/' src/parameters
  grep -rnE '#include "frontend/' src/service
  grep -rnE '#include "(standin|platform/standin)/' src --exclude=platform.h
  find src -path '*standin*'
) || true
if [ -n "$layout_breaks" ]; then
  echo "$layout_breaks"
  echo "layout: includes that run back up"
  exit 1
fi
echo "layout: includes run one way"

[ -f build/host/compile_commands.json ] || cmake --preset host >/dev/null
# The custom-action DLL and KTRXHELP.EXE are Windows-only: no host compile
# command to check them by (the DLL's pure part is built on both).
sources=$(git ls-files 'src/*.cpp' ':!src/msiaction/msiaction.cpp' ':!src/deploy')
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
