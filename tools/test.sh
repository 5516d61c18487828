#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: once optimised,
# once under AddressSanitizer and UndefinedBehaviorSanitizer, and a short
# smoke run of every fuzz target from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0

echo "== optimised build and tests"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs" --timeout 300

echo "== sanitizer build and tests"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROVANA_SANITIZE=ON -DROVANA_BENCH=OFF \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 600

echo "== fuzz smoke"
if ls fuzz/*.cpp >/dev/null 2>&1; then
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROVANA_FUZZ=ON \
      -DROVANA_TESTS=OFF -DROVANA_BENCH=OFF >/dev/null
  cmake --build build/fuzz -j "$jobs"
  seconds=${FUZZ_SECONDS:-4}
  for src in fuzz/*.cpp; do
    name=$(basename "$src" .cpp)
    work=$(mktemp -d)
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
    echo "-- fuzz_$name (${seconds}s)"
    build/fuzz/fuzz_"$name" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 "$work" 2>"$work.log" \
      || { tail -n 60 "$work.log"; rm -rf "$work" "$work.log"; exit 1; }
    grep -E "^Done|#[0-9]+.*DONE" "$work.log" | tail -n 1 || true
    rm -rf "$work" "$work.log"
  done
fi
echo "== all tests passed"
