#!/usr/bin/env bash
# One lint command for the whole repository:
#   ruff check, ruff format --check           (Python: tests, bench, examples, tools, stubs)
#   clang-format --dry-run --Werror           (C++: src/**/*.hpp, src/**/*.cpp)
#   clang-tidy                                (the pure C++ core: src/core/*.cpp)
# It installs what it lacks: ruff from PyPI into a venv (.venv-lint, or
# $BITLOOM_LINT_VENV), clang-format and clang-tidy 19 from Debian's packages.
# Every step runs; the exit status is non-zero if any of them failed.
#
# Usage: tools/lint.sh [--fix]   (--fix applies ruff's fixes and both formatters)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

RUFF_VERSION=0.17.6
LLVM_VERSION=19
fix=0
[ "${1:-}" = "--fix" ] && fix=1

# --- tools -------------------------------------------------------------------
venv=${BITLOOM_LINT_VENV:-$root/.venv-lint}
if ! "$venv/bin/ruff" --version 2>/dev/null | grep -qx "ruff $RUFF_VERSION"; then
  python3 -m venv "$venv" && "$venv/bin/python" -m pip install -q "ruff==$RUFF_VERSION" || {
    echo "lint: cannot install ruff $RUFF_VERSION" >&2; exit 2; }
fi
ruff=$venv/bin/ruff

clang_format=clang-format-$LLVM_VERSION
clang_tidy=clang-tidy-$LLVM_VERSION
if ! command -v "$clang_format" >/dev/null || ! command -v "$clang_tidy" >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      $sudo apt-get install -y -qq "$clang_format" "$clang_tidy"; } >/dev/null || {
    echo "lint: cannot install $clang_format and $clang_tidy from apt" >&2; exit 2; }
fi

mapfile -t cxx_files < <(find src -name '*.hpp' -o -name '*.cpp' | sort)
mapfile -t core_sources < <(find src/core -maxdepth 1 -name '*.cpp' | sort)

# --- checks ------------------------------------------------------------------
failed=()
step() {  # step NAME COMMAND...
  local name=$1; shift
  echo "== $name"
  if "$@"; then echo "   ok"; else failed+=("$name"); fi
}

if [ $fix -eq 1 ]; then
  "$ruff" check --fix . ; "$ruff" format . ; "$clang_format" -i "${cxx_files[@]}"
fi

step "ruff check" "$ruff" check --output-format concise .
step "ruff format --check" "$ruff" format --check .
step "clang-format (${#cxx_files[@]} files)" "$clang_format" --dry-run --Werror "${cxx_files[@]}"

# clang-tidy, one process per core source file, as many at a time as there are cores.
tidy() {
  printf '%s\0' "${core_sources[@]}" |
    xargs -0 -I{} -P "$(nproc)" "$clang_tidy" --quiet {} -- -std=c++20 -Isrc 2>/dev/null \
    | grep -v '^[0-9]* warnings\? generated\.$'
  return "${PIPESTATUS[1]}"
}
step "clang-tidy (${#core_sources[@]} files in src/core)" tidy

if [ ${#failed[@]} -gt 0 ]; then
  (IFS=';'; echo "lint: FAILED: ${failed[*]}")
  exit 1
fi
echo "lint: all checks passed"
