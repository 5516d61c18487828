#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; a
# package already installed is left alone.
set -euo pipefail
packages=(
  build-essential cmake ninja-build clang lld libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg-dev zlib1g-dev libstb-dev
  libnvtt-dev libnvtt-bin libsquish-dev
  rapidjson-dev lua5.4 liblua5.4-dev clang-format
  libfreetype-dev libfontconfig-dev fonts-dejavu-core
  libenet-dev libembree-dev libmeshoptimizer-dev libsqlite3-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
