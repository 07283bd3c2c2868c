#!/usr/bin/env bash
# The release-wheel configuration ([tool.cibuildwheel] in pyproject.toml) as the
# pinned cibuildwheel reads it: the builds it would make for Linux, macOS and
# Windows (no containers or other machines needed), compared with the intended
# set: CPython 3.10-3.14 and 3.14t on manylinux x86_64/aarch64, musllinux x86_64,
# macOS x86_64/arm64 and Windows AMD64.
#
# Usage: tools/check_wheel_config.sh [PYTHON]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q -r "$root/.ci/requirements-wheels.txt"
cd "$root"
echo "cibuildwheel $("$work/venv/bin/python" -c "import cibuildwheel; print(cibuildwheel.__version__)")"

status=0
pythons="cp310 cp311 cp312 cp313 cp314 cp314t"
check() {
  local platform=$1; shift
  local want=() got
  for plat in "$@"; do for p in $pythons; do want+=("$p-$plat"); done; done
  got=$("$work/venv/bin/cibuildwheel" --print-build-identifiers --platform "$platform" | sort)
  if [ "$got" = "$(printf '%s\n' "${want[@]}" | sort)" ]; then
    echo "$platform: the ${#want[@]} intended builds"
  else
    echo "$platform: builds differ from the intended set:"
    diff <(printf '%s\n' "${want[@]}" | sort) <(echo "$got") || true
    status=1
  fi
}
check linux manylinux_x86_64 manylinux_aarch64 musllinux_x86_64
check macos macosx_x86_64 macosx_arm64
check windows win_amd64
exit $status
