#!/usr/bin/env bash
# The packet benchmarks on every CPython 3.10-3.13 of pyenv, one venv each,
# with bitloom built from the given source tree.
#
#   bench/run_all.sh SOURCE_TREE [--quick] [--callgrind] [--install-only]
#                    [--versions "3.10.13 3.12.1"]
#
# For each interpreter: /work/venvs/b-<major.minor> is created if missing; the
# package is built from SOURCE_TREE (Release, as the wheel; -g and not
# stripped so that callgrind can name functions, which changes no code) and
# installed with the peers (bitstruct, bitstring, construct); then
# `python -m bench.bench_packets --summary` prints its table of ratios. With
# --callgrind, `python -m bench.callgrind_paths` adds the instruction counts per
# call. The benchmarks run as modules from this checkout's root, so they are
# always this checkout's bench/ and the same benchmark measures any tree (e.g. a
# checkout of an older commit).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
# shellcheck source=bench/venvs.sh
source "$here/venvs.sh"
if [[ $# -lt 1 || ! -f "$1/pyproject.toml" ]]; then
    echo "usage: $0 SOURCE_TREE [--quick] [--callgrind] [--install-only] [--versions \"X.Y.Z ...\"]" >&2
    exit 2
fi
tree="$(cd "$1" && pwd)"
shift
quick=()
callgrind=0
install_only=0
versions="3.10.13 3.11.7 3.12.1 3.13.0"
while [[ $# -gt 0 ]]; do
    case "$1" in
        --quick) quick=(--quick) ;;
        --callgrind) callgrind=1 ;;
        --install-only) install_only=1 ;;
        --versions) versions="$2"; shift ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
describe_tree "$tree"

for ver in $versions; do
    short="${ver%.*}"
    venv="/work/venvs/b-$short"
    ensure_venv "$ver" "$venv" || continue
    echo
    echo "== CPython $ver ($venv): building bitloom from $tree"
    # pip rebuilds and reinstalls a local tree every time, whatever is installed.
    install_into "$venv" bitstruct bitstring construct \
        -C install.strip=false -C cmake.define.CMAKE_CXX_FLAGS=-g "$tree"
    [[ $install_only -eq 1 ]] && continue
    (cd "$root" && "$venv/bin/python" -m bench.bench_packets --summary --only-summary-recipes "${quick[@]}") \
        | sed -n '/^== summary/,$p'
    if [[ $callgrind -eq 1 ]]; then
        (cd "$root" && "$venv/bin/python" -m bench.callgrind_paths \
            --json "${CALLGRIND_JSON_DIR:-/tmp}/callgrind-$short.json")
    fi
    echo "load after CPython $ver:$(uptime | sed 's/.*load average//')"
done
