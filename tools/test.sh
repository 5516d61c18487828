#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: once
# optimised with g++ (warnings are errors), once with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, from a copy of the tree in
# "build/Sanitize Run/Rovana Tree". The sanitizer build also
# makes the fuzz targets, and each runs for a few seconds from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The leak checker does not follow the thread-local blocks of libraries loaded
# at run time (the JPEG decoder is): with this system's C library it can read
# a wrong range for them and crash at the exit check, depending on the
# program's layout.
export ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0

echo "== formatting"
tools/format.sh --check

echo "== optimised build and tests"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs" --timeout 300

echo "== sanitizer build and tests, from a copy of the tree whose path has capitals and a blank"
# Only such a path shows names that are not kept as on disk, or words split
# at a blank; and the caller's installation and user data must not matter,
# so others are named in the environment. The copy keeps its build folder.
tree="$PWD/build/Sanitize Run/Rovana Tree"
sanitize="$tree/build/sanitize"
mkdir -p "$tree"
find "$tree" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
tar --exclude=./.git --exclude=./build --exclude='./build-*' -cf - . | tar -xf - -C "$tree"
CC=clang CXX=clang++ cmake -S "$tree" -B "$sanitize" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DROVANA_SANITIZE=ON -DROVANA_FUZZ=ON -DROVANA_BENCH=OFF \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$sanitize" -j "$jobs"
ROVANA_ROOT="$PWD/samples/install" ROVANA_USERDATA="$tree/Caller User Data" \
    ctest --test-dir "$sanitize" --output-on-failure -j "$jobs" --timeout 600

echo "== fuzz smoke"
seconds=${FUZZ_SECONDS:-4}
# The libraries log to standard output; the fuzzer reports on standard error.
for src in fuzz/*.cpp; do
  name=$(basename "$src" .cpp)
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
  if ! "$sanitize/fuzz_$name" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 "$work" >/dev/null 2>"$work.log"; then
    tail -n 60 "$work.log"
    echo "fuzz_$name: FAILED"
    rm -rf "$work" "$work.log"
    exit 1
  fi
  echo "fuzz_$name: $(grep -oE '#[0-9]+' "$work.log" | tail -n 1 | tr -d '#') runs, no finding"
  rm -rf "$work" "$work.log"
done
echo "== all tests passed"
