#!/usr/bin/env bash
# Runs the tests that start threads many times in a row, under
# AddressSanitizer and under ThreadSanitizer, to find races that a single CI
# run meets only now and then. Not part of CI: it takes minutes.
#
#   tools/stress-threads.sh [runs]      (default 1000)
#
# Builds into build/stress-asan and build/stress-tsan (clang).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-1000}
jobs=$(nproc)

# The suites whose cases start threads, per test program.
declare -A filters=(
  [test_kiv]='Threads.*:RefCount.*:LogFile.LinesFromManyThreadsStayWhole:PString.InterningFromManyThreads*:FileTest.ThreadsAddingToOneFolder*'
  [test_foundation]='GlobalLock.*:JobQueue.*:RovanaWorkerCallChain.*:ProcessServices.*:InterfaceTextTest.FirstUseFromManyThreads'
  [test_umbclient]='AssetDatabaseTest.RequestsDuringReopen*'
)

build() {  # <folder> <sanitizer flags>
  CC=clang CXX=clang++ cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DROVANA_BENCH=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
      -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS="$2" -DCMAKE_C_FLAGS="$2" \
      -DCMAKE_EXE_LINKER_FLAGS="$2" >/dev/null
  cmake --build "$1" -j "$jobs" --target "${!filters[@]}" >/dev/null
}

failed=0
stress() {  # <folder> <name>
  for program in "${!filters[@]}"; do
    log=$(mktemp)
    # One process per run, so that a fault at exit or start-up counts too.
    for ((i = 1; i <= runs; ++i)); do
      if ! "$1/$program" --gtest_filter="${filters[$program]}" --gtest_brief=1 >"$log" 2>&1; then
        echo "$2 $program: FAILED in run $i of $runs"
        tail -n 60 "$log"
        failed=1
        break
      fi
      [ "$i" -eq "$runs" ] && echo "$2 $program: $runs runs, no finding"
    done
    rm -f "$log"
  done
}

echo "== AddressSanitizer"
build build/stress-asan "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 stress build/stress-asan asan

echo "== ThreadSanitizer"
build build/stress-tsan "-fsanitize=thread -fno-omit-frame-pointer"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 stress build/stress-tsan tsan

exit $failed
