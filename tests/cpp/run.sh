#!/usr/bin/env bash
# Builds and runs the C++ tests of the core (no Python, no CMake).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
g++ -O2 -std=c++20 -Wall -Wextra -pthread -I"$root/src" \
    "$root/tests/cpp/test_f16.cpp" "$root/src/core/ieee754.cpp" -o "$out/test_f16"
"$out/test_f16"
g++ -O2 -std=c++20 -Wall -Wextra -Werror -I"$root/src" \
    "$root/tests/cpp/test_ccsds.cpp" "$root/src/core/ccsds.cpp" -o "$out/test_ccsds"
"$out/test_ccsds"
