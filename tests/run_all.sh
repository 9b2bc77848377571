#!/usr/bin/env bash
# Builds and runs every test: the normal build, then (with clang) the whole
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, with the
# image engine's fuzzer running for DORVANE_FUZZ_SECONDS (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

if command -v clang++ >/dev/null 2>&1; then
  cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DDORVANE_FUZZ=ON -DDORVANE_FUZZ_SECONDS="${DORVANE_FUZZ_SECONDS:-20}"
  cmake --build build-fuzz -j"$jobs"
  ctest --test-dir build-fuzz --output-on-failure
else
  echo "SKIPPED: sanitizer and fuzz build (clang++ not installed)"
fi
