# Shared by bench/run_all.sh and bench/run_bulk_all.sh (sourced, not run), which
# start the benchmarks as modules from the repository's root (python -m bench.X).

# The line that heads a run: the source tree, its commit, the time and the load.
describe_tree() {
    local tree="$1" commit
    commit="$(git -C "$tree" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    if [[ -n "$(git -C "$tree" status --porcelain --untracked-files=no 2>/dev/null)" ]]; then
        commit="$commit (with uncommitted changes)"
    fi
    echo "source tree $tree at $commit; $(date -u '+%Y-%m-%d %H:%M UTC'); load:$(uptime | sed 's/.*load average//')"
}

# The venv VENV for pyenv's CPython VERSION, created when missing; false (after
# a line saying so) when pyenv has no such interpreter.
ensure_venv() {
    local ver="$1" venv="$2" python
    python="$(pyenv root)/versions/$ver/bin/python"
    if [[ ! -x "$python" ]]; then
        echo "== CPython $ver: not installed in pyenv, skipped"
        return 1
    fi
    if [[ ! -x "$venv/bin/python" ]]; then
        "$python" -m venv "$venv"
        "$venv/bin/pip" install -q --upgrade pip
    fi
}

# pip install ARGS... into VENV, quietly; on failure its output (without the
# index's location warnings) goes to stderr and the script exits.
install_into() {
    local venv="$1" log
    shift
    log="$(mktemp)"
    if ! "$venv/bin/pip" install -q "$@" >"$log" 2>&1; then
        grep -v "^WARNING: Location" "$log" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
}
