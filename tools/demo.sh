#!/usr/bin/env bash
# Installs what is missing, builds the program and runs its main job on the
# bundled samples.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DROVANA_TESTS=OFF -DROVANA_BENCH=OFF >/dev/null
cmake --build build/release --target rovanautil
bin=build/release/rovanautil
set -x
"$bin" help
