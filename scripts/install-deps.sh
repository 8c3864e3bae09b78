#!/usr/bin/env bash
# Installs what building and testing need, skipping what is already there: the Debian -dev
# packages of the libraries we link, the C++ test and benchmark frameworks, clang with libFuzzer for
# the fuzz targets, and the Python test tools. Safe to run repeatedly.
set -euo pipefail

debs=(g++ cmake ninja-build pkg-config zlib1g-dev libssl-dev libicu-dev libgtest-dev libbenchmark-dev
  clang-19 libclang-rt-19-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" ||
    { $sudo apt-get update && $sudo apt-get install -y --no-install-recommends "${missing[@]}"; }
fi

python3 -m pip install --quiet --disable-pip-version-check \
  "scikit-build-core>=0.10" pytest hypothesis numpy langchain-core langchain-tests
