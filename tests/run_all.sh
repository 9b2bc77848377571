#!/usr/bin/env bash
# The test command. Installs what the tests need (tests/install_test_tools.sh),
# builds and runs every test, then builds the suite again with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer and runs it, with the image
# engine's fuzzer running for DORVANE_FUZZ_SECONDS (default 60).
# A skipped test fails the command unless DORVANE_ALLOW_SKIPS=1.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

tests/install_test_tools.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --no-tests=error

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DDORVANE_FUZZ=ON -DDORVANE_FUZZ_SECONDS="${DORVANE_FUZZ_SECONDS:-60}"
cmake --build build-fuzz -j"$jobs"
ctest --test-dir build-fuzz --output-on-failure --no-tests=error
