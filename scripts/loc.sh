#!/usr/bin/env bash
# Counts the non-blank lines of product code (lib/, src/, tools/, console/)
# and of test code (tests/, fuzz/), and prints both with their ratio. Code is
# C and C++, shell, Python, Lua, JavaScript and CMake; fuzz corpora,
# dictionaries and the data files of test cases are not code.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  local dirs=()
  for d in "$@"; do [ -d "$d" ] && dirs+=("$d"); done
  [ "${#dirs[@]}" -eq 0 ] && { echo 0; return; }
  find "${dirs[@]}" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' \
      -o -name '*.hpp' -o -name '*.sh' -o -name '*.py' -o -name '*.lua' -o -name '*.js' \
      -o -name '*.cmake' -o -name CMakeLists.txt -o -perm -u+x \) \
      -not -path '*/corpus/*' -not -name '*.dict' -not -path '*/__pycache__/*' -print0 |
    xargs -0 -r cat | grep -c -v '^[[:space:]]*$' || true
}

product=$(count lib src tools console)
tests=$(count tests fuzz)
awk -v p="$product" -v t="$tests" 'BEGIN {
  printf "loc: product code %d lines, test code %d lines, tests/code %.2f (at most 0.33)\n",
         p, t, p ? t / p : 0 }'
