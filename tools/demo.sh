#!/usr/bin/env bash
# Installs what is missing, builds the program and the gsrun script runner,
# and runs the program's main jobs on the bundled samples: compile a sample
# script into a ".gsl" library, convert the sample textures and validate the
# sample assets. Outputs go to build/demo/; samples/ is left as it is. The
# programs use the installation the build makes, build/release/install, whose
# scripts/ holds the standard classes that asset scripts include.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target rovanautil gsrun
bin=build/release/rovanautil
rm -rf build/demo && mkdir -p build/demo
cp -r samples/textures build/demo/textures
# The program's own folders and log go to a copy of the sample user data.
cp -r samples/userdata build/demo/userdata
export ROVANA_USERDATA=$PWD/build/demo/userdata
set -x
"$bin" help
"$bin" compile samples/userdata/local/signal_box/signalbox.gs -pbuild/demo/
"$bin" compresstexture build/demo/textures
# A clean asset, one with warnings, one with errors (exit code 255) and a
# legacy one that is upgraded in memory, and one whose textures do not pass.
for asset in clean_shed warning_fence broken_signal legacy_hut faded_sign; do
  "$bin" validate "samples/userdata/local/$asset" || true
done
"$bin" validate 523:1010
# An asset with a script: its script is compiled into the user's cache on the
# first check, and the second check finds the library current.
"$bin" validate 523:1003
"$bin" validate 523:1003
# An asset whose script class derives from the installation's RovanaGameObject.
"$bin" validate 523:1017
ls -l build/demo/userdata/cache/libraries/*
ls -l build/demo build/demo/textures
