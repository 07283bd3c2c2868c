#!/usr/bin/env bash
# The bulk benchmarks (python -m bench.bench_bulk) on every CPython 3.10-3.13 of pyenv,
# one venv each, with the package built from the given source tree, and a
# table of the ratios that matter per interpreter at the end.
#
#   bench/run_bulk_all.sh SOURCE_TREE [--quick] [--packets N] [--install-only]
#                         [--versions "3.10.13 3.12.1"] [--venv-prefix /work/venvs/c-]
#                         [--module bench_definitions]
#
# For each interpreter: <venv-prefix><major.minor> is created if missing; the
# package is built from SOURCE_TREE (Release, as the wheel) and installed with
# its test extras and the peers (ccsdspy, bitstruct); then bench_bulk.py runs
# and its summary lines (prefixed "summary:") are collected (--module picks
# another benchmark of bench/, such as bench_definitions). The benchmark runs
# as a module from this checkout's root, so it is always this checkout's bench/
# and the same benchmark measures any tree (e.g. a checkout of an older commit).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
# shellcheck source=bench/venvs.sh
source "$here/venvs.sh"
if [[ $# -lt 1 || ! -f "$1/pyproject.toml" ]]; then
    echo "usage: $0 SOURCE_TREE [--quick] [--packets N] [--install-only] [--versions \"X.Y.Z ...\"]" >&2
    exit 2
fi
tree="$(cd "$1" && pwd)"
shift
args=()
install_only=0
versions="3.10.13 3.11.7 3.12.1 3.13.0"
prefix="/work/venvs/c-"
module="bench_bulk"
while [[ $# -gt 0 ]]; do
    case "$1" in
        --quick) args+=(--quick) ;;
        --packets) args+=(--packets "$2"); shift ;;
        --install-only) install_only=1 ;;
        --versions) versions="$2"; shift ;;
        --venv-prefix) prefix="$2"; shift ;;
        --module) module="$2"; shift ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
describe_tree "$tree"

summary="$(mktemp)"
trap 'rm -f "$summary"' EXIT
for ver in $versions; do
    short="${ver%.*}"
    venv="$prefix$short"
    ensure_venv "$ver" "$venv" || continue
    echo
    echo "== CPython $ver ($venv): building bitloom from $tree"
    # pip rebuilds and reinstalls a local tree every time, whatever is installed.
    install_into "$venv" ccsdspy bitstruct "$tree[test]"
    [[ $install_only -eq 1 ]] && continue
    out="$(mktemp)"
    (cd "$root" && "$venv/bin/python" -m "bench.$module" "${args[@]}") | tee "$out"
    sed -n "s/^summary: /$short  /p" "$out" >>"$summary"
    rm -f "$out"
    echo "load after CPython $ver:$(uptime | sed 's/.*load average//')"
done
if [[ -s "$summary" ]]; then
    echo
    echo "== summary per interpreter (targets: unpack_columns >= 5x ccsdspy FixedLength.load and"
    echo "   >= 20x a Python loop; unpack_ccsds >= 10x ccsdspy split_by_apid + FixedLength.load;"
    echo "   peak memory within input + outputs + 16 MiB)"
    cat "$summary"
fi
