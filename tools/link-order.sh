#!/usr/bin/env bash
# Writes cmake/compile-order.txt: the functions of rovanautil that compiles
# run, found by running the compiles of the script class libraries and of the
# script corpus under callgrind. The link puts them first in the program
# (see CMakeLists.txt), so that a compile maps few pages of code. Run it after large changes to the
# compiler or the start-up; a stale list only costs memory, never
# correctness. Needs valgrind and a release build.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/release/rovanautil}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/classes" "$work/corpus"
cp scripts/*.gs "$work/classes/"
cp tests/gamescript/scripts/*.gs "$work/corpus/"
# The class the compile benchmark repeats.
cat >"$work/corpus/generated.gs" <<'SOURCE'
class C0 {
  public int count = 3;
  float ratio = 1.5;
  public void Reset(void) { count = 0; ratio = 0.0; }
  public int Step(int a, float b) {
    int i;
    for (i = 0; i < a; i++) {
      if (i % 2 == 0 and b > 0.5) count = count + i * 2;
      else count = count - 1;
    }
    switch (a) { case 1: count = 5; break; case 7: count = 2; break; default: break; }
    string s = "value " + (string)count;
    while (ratio > 10.0) ratio = ratio / 2.0;
    ratio = ratio * 0.5 + (float)a;
    Reset();
    // a comment line
    return count + s.size();
  }
};
SOURCE
for source in "$work"/classes/*.gs "$work"/corpus/*.gs; do
  valgrind --tool=callgrind --demangle=no --callgrind-out-file="$work/trace.$(basename "$(dirname "$source")").$(basename "$source")" \
    "$program" compile "$source" -s >/dev/null 2>&1 || true  # a failing compile runs code too
done
# Every function name the traces saw, kept when the program defines it.
cat "$work"/trace.* | sed -nE 's/^c?fn=\([0-9]+\) (.*)$/\1/p' | sort -u >"$work/seen"
nm --defined-only "$program" | awk '$2 ~ /^[tTwW]$/ { print $3 }' | sort -u >"$work/defined"
comm -12 "$work/seen" "$work/defined" >cmake/compile-order.txt
echo "cmake/compile-order.txt: $(wc -l <cmake/compile-order.txt) functions"
