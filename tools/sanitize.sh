#!/usr/bin/env bash
# Build bitloom with AddressSanitizer and UndefinedBehaviorSanitizer (every
# report fatal: -fno-sanitize-recover=all) into its own venv, then run the
# whole pytest suite against that build. It is a test build: it has the
# test-only module bitloom_bulk._probe, whose tests must run.
#
#   tools/sanitize.sh [pytest args...]     e.g. tools/sanitize.sh -x -q
#
# PYTHON picks the interpreter (default: the newest CPython 3.10+ that pyenv
# has, else python3); SANITIZE_VENV the venv (default .venv-sanitize, reused);
# SANITIZE_WORKERS the pytest-xdist workers (default auto: one per core).
# The interpreter is not instrumented, so the ASan runtime is preloaded and
# leak checking is off (the interpreter keeps memory until exit by design).
# The differential test of reused recipes runs longer here (BITLOOM_PLAN_DIFF_SECONDS,
# default 120 s).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

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
python=${PYTHON:-$(pick_python)}
venv=${SANITIZE_VENV:-$root/.venv-sanitize}

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
[ -e "$asan" ] || { echo "sanitize: no libasan.so from g++ (apt-get install g++)" >&2; exit 2; }

start=$SECONDS
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q pytest pytest-xdist hypothesis numpy tomli-w "tomli; python_version < '3.11'"
# A fresh build each time (no cached build dir), with the sanitizers and the
# test probe on.
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps . \
    -C cmake.define.BITLOOM_SANITIZE=ON -C cmake.define.BITLOOM_TEST_PROBE=ON \
    -C cmake.build-type=RelWithDebInfo
so=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("bitloom").origin)' 2>/dev/null ||
    true)
if ! grep -q libasan <<<"$(ldd "$so")"; then
    echo "sanitize: $so is not linked against the ASan runtime" >&2
    exit 2
fi
echo "sanitize: built $so ($("$venv/bin/python" --version)) in $((SECONDS - start)) s"

test_start=$SECONDS
status=0
env LD_PRELOAD="$asan:$ubsan" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    BITLOOM_SANITIZED=1 \
    BITLOOM_REQUIRE_TEST_PROBE=1 \
    BITLOOM_PLAN_DIFF_SECONDS=${BITLOOM_PLAN_DIFF_SECONDS:-120} \
    "$venv/bin/python" -m pytest -p no:cacheprovider -n "${SANITIZE_WORKERS:-auto}" "$@" tests || status=$?
echo "sanitize: tests took $((SECONDS - test_start)) s, $((SECONDS - start)) s in all (status $status)"
exit $status
