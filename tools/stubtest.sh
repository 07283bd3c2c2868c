#!/usr/bin/env bash
# Type information check: the installed stubs (bitloom-stubs) must match the built
# module exactly (stubtest), accept the typical uses in tests/typing/usage_ok.py
# (mypy --strict and pyright), and report an error on exactly the lines of
# tests/typing/usage_errors.py that end in "# error" (both checkers).
#
# Usage: tools/stubtest.sh [PYTHON]
#   PYTHON defaults to python3. A fresh venv is made with it, and bitloom is
#   installed there from this source tree with its "typing" extra.
#   Set BITLOOM_VENV to an existing venv to reuse it (bitloom must be installed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "${BITLOOM_VENV:-}" ]; then
  venv=$BITLOOM_VENV
  "$venv/bin/python" -m pip install -q "mypy>=1.10" "pyright>=1.1.380"
else
  venv=$work/venv
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$root[typing]"
fi
# pyright runs on Node.js: use the machine's, or one packaged on PyPI.
command -v node >/dev/null 2>&1 || "$venv/bin/python" -m pip install -q "pyright[nodejs]"

vpy=$venv/bin/python
# Work outside the source tree so that only the installed package is seen.
cp "$root"/tests/typing/usage_ok.py "$root"/tests/typing/usage_errors.py "$work"/
cd "$work"
status=0

echo "== stubtest ($("$vpy" --version))"
"$vpy" -m mypy.stubtest bitloom || status=1
echo "== stubtest bitloom_bulk._native"
"$vpy" -m mypy.stubtest bitloom_bulk._native || status=1

echo "== mypy --strict usage_ok.py"
"$vpy" -m mypy --strict --no-incremental usage_ok.py || status=1

echo "== pyright usage_ok.py"
"$venv/bin/pyright" --pythonpath "$vpy" usage_ok.py || status=1

echo "== expected errors in usage_errors.py"
"$vpy" -m mypy --strict --no-incremental --no-error-summary usage_errors.py >mypy.out || true
"$venv/bin/pyright" --pythonpath "$vpy" --outputjson usage_errors.py >pyright.json || true
"$vpy" - <<'PY' || status=1
import json
import re
import sys

src = open("usage_errors.py", encoding="utf-8").read().splitlines()
expected = {i for i, line in enumerate(src, 1) if line.rstrip().endswith("# error")}

mypy_lines = set()
for line in open("mypy.out", encoding="utf-8"):
    m = re.match(r"usage_errors\.py:(\d+): error:", line)
    if m:
        mypy_lines.add(int(m.group(1)))
report = json.load(open("pyright.json", encoding="utf-8"))
pyright_lines = {
    d["range"]["start"]["line"] + 1
    for d in report["generalDiagnostics"]
    if d["severity"] == "error"
}

ok = True
for tool, found in (("mypy", mypy_lines), ("pyright", pyright_lines)):
    missed, extra = sorted(expected - found), sorted(found - expected)
    if missed or extra:
        ok = False
        print(f"{tool}: no error on lines {missed}; unexpected errors on lines {extra}")
    else:
        print(f"{tool}: errors on exactly the {len(expected)} marked lines")
if not ok:
    print(open("mypy.out", encoding="utf-8").read())
sys.exit(0 if ok else 1)
PY
exit $status
