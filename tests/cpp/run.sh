#!/usr/bin/env bash
# Builds the C++ tests of the core (CMake option BITLOOM_BUILD_TESTS, Release,
# warnings as errors, no Python needed) and runs them with ctest.
#
# Usage: tests/cpp/run.sh [BUILD_DIR]   (default: build/cpp-tests, reused)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/cpp-tests}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DBITLOOM_BUILD_MODULES=OFF -DBITLOOM_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target cpp_tests
ctest --test-dir "$build" --output-on-failure
