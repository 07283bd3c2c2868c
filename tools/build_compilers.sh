#!/usr/bin/env bash
# The extension and the core built with g++ and with clang++, each with warnings
# as errors (Release, the flags of the wheels), and each module checked to export
# nothing but its PyInit_ function. The test-only module bitloom_bulk._probe is
# built too (BITLOOM_TEST_PROBE=ON), so that it is held to the same.
#
# Usage: tools/build_compilers.sh [PYTHON]   (PYTHON: whose headers to build for)
# clang++ comes from Debian's packages when it is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! command -v clang++ >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      $sudo apt-get install -y -qq clang; } >/dev/null || {
    echo "build_compilers: cannot install clang from apt" >&2; exit 2; }
fi

status=0
for cxx in g++ clang++; do
  started=$(date +%s)
  build=$work/$cxx
  if cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
       -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DPython_EXECUTABLE="$(command -v "$py")" \
       -DBITLOOM_TEST_PROBE=ON >"$work/$cxx.log" 2>&1 \
     && cmake --build "$build" --parallel "$(nproc)" >>"$work/$cxx.log" 2>&1; then
    modules=0
    for so in "$build"/*.so; do
      name=$(basename "$so"); name=${name%%.*}
      exported=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
      if [ "$exported" = "PyInit_$name " ]; then
        modules=$((modules + 1))
      else
        echo "$cxx: $(basename "$so") exports more than PyInit_$name: $exported"; status=1
      fi
    done
    if [ "$modules" -eq 3 ]; then
      echo "$cxx ($("$cxx" --version | head -1)): built without warnings, each of the 3 modules exports only its PyInit_ ($(( $(date +%s) - started )) s)"
    else
      echo "$cxx: $modules of 3 modules (bitloom, _native, _probe) export only their PyInit_"; status=1
    fi
  else
    cat "$work/$cxx.log"; echo "$cxx: build FAILED"; status=1
  fi
done
exit $status
