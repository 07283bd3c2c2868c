#!/usr/bin/env bash
# The documentation (docs/, Sphinx with myst-parser) built with warnings as
# errors, against the installed package (autodoc reads the built modules).
#
# Usage: tools/build_docs.sh [VENV [OUTDIR]]
#   VENV: a venv where the package is installed (default: the current python's);
#   the tools of the "docs" extra are installed into it. OUTDIR defaults to
#   docs/_build/html.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${1:-}" ]; then vpy=$1/bin/python; else vpy=$(command -v python3); fi
out=${2:-$root/docs/_build/html}
cd "$root"
# The "docs" extra's requirements, without rebuilding the package itself.
mapfile -t reqs < <("$vpy" - <<'PY'
import re

text = open("pyproject.toml", encoding="utf-8").read()
block = re.search(r"^docs = \[(.*?)\]", text, re.M | re.S).group(1)
print("\n".join(re.findall(r'"([^"]+)"', block)))
PY
)
"$vpy" -m pip install -q "${reqs[@]}"
"$vpy" -m sphinx -W --keep-going -q -b html docs "$out"
echo "docs: built without warnings into $out ($(find "$out" -name '*.html' | wc -l) pages)"
