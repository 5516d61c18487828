#!/usr/bin/env bash
# Formats every C++ file of the project with .clang-format; "--check" only
# lists the files that differ and fails when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.c' '*.inc')
if [ "${1:-}" = "--check" ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! clang-format --style=file "$f" | cmp -s - "$f"; then echo "not formatted: $f"; bad=1; fi
  done
  exit $bad
fi
clang-format --style=file -i "${files[@]}"
