#!/usr/bin/env bash
# Lines of C++ (.h, .cpp, .cu, .cuh) in the product (src/ and bench/) and in
# the tests (tests/ and fuzz/), and the tests' share of all of them, counted
# over the files git knows (tracked, or new and not ignored).
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  git ls-files --cached --others --exclude-standard -- "$@" | grep -E '\.(h|hpp|cpp|cu|cuh)$' |
    while read -r f; do [ -f "$f" ] && cat "$f"; done | wc -l
}
code=$(count src bench)
tests=$(count tests fuzz)
total=$((code + tests))
printf 'source lines %6d  (src/ + bench/)\n' "$code"
printf 'test lines   %6d  (tests/ + fuzz/)\n' "$tests"
if [ "$total" -gt 0 ]; then
  awk -v t="$tests" -v a="$total" 'BEGIN { printf "test share   %5.1f%%  (at most 35%% asked)\n", 100 * t / a }'
fi
