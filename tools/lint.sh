#!/usr/bin/env bash
# One lint command for the whole repository:
#   ruff check, ruff format --check           (Python: tests, bench, examples, tools, stubs)
#   clang-format --dry-run --Werror           (C++: src/**/*.hpp, src/**/*.cpp)
#   clang-tidy                                (every C++ source CMake builds from src/)
# clang-tidy reads CMake's compile database (build/tidy, configured here with
# the Python of $BITLOOM_LINT_PYTHON, default the newest CPython 3.10+ of pyenv,
# else python3), so the Python include paths are those of a real build. Sources
# compiled without Python's headers (the core, the column kernel) are held to
# .clang-tidy; the ones that include Python.h to .clang-tidy-binding (the
# bug-prone and performance checks).
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

pick_python() {
  if command -v pyenv >/dev/null 2>&1; then
    local best
    best=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.(1[0-9]|[2-9][0-9])\.[0-9]+$' |
      sort -t. -k1,1n -k2,2n -k3,3n | tail -n 1 || true)
    if [ -n "$best" ] && [ -x "$(pyenv root)/versions/$best/bin/python" ]; then
      echo "$(pyenv root)/versions/$best/bin/python"
      return
    fi
  fi
  command -v python3
}

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

# A merge's conflict markers left in any tracked file.
no_conflict_markers() {
  ! git -C "$root" grep -n -E '^(<{7}|={7}|>{7})( |$)' -- . ':!*.png'
}
step "no conflict markers" no_conflict_markers
step "ruff check" "$ruff" check --output-format concise .
step "ruff format --check" "$ruff" format --check .
step "clang-format (${#cxx_files[@]} files)" "$clang_format" --dry-run --Werror "${cxx_files[@]}"

# The compile database: configuring is enough (nothing is built). The test-only
# probe module is configured too, so that its sources are checked.
tidy_build=$root/build/tidy
tidy_python=${BITLOOM_LINT_PYTHON:-$(pick_python)}
compile_database() {
  mkdir -p "$tidy_build"
  cmake -S "$root" -B "$tidy_build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBITLOOM_TEST_PROBE=ON \
    -DPython_EXECUTABLE="$tidy_python" >"$tidy_build/configure.log" 2>&1 ||
    { cat "$tidy_build/configure.log"; return 1; }
}
# The sources of src/ in the database, split by whether Python's include
# directory is on their command line.
split_sources() {  # split_sources pure|binding
  [ -e "$tidy_build/compile_commands.json" ] || return 0
  "$tidy_python" - "$tidy_build/compile_commands.json" "$root/src/" "$1" <<'PY'
import json
import sys
import sysconfig

database, src, want = sys.argv[1:]
include = sysconfig.get_path("include")
for entry in sorted(json.load(open(database, encoding="utf-8")), key=lambda e: e["file"]):
    if entry["file"].startswith(src):
        binding = include in entry.get("command", " ".join(entry.get("arguments", [])))
        if binding == (want == "binding"):
            print(entry["file"][len(src) - len("src/"):])
PY
}
step "compile database (CMake, $("$tidy_python" --version 2>&1))" compile_database
mapfile -t pure_sources < <(split_sources pure)
mapfile -t binding_sources < <(split_sources binding)

# clang-tidy, one process per source file, as many at a time as there are cores.
tidy() {  # tidy CONFIG FILE...
  local config=$1; shift
  [ $# -gt 0 ] || { echo "   no sources"; return 1; }
  printf '%s\0' "$@" |
    xargs -0 -I{} -P "$(nproc)" "$clang_tidy" --quiet -p "$tidy_build" --config-file="$config" {} \
      2>/dev/null | grep -v '^[0-9]* warnings\? generated\.$'
  return "${PIPESTATUS[1]}"
}
step "clang-tidy .clang-tidy (${#pure_sources[@]} files without Python.h)" \
  tidy .clang-tidy "${pure_sources[@]}"
step "clang-tidy .clang-tidy-binding (${#binding_sources[@]} files with Python.h)" \
  tidy .clang-tidy-binding "${binding_sources[@]}"

if [ ${#failed[@]} -gt 0 ]; then
  (IFS=';'; echo "lint: FAILED: ${failed[*]}")
  exit 1
fi
echo "lint: all checks passed"
