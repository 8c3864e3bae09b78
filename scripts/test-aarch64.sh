#!/usr/bin/env bash
# Runs the C++ tests of the AArch64 cross build (make build-aarch64) under qemu-user, with the
# arm64 multiarch loader and libraries. Left out by default:
#  - Metrics/HnswRecall.*: the three large recall runs take 6 to 10 minutes each under emulation;
#    they exercise the same kernels and graph code as the smaller HNSW tests that do run;
#  - WalTest.HugeLengthAtTheEndIsATornTailNotAnAllocation: its death test re-executes the test
#    program, which the host kernel cannot do for an AArch64 binary without binfmt_misc.
#   scripts/test-aarch64.sh BUILD_DIR [GTEST_FILTER]
set -euo pipefail
build=$1
filter=${2:-"-Metrics/HnswRecall.*:WalTest.HugeLengthAtTheEndIsATornTailNotAnAllocation"}
exec qemu-aarch64 "$build/tests/core/core_tests" --gtest_filter="$filter" --gtest_brief=1
